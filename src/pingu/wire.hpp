// What a probe puts on the wire and takes off it: the 76-byte datagram, the
// sockets of its two paths, and the kernel's receive time stamps of the echoes.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "common/fd.hpp"
#include "pingu/request.hpp"
#include "pingu/samples.hpp"

namespace lld {

inline constexpr std::size_t kProbeDatagramSize = 76;
inline constexpr std::size_t kProbeTextOffset = 12;

// The datagram of one cycle: sequence number and wall-clock send time,
// little-endian, then "pingu version: pingu" (user) or "... flea" (monitor).
using ProbeDatagram = std::array<std::uint8_t, kProbeDatagramSize>;
void write_probe_text(ProbeDatagram& datagram, ProbeKind kind);
void write_probe_header(ProbeDatagram& datagram, std::uint32_t seq, std::uint32_t seconds,
                        std::uint32_t microseconds);
// The round-trip delay of an echo received at the given time, in microseconds,
// in the 32-bit arithmetic both ends share; nullopt unless it is 76 bytes.
std::optional<std::uint32_t> probe_delay(std::span<const std::uint8_t> echo, std::uint32_t seconds,
                                         std::uint32_t microseconds);

// The numeric address of the reflector in the chosen family; nullopt on failure.
std::optional<std::string> reflector_resolve(const std::string& host, int family);

// One path of a probe: a socket bound to its local port, with kernel receive time
// stamps, and the reflector's address; the delays of its echoes.
struct ProbePath {
    UniqueFd fd;
    int family = AF_INET;
    sockaddr_storage remote{};
    socklen_t remote_length = 0;
    Samples samples;
};

// A path bound to `local_port`; the IPv6 traffic class is set when non-zero. A
// socket, binding or look-up failure ends the process, as it always has.
ProbePath open_probe_path(const std::string& reflector, std::uint16_t local_port,
                          std::uint16_t remote_port, int traffic_class, int family);

// Reads every waiting echo of the path; each 76-byte echo becomes a sample,
// timed by its kernel time stamp (or `woke` when it has none).
void drain_echoes(ProbePath& path, const timeval& woke);

}  // namespace lld
