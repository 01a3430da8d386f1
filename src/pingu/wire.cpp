#include "pingu/wire.hpp"

#include <arpa/inet.h>
#include <netdb.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/log.hpp"

namespace lld {
namespace {

void put_le32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint32_t get_le32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

[[noreturn]] void fatal(const char* what) {
    log_error("%s: %s", what, std::strerror(errno));
    std::_Exit(1);
}

}  // namespace

void write_probe_text(ProbeDatagram& datagram, ProbeKind kind) {
    std::snprintf(reinterpret_cast<char*>(datagram.data() + kProbeTextOffset),
                  kProbeDatagramSize - kProbeTextOffset, "pingu version: %s",
                  kind == ProbeKind::User ? "pingu" : "flea");
}

void write_probe_header(ProbeDatagram& datagram, std::uint32_t seq, std::uint32_t seconds,
                        std::uint32_t microseconds) {
    put_le32(datagram.data(), seq);
    put_le32(datagram.data() + 4, seconds);
    put_le32(datagram.data() + 8, microseconds);
}

std::optional<std::uint32_t> probe_delay(std::span<const std::uint8_t> echo, std::uint32_t seconds,
                                         std::uint32_t microseconds) {
    if (echo.size() != kProbeDatagramSize) {
        return std::nullopt;
    }
    const std::uint32_t sent_seconds = get_le32(echo.data() + 4);
    const std::uint32_t sent_microseconds = get_le32(echo.data() + 8);
    return (seconds - sent_seconds) * 1'000'000u + microseconds - sent_microseconds;
}

std::optional<std::string> reflector_resolve(const std::string& host, int family) {
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    if (const int error = ::getaddrinfo(host.c_str(), nullptr, &hints, &raw); error != 0) {
        log_error("getaddrinfo: %s", gai_strerror(error));
        return std::nullopt;
    }
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> results{raw, freeaddrinfo};
    for (const addrinfo* result = results.get(); result != nullptr; result = result->ai_next) {
        char text[INET6_ADDRSTRLEN] = {};
        const void* address = nullptr;
        if (result->ai_family == AF_INET) {
            address = &reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr;
        } else if (result->ai_family == AF_INET6) {
            address = &reinterpret_cast<const sockaddr_in6*>(result->ai_addr)->sin6_addr;
        }
        if (address != nullptr && inet_ntop(result->ai_family, address, text, sizeof text)) {
            return std::string{text};
        }
    }
    return std::nullopt;
}

ProbePath open_probe_path(const std::string& reflector, std::uint16_t local_port,
                          std::uint16_t remote_port, int traffic_class, int family) {
    ProbePath path;
    path.family = family;
    path.fd.reset(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!path.fd) {
        fatal("Connection Socket creation failed");
    }
    const int fd = path.fd.get();
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on);
    sockaddr_storage local{};
    socklen_t local_length = 0;
    if (family == AF_INET) {
        auto& in = reinterpret_cast<sockaddr_in&>(local);
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = htonl(INADDR_ANY);
        in.sin_port = htons(local_port);
        local_length = sizeof in;
    } else {
        if (traffic_class != 0) {
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_TCLASS, &traffic_class, sizeof traffic_class);
        }
        auto& in6 = reinterpret_cast<sockaddr_in6&>(local);
        in6.sin6_family = AF_INET6;
        in6.sin6_addr = in6addr_any;
        in6.sin6_port = htons(local_port);
        local_length = sizeof in6;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), local_length) != 0) {
        fatal("ERROR on binding");
    }
    const auto address = reflector_resolve(reflector, family);
    if (!address) {
        fatal("Failed to get IPv4/v6 address");
    }
    log_debug("LLD Reflector URL Address = %s(%s),proto_family=%d ", printable(reflector).c_str(),
              address->c_str(), family);
    if (family == AF_INET) {
        auto& remote = reinterpret_cast<sockaddr_in&>(path.remote);
        remote.sin_family = AF_INET;
        remote.sin_port = htons(remote_port);
        inet_pton(AF_INET, address->c_str(), &remote.sin_addr);
        path.remote_length = sizeof remote;
    } else {
        auto& remote = reinterpret_cast<sockaddr_in6&>(path.remote);
        remote.sin6_family = AF_INET6;
        remote.sin6_port = htons(remote_port);
        inet_pton(AF_INET6, address->c_str(), &remote.sin6_addr);
        path.remote_length = sizeof remote;
    }
    return path;
}

void drain_echoes(ProbePath& path, const timeval& woke) {
    for (;;) {
        std::array<std::uint8_t, kProbeDatagramSize + 4> rx{};
        alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(timeval))> control{};
        iovec io{rx.data(), rx.size()};
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        const ssize_t got = ::recvmsg(path.fd.get(), &message, MSG_DONTWAIT);
        if (got < 0) {
            return;
        }
        timeval received = woke;
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
             header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_TIMESTAMP &&
                header->cmsg_len == CMSG_LEN(sizeof(timeval))) {
                std::memcpy(&received, CMSG_DATA(header), sizeof received);
            }
        }
        const auto delay = probe_delay({rx.data(), static_cast<std::size_t>(got)},
                                       static_cast<std::uint32_t>(received.tv_sec),
                                       static_cast<std::uint32_t>(received.tv_usec));
        if (delay) {
            insert_sample(path.samples, *delay);
        }
    }
}

}  // namespace lld
