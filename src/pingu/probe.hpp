// One probe: a thread that sends a 76-byte datagram on the classic path and, when
// a low-latency port was assigned, on the low-latency path at every interval,
// turns the reflector's echoes into round-trip delays, and reports them at every
// refresh period.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "common/fd.hpp"
#include "pingu/control.hpp"
#include "pingu/report.hpp"

namespace lld {

inline constexpr std::size_t kProbeDatagramSize = 76;
inline constexpr std::size_t kProbeTextOffset = 12;

// The datagram of one cycle: sequence number and wall-clock send time,
// little-endian, then "pingu version: pingu" (user) or "... flea" (monitor).
using ProbeDatagram = std::array<std::uint8_t, kProbeDatagramSize>;
void write_probe_text(ProbeDatagram& datagram, std::int32_t kind);
void write_probe_header(ProbeDatagram& datagram, std::uint32_t seq, std::uint32_t seconds,
                        std::uint32_t microseconds);
// The round-trip delay of an echo received at the given time, in microseconds,
// in the 32-bit arithmetic both ends share; nullopt unless it is 76 bytes.
std::optional<std::uint32_t> probe_delay(std::span<const std::uint8_t> echo, std::uint32_t seconds,
                                         std::uint32_t microseconds);

struct tConnection {
    UniqueFd fd;
    int family = AF_INET;
    sockaddr_storage remote{};
    socklen_t remote_length = 0;
    tSampleList samples = make_sample_list();
};

// The numeric address of the reflector in the chosen family; nullopt on failure.
std::optional<std::string> reflector_resolve(const std::string& host, int family);

// Starts a detached probe thread that owns `args`; false (after its log line)
// when the thread could not be created.
bool start_probe_thread(tPinguArgs args);

}  // namespace lld
