// The floor of probe scheduling on this machine: a bare timerfd loop with
// absolute deadlines on CLOCK_MONOTONIC that sends one 76-byte datagram at each
// expiry, laid out like a probe datagram (sequence number from 1, wall-clock send
// seconds and microseconds, little-endian), so that it is measured from outside
// exactly like the client's probes. Like a probe, the first deadline is the start
// itself and each later one is exactly one interval after the previous one,
// however late an expiry was handled.
//
// Usage: timer_loop ADDRESS PORT INTERVAL_MS DURATION_S [SOURCE_PORT [LATENESS_FILE]]
// Sends DURATION_S * 1000 / INTERVAL_MS + 1 datagrams, then prints its own view of
// the wake-up lateness (monotonic clock read after the expiry minus the deadline)
// and, when asked, writes each cycle's lateness in nanoseconds to LATENESS_FILE.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/fd.hpp"

namespace {

using lld::UniqueFd;

constexpr std::size_t kDatagramSize = 76;
constexpr std::int64_t kNsPerMs = 1'000'000;
constexpr std::int64_t kNsPerS = 1'000'000'000;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

struct Target {
    sockaddr_storage address{};
    socklen_t length = 0;
    int family = AF_INET;
};

std::optional<Target> parse_target(const char* text, int port) {
    Target target;
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    if (::inet_pton(AF_INET, text, &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<std::uint16_t>(port));
        std::memcpy(&target.address, &v4, sizeof v4);
        target.length = sizeof v4;
        target.family = AF_INET;
        return target;
    }
    if (::inet_pton(AF_INET6, text, &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<std::uint16_t>(port));
        std::memcpy(&target.address, &v6, sizeof v6);
        target.length = sizeof v6;
        target.family = AF_INET6;
        return target;
    }
    return std::nullopt;
}

bool bind_source(int fd, int family, int port) {
    if (family == AF_INET) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(static_cast<std::uint16_t>(port));
        return ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
    }
    sockaddr_in6 local{};
    local.sin6_family = AF_INET6;
    local.sin6_addr = in6addr_any;
    local.sin6_port = htons(static_cast<std::uint16_t>(port));
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

void put_le32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::int64_t monotonic_ns() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * kNsPerS + now.tv_nsec;
}

bool arm(int fd, std::int64_t deadline_ns) {
    itimerspec expiry{};
    expiry.it_value.tv_sec = static_cast<time_t>(deadline_ns / kNsPerS);
    expiry.it_value.tv_nsec = static_cast<long>(deadline_ns % kNsPerS);
    return ::timerfd_settime(fd, TFD_TIMER_ABSTIME, &expiry, nullptr) == 0;
}

std::int64_t percentile(const std::vector<std::int64_t>& sorted, int percent) {
    if (sorted.empty()) {
        return 0;
    }
    const std::size_t rank = (sorted.size() * static_cast<std::size_t>(percent) + 99) / 100;
    return sorted[std::min(sorted.size() - 1, rank == 0 ? 0 : rank - 1)];
}

int run(int argc, char** argv) {
    if (argc < 5 || argc > 7) {
        std::fprintf(stderr,
                     "usage: timer_loop ADDRESS PORT INTERVAL_MS DURATION_S [SOURCE_PORT "
                     "[LATENESS_FILE]]\n");
        return 2;
    }
    const int port = std::atoi(argv[2]);
    const int interval_ms = std::atoi(argv[3]);
    const int duration_s = std::atoi(argv[4]);
    const int source_port = argc >= 6 ? std::atoi(argv[5]) : 0;
    const char* lateness_file = argc == 7 ? argv[6] : nullptr;
    const auto target = parse_target(argv[1], port);
    if (!target || port <= 0 || port > 65535 || interval_ms <= 0 || duration_s <= 0 ||
        source_port < 0 || source_port > 65535) {
        std::fprintf(stderr, "timer_loop: bad arguments\n");
        return 2;
    }

    const UniqueFd sock{::socket(target->family, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    if (!sock) {
        std::perror("timer_loop: socket");
        return 1;
    }
    if (source_port != 0) {
        const int on = 1;
        ::setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (!bind_source(sock.get(), target->family, source_port)) {
            std::perror("timer_loop: bind");
            return 1;
        }
    }
    const UniqueFd timer{::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC)};
    if (!timer) {
        std::perror("timer_loop: timerfd_create");
        return 1;
    }

    const std::int64_t interval_ns = static_cast<std::int64_t>(interval_ms) * kNsPerMs;
    const std::int64_t cycles = static_cast<std::int64_t>(duration_s) * 1000 / interval_ms + 1;
    std::vector<std::int64_t> lateness;
    lateness.reserve(static_cast<std::size_t>(cycles));
    std::array<std::uint8_t, kDatagramSize> datagram{};
    int send_errors = 0;

    std::int64_t deadline = monotonic_ns();
    for (std::int64_t seq = 1; seq <= cycles; ++seq) {
        if (!arm(timer.get(), deadline)) {
            std::perror("timer_loop: timerfd_settime");
            return 1;
        }
        std::uint64_t expirations = 0;
        if (::read(timer.get(), &expirations, sizeof expirations) !=
            static_cast<ssize_t>(sizeof expirations)) {
            std::perror("timer_loop: read");
            return 1;
        }
        const std::int64_t woke = monotonic_ns();
        timeval now{};
        ::gettimeofday(&now, nullptr);
        put_le32(&datagram[0], static_cast<std::uint32_t>(seq));
        put_le32(&datagram[4], static_cast<std::uint32_t>(now.tv_sec));
        put_le32(&datagram[8], static_cast<std::uint32_t>(now.tv_usec));
        if (::sendto(sock.get(), datagram.data(), datagram.size(), 0,
                     reinterpret_cast<const sockaddr*>(&target->address), target->length) < 1) {
            ++send_errors;
        }
        lateness.push_back(woke - deadline);
        deadline += interval_ns;
    }

    if (lateness_file != nullptr) {
        const std::unique_ptr<std::FILE, FileCloser> out{std::fopen(lateness_file, "w")};
        if (!out) {
            std::perror("timer_loop: lateness file");
            return 1;
        }
        for (const std::int64_t value : lateness) {
            std::fprintf(out.get(), "%lld\n", static_cast<long long>(value));
        }
    }
    std::sort(lateness.begin(), lateness.end());
    std::printf(
        "timer_loop: %lld datagrams, %d send errors; wake-up lateness seen by the loop "
        "itself: p50 %lld us, p99 %lld us, max %lld us\n",
        static_cast<long long>(cycles), send_errors,
        static_cast<long long>(percentile(lateness, 50) / 1000),
        static_cast<long long>(percentile(lateness, 99) / 1000),
        static_cast<long long>(lateness.back() / 1000));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return run(argc, argv);
}
