#include "common/unix_socket.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>

namespace lld {

std::optional<sockaddr_un> unix_address(std::string_view path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        return std::nullopt;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    return address;
}

const char* file_kind(mode_t mode) {
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    if (S_ISDIR(mode)) {
        return "a directory";
    }
    if (S_ISLNK(mode)) {
        return "a symbolic link";
    }
    return S_ISREG(mode) ? "a file" : "something else";
}

std::optional<DatagramFrom> receive_with_sender(int fd, std::span<char> buffer) {
    iovec io{buffer.data(), buffer.size()};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(ucred))> control{};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    const ssize_t got = ::recvmsg(fd, &message, MSG_DONTWAIT);
    if (got < 0) {
        return std::nullopt;
    }
    DatagramFrom received{std::min(static_cast<std::size_t>(got), buffer.size()), std::nullopt};
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_CREDENTIALS &&
            header->cmsg_len == CMSG_LEN(sizeof(ucred))) {
            ucred sender{};
            std::memcpy(&sender, CMSG_DATA(header), sizeof sender);
            received.sender = sender;
        }
    }
    return received;
}

bool Complaint::count() {
    ++total_;
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const std::int64_t now_ns = static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
    if (now_ns - last_ns_ < kGapNs) {
        return false;
    }
    last_ns_ = now_ns;
    return true;
}

}  // namespace lld
