#include "pingu/wire.hpp"

#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
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

std::optional<ProbePath> failed(const char* what, std::uint16_t local_port) {
    log_error("%s (local port %u): %s", what, static_cast<unsigned>(local_port),
              std::strerror(errno));
    return std::nullopt;
}

// Whether a datagram came from where the path sends to.
bool from_remote(const ProbePath& path, const sockaddr_storage& from) {
    if (from.ss_family != path.remote.ss_family) {
        return false;
    }
    if (from.ss_family == AF_INET) {
        const auto& a = reinterpret_cast<const sockaddr_in&>(from);
        const auto& b = reinterpret_cast<const sockaddr_in&>(path.remote);
        return a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
    }
    const auto& a = reinterpret_cast<const sockaddr_in6&>(from);
    const auto& b = reinterpret_cast<const sockaddr_in6&>(path.remote);
    return a.sin6_port == b.sin6_port &&
           std::memcmp(&a.sin6_addr, &b.sin6_addr, sizeof a.sin6_addr) == 0;
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

void ProbePath::sent(std::uint32_t seq, std::int64_t now_ns) {
    while (!awaited.empty() &&
           (awaited.front().answered || now_ns - awaited.front().sent_ns > timeout_ns ||
            awaited.size() >= kMaxAwaited)) {
        awaited.pop_front();
    }
    awaited.push_back(Awaited{seq, now_ns});
}

bool ProbePath::answered(std::uint32_t seq, std::int64_t received_ns) {
    // Sequence numbers only grow within a run: the cycles await in their order.
    const auto found = std::ranges::lower_bound(awaited, seq, {}, &Awaited::seq);
    if (found == awaited.end() || found->seq != seq || found->answered ||
        received_ns - found->sent_ns > timeout_ns) {
        return false;
    }
    found->answered = true;
    return true;
}

std::optional<ProbePath> open_probe_path(const std::string& reflector, std::uint16_t local_port,
                                         std::uint16_t remote_port, int traffic_class, int family,
                                         std::int64_t timeout_ns) {
    ProbePath path;
    path.family = family;
    path.timeout_ns = timeout_ns;
    path.fd.reset(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!path.fd) {
        return failed("Connection Socket creation failed", local_port);
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
        return failed("ERROR on binding", local_port);
    }
    const auto address = reflector_resolve(reflector, family);
    if (!address) {
        log_error("Failed to get IPv4/v6 address of %s", printable(reflector).c_str());
        return std::nullopt;
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

void drain_echoes(ProbePath& path, const timeval& woke, std::int64_t woke_ns) {
    // A batch of datagrams to one call; a batch that comes back full asks for the next.
    constexpr unsigned kBatch = 8;
    struct Slot {
        std::array<std::uint8_t, kProbeDatagramSize + 4> data;
        alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(timeval))> control;
        sockaddr_storage from;
        iovec io;
    };
    std::array<Slot, kBatch> slots;
    std::array<mmsghdr, kBatch> messages{};
    const std::int64_t woke_us = std::int64_t{woke.tv_sec} * 1'000'000 + woke.tv_usec;
    for (;;) {
        for (unsigned i = 0; i < kBatch; ++i) {
            Slot& slot = slots[i];
            slot.io = {slot.data.data(), slot.data.size()};
            msghdr& message = messages[i].msg_hdr;
            message.msg_name = &slot.from;
            message.msg_namelen = sizeof slot.from;
            message.msg_iov = &slot.io;
            message.msg_iovlen = 1;
            message.msg_control = slot.control.data();
            message.msg_controllen = slot.control.size();
            message.msg_flags = 0;
        }
        const int got = ::recvmmsg(path.fd.get(), messages.data(), kBatch, MSG_DONTWAIT, nullptr);
        if (got <= 0) {
            return;
        }
        for (int i = 0; i < got; ++i) {
            msghdr& message = messages[static_cast<unsigned>(i)].msg_hdr;
            const Slot& slot = slots[static_cast<unsigned>(i)];
            timeval received = woke;
            for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
                 header = CMSG_NXTHDR(&message, header)) {
                if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_TIMESTAMP &&
                    header->cmsg_len == CMSG_LEN(sizeof(timeval))) {
                    std::memcpy(&received, CMSG_DATA(header), sizeof received);
                }
            }
            const std::span<const std::uint8_t> echo{
                slot.data.data(), std::min<std::size_t>(messages[static_cast<unsigned>(i)].msg_len,
                                                        slot.data.size())};
            const auto delay = probe_delay(echo, static_cast<std::uint32_t>(received.tv_sec),
                                           static_cast<std::uint32_t>(received.tv_usec));
            // When it arrived on the monotonic clock: as long before the wake-up
            // as its wall-clock time stamp is.
            const std::int64_t received_us =
                std::int64_t{received.tv_sec} * 1'000'000 + received.tv_usec;
            const std::int64_t received_ns = woke_ns - (woke_us - received_us) * 1000;
            if (delay && from_remote(path, slot.from) &&
                path.answered(get_le32(echo.data()), received_ns)) {
                path.samples.push_back(*delay);
            }
        }
        if (static_cast<unsigned>(got) < kBatch) {
            return;
        }
    }
}

}  // namespace lld
