// A measuring reflector for the probe benchmarks: echoes every UDP datagram
// unchanged to its sender and notes, per datagram, the sender's port, the
// sequence number in its first four bytes (little-endian), its length and the
// kernel's receive time stamp (SO_TIMESTAMPNS, wall clock, nanoseconds).
//
// Usage: reflector ADDRESS PORT SECONDS OUTPUT
// Runs for at most SECONDS, or until SIGTERM or SIGINT, then writes one line per
// datagram to OUTPUT: "<source port> <seq> <receive time ns> <length>".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
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
    if (::bind(sock.get(), address, length) != 0) {
        std::perror("reflector: bind");
        return UniqueFd{};
    }
    return sock;
}

// Echoes every waiting datagram and notes it.
void drain(int fd, std::vector<Record>& records) {
    for (;;) {
        std::array<std::uint8_t, 2048> data{};
        alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(timespec))> control{};
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
            return;
        }
        ::sendto(fd, data.data(), static_cast<std::size_t>(got), 0,
                 reinterpret_cast<const sockaddr*>(&peer), message.msg_namelen);
        timespec stamp{};
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
             header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_TIMESTAMPNS) {
                std::memcpy(&stamp, CMSG_DATA(header), sizeof stamp);
            }
        }
        std::uint16_t port = 0;
        if (peer.ss_family == AF_INET) {
            port = ntohs(reinterpret_cast<const sockaddr_in*>(&peer)->sin_port);
        } else if (peer.ss_family == AF_INET6) {
            port = ntohs(reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_port);
        }
        records.push_back(
            {port, static_cast<std::uint16_t>(got), got >= 4 ? get_le32(data.data()) : 0U,
             static_cast<std::int64_t>(stamp.tv_sec) * 1'000'000'000 + stamp.tv_nsec});
    }
}

int run(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: reflector ADDRESS PORT SECONDS OUTPUT\n");
        return 2;
    }
    const int port = std::atoi(argv[2]);
    const int seconds = std::atoi(argv[3]);
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

    std::vector<Record> records;
    records.reserve(1 << 20);
    std::printf("reflector: listening on %s port %d\n", argv[1], port);
    std::fflush(stdout);
    const auto end = Clock::now() + std::chrono::seconds{seconds};
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) {
            break;
        }
        std::array<pollfd, 2> waits{{{sock.get(), POLLIN, 0}, {signals.get(), POLLIN, 0}}};
        if (::poll(waits.data(), waits.size(), static_cast<int>(left)) < 0) {
            continue;
        }
        if ((waits[0].revents & POLLIN) != 0) {
            drain(sock.get(), records);
        }
        if ((waits[1].revents & POLLIN) != 0) {
            break;
        }
    }

    const std::unique_ptr<std::FILE, FileCloser> out{std::fopen(argv[4], "w")};
    if (!out) {
        std::perror("reflector: output");
        return 1;
    }
    for (const Record& record : records) {
        std::fprintf(out.get(), "%u %u %lld %u\n", record.source_port, record.seq,
                     static_cast<long long>(record.received_ns), record.length);
    }
    std::printf("reflector: %zu datagrams echoed\n", records.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return run(argc, argv);
}
