// A measuring reflector for the probe benchmarks and the probe tests: echoes every
// UDP datagram unchanged to its sender and notes, per datagram, the sender's port,
// the sequence number in its first four bytes (little-endian), its length and the
// kernel's receive time stamp (SO_TIMESTAMPNS, wall clock, nanoseconds).
//
// Usage: reflector ADDRESS PORT SECONDS OUTPUT [UNANSWERED_PORT...] [hold=MS]
// Runs for at most SECONDS, or until SIGTERM or SIGINT, then writes one line per
// datagram to OUTPUT: "<source port> <seq> <receive time ns> <length>". With OUTPUT
// "-" each datagram's line goes to standard output as it arrives instead, followed
// by "<source address> <traffic class> <the datagram in hex>". Datagrams from an
// UNANSWERED_PORT are noted but not echoed; with hold=MS each echo waits seq % MS
// milliseconds, so that the round trips spread over that range.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string_view>
#include <vector>

#include "common/fd.hpp"

namespace {

using lld::UniqueFd;
using Clock = std::chrono::steady_clock;

struct Record {
    std::uint16_t source_port;
    std::uint16_t length;
    std::uint32_t seq;
    std::int64_t received_ns;
};

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

std::uint32_t get_le32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

UniqueFd bind_socket(const char* text, int port) {
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    const auto port16 = htons(static_cast<std::uint16_t>(port));
    int family = AF_INET;
    const sockaddr* address = nullptr;
    socklen_t length = 0;
    if (::inet_pton(AF_INET, text, &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = port16;
        address = reinterpret_cast<const sockaddr*>(&v4);
        length = sizeof v4;
    } else if (::inet_pton(AF_INET6, text, &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = port16;
        family = AF_INET6;
        address = reinterpret_cast<const sockaddr*>(&v6);
        length = sizeof v6;
    } else {
        std::fprintf(stderr, "reflector: bad address %s\n", text);
        return UniqueFd{};
    }
    UniqueFd sock{::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    if (!sock) {
        std::perror("reflector: socket");
        return sock;
    }
    const int on = 1;
    const int buffer = 4 << 20;
    ::setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ::setsockopt(sock.get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    ::setsockopt(sock.get(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    if (family == AF_INET) {
        ::setsockopt(sock.get(), IPPROTO_IP, IP_RECVTOS, &on, sizeof on);
    } else {
        ::setsockopt(sock.get(), IPPROTO_IPV6, IPV6_RECVTCLASS, &on, sizeof on);
    }
    if (::bind(sock.get(), address, length) != 0) {
        std::perror("reflector: bind");
        return UniqueFd{};
    }
    return sock;
}

void write_record(std::FILE* out, const Record& record) {
    std::fprintf(out, "%u %u %lld %u", record.source_port, record.seq,
                 static_cast<long long>(record.received_ns), record.length);
}

struct Echo {
    sockaddr_storage peer;
    socklen_t peer_length;
    std::vector<std::uint8_t> data;
};

struct Reflection {
    bool stream = false;
    int hold_ms = 0;
    std::vector<int> unanswered;
    std::vector<Record> records;
    std::multimap<Clock::time_point, Echo> held;  // by the time they are due
};

// Sends the held echoes that are due.
void send_due(int fd, Reflection& reflection) {
    auto& held = reflection.held;
    while (!held.empty() && held.begin()->first <= Clock::now()) {
        const Echo& echo = held.begin()->second;
        ::sendto(fd, echo.data.data(), echo.data.size(), 0,
                 reinterpret_cast<const sockaddr*>(&echo.peer), echo.peer_length);
        held.erase(held.begin());
    }
}

// Echoes (or holds) every waiting datagram but those from unanswered ports, and notes it.
void drain(int fd, Reflection& reflection) {
    for (;;) {
        std::array<std::uint8_t, 2048> data{};
        // Room for the receive time stamp and the traffic class, the two asked for.
        alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(int))>
            control{};
        sockaddr_storage peer{};
        iovec io{data.data(), data.size()};
        msghdr message{};
        message.msg_name = &peer;
        message.msg_namelen = sizeof peer;
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        const ssize_t got = ::recvmsg(fd, &message, MSG_DONTWAIT);
        if (got < 0) {
            break;
        }
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&peer);
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&peer);
        const bool is_v6 = peer.ss_family == AF_INET6;
        const std::uint16_t port = ntohs(is_v6 ? v6->sin6_port : v4->sin_port);
        const std::uint32_t seq = got >= 4 ? get_le32(data.data()) : 0U;
        const bool answered =
            std::ranges::find(reflection.unanswered, port) == reflection.unanswered.end();
        if (answered && reflection.hold_ms > 0) {
            const std::chrono::milliseconds hold{seq %
                                                 static_cast<std::uint32_t>(reflection.hold_ms)};
            reflection.held.emplace(
                Clock::now() + hold,
                Echo{peer, message.msg_namelen, {data.begin(), data.begin() + got}});
        } else if (answered) {
            ::sendto(fd, data.data(), static_cast<std::size_t>(got), 0,
                     reinterpret_cast<const sockaddr*>(&peer), message.msg_namelen);
        }
        timespec stamp{};
        int traffic_class = 0;
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
             header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_TIMESTAMPNS &&
                header->cmsg_len == CMSG_LEN(sizeof stamp)) {
                std::memcpy(&stamp, CMSG_DATA(header), sizeof stamp);
            } else if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_TOS &&
                       header->cmsg_len >= CMSG_LEN(1)) {
                traffic_class = *CMSG_DATA(header);
            } else if (header->cmsg_level == IPPROTO_IPV6 && header->cmsg_type == IPV6_TCLASS &&
                       header->cmsg_len == CMSG_LEN(sizeof traffic_class)) {
                std::memcpy(&traffic_class, CMSG_DATA(header), sizeof traffic_class);
            }
        }
        const Record record{
            port, static_cast<std::uint16_t>(got), seq,
            static_cast<std::int64_t>(stamp.tv_sec) * 1'000'000'000 + stamp.tv_nsec};
        if (!reflection.stream) {
            reflection.records.push_back(record);
            continue;
        }
        std::array<char, INET6_ADDRSTRLEN> address{};
        ::inet_ntop(peer.ss_family,
                    is_v6 ? static_cast<const void*>(&v6->sin6_addr) : &v4->sin_addr,
                    address.data(), address.size());
        write_record(stdout, record);
        std::printf(" %s %d ", address.data(), traffic_class);
        for (ssize_t i = 0; i < got; ++i) {
            std::printf("%02x", data[static_cast<std::size_t>(i)]);
        }
        std::printf("\n");
    }
    std::fflush(stdout);
}

int run(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(
            stderr,
            "usage: reflector ADDRESS PORT SECONDS OUTPUT [UNANSWERED_PORT...] [hold=MS]\n");
        return 2;
    }
    const int port = std::atoi(argv[2]);
    const int seconds = std::atoi(argv[3]);
    Reflection reflection;
    reflection.stream = std::string_view{argv[4]} == "-";
    for (int i = 5; i < argc; ++i) {
        if (std::string_view{argv[i]}.starts_with("hold=")) {
            reflection.hold_ms = std::atoi(argv[i] + 5);
        } else {
            reflection.unanswered.push_back(std::atoi(argv[i]));
        }
    }
    if (port <= 0 || port > 65535 || seconds <= 0) {
        std::fprintf(stderr, "reflector: bad arguments\n");
        return 2;
    }
    const UniqueFd sock = bind_socket(argv[1], port);
    if (!sock) {
        return 1;
    }
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    ::sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
    const UniqueFd signals{::signalfd(-1, &stop_signals, SFD_CLOEXEC)};
    if (!signals) {
        std::perror("reflector: signalfd");
        return 1;
    }

    if (!reflection.stream) {
        reflection.records.reserve(1 << 20);
    }
    std::printf("reflector: listening on %s port %d\n", argv[1], port);
    std::fflush(stdout);
    const auto end = Clock::now() + std::chrono::seconds{seconds};
    for (;;) {
        using std::chrono::milliseconds;
        auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
        if (left.count() <= 0) {
            break;
        }
        if (!reflection.held.empty()) {
            const auto due = reflection.held.begin()->first - Clock::now();
            left = std::clamp(std::chrono::ceil<milliseconds>(due), milliseconds{0}, left);
        }
        std::array<pollfd, 2> waits{{{sock.get(), POLLIN, 0}, {signals.get(), POLLIN, 0}}};
        if (::poll(waits.data(), waits.size(), static_cast<int>(left.count())) < 0) {
            continue;
        }
        if ((waits[0].revents & POLLIN) != 0) {
            drain(sock.get(), reflection);
        }
        send_due(sock.get(), reflection);
        if ((waits[1].revents & POLLIN) != 0) {
            break;
        }
    }
    if (reflection.stream) {
        return 0;
    }

    const std::unique_ptr<std::FILE, FileCloser> out{std::fopen(argv[4], "w")};
    if (!out) {
        std::perror("reflector: output");
        return 1;
    }
    for (const Record& record : reflection.records) {
        write_record(out.get(), record);
        std::fputc('\n', out.get());
    }
    std::printf("reflector: %zu datagrams echoed\n", reflection.records.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return run(argc, argv);
}
