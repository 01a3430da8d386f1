// What a probe puts on the wire and takes off it: the 76-byte datagram, the
// sockets of its two paths, and the kernel's receive time stamps of the echoes.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <array>
#include <cstdint>
#include <deque>
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
// stamps, and the reflector's address; the cycles still awaiting their echo, and
// the delays of the echoes taken.
struct ProbePath {
    // A cycle sent on this path: its sequence number and monotonic send time.
    struct Awaited {
        std::uint32_t seq;
        std::int64_t sent_ns;
        bool answered = false;
    };
    static constexpr std::size_t kMaxAwaited = 65536;

    UniqueFd fd;
    int family = AF_INET;
    sockaddr_storage remote{};
    socklen_t remote_length = 0;
    std::int64_t timeout_ns = 0;  // an echo later than this after its send is dropped
    std::deque<Awaited> awaited;  // in send order
    Samples samples;

    // Notes a cycle sent at `now_ns`; forgets the cycles past the time-out, and
    // the oldest beyond kMaxAwaited.
    void sent(std::uint32_t seq, std::int64_t now_ns);
    // Takes the echo of a cycle that awaits it, received at `received_ns` (the
    // monotonic clock, like the send times); false for any other.
    bool answered(std::uint32_t seq, std::int64_t received_ns);
};

// A path bound to `local_port`; the IPv6 traffic class is set when non-zero.
// nullopt, after an [ERR] line, when the socket can't be had, the port is taken
// or the reflector has no address in the family.
std::optional<ProbePath> open_probe_path(const std::string& reflector, std::uint16_t local_port,
                                         std::uint16_t remote_port, int traffic_class, int family,
                                         std::int64_t timeout_ns);

// Reads every echo waiting on the path's socket, a batch to a call. The probe
// reads them when its timers wake it, not as they arrive: the kernel's receive
// time stamp times each one. An echo counts only when it comes from the
// reflector's address and port, is 76 bytes, and answers a cycle of this path
// that awaits it and was sent within the time-out before the echo arrived; it
// becomes a sample timed by its kernel time stamp (or `woke` when it has none).
// Anything else is dropped. `woke` (wall clock) and `woke_ns` (monotonic) are one
// instant, taken before the call.
void drain_echoes(ProbePath& path, const timeval& woke, std::int64_t woke_ns);

}  // namespace lld
