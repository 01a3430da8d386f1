#include "app/proxy/local_socket.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>

#include "common/log.hpp"
#include "common/unix_socket.hpp"

namespace lld::proxy {
namespace {

sockaddr_un address_of(const std::string& path) {
    const auto address = unix_address(path);
    if (!address) {
        throw StartupError("socket path too long: " + printable(path));
    }
    return *address;
}

[[noreturn]] void refuse(const std::string& line) {
    log_error("%s", line.c_str());
    throw StartupError(line);
}

}  // namespace

LocalSocket::LocalSocket(std::string own_path, std::string client_path, uid_t client_uid)
    : own_path_{std::move(own_path)},
      client_path_{std::move(client_path)},
      client_uid_{client_uid} {
    socket_.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const int on = 1;
    if (!socket_ || ::setsockopt(socket_.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
        const std::string cause = std::strerror(errno);
        refuse("Cannot make the socket for " + printable(own_path_) + ": " + cause);
    }
    address_of(client_path_);  // a path too long ends the start now
    bind_socket();
}

LocalSocket::~LocalSocket() {
    struct stat there {};
    if (inode_ != 0 && ::lstat(own_path_.c_str(), &there) == 0 && there.st_dev == device_ &&
        there.st_ino == inode_) {
        ::unlink(own_path_.c_str());
    }
}

void LocalSocket::bind_socket() {
    const sockaddr_un address = address_of(own_path_);
    // Root writes to any socket; another client user gets this one handed over.
    const bool hand_over = client_uid_ != ::geteuid() && client_uid_ != 0;
    struct stat there {};
    if (::lstat(own_path_.c_str(), &there) == 0) {
        // Only a socket an earlier run left (its own, or handed over) is replaced; anything
        // else is not ours to remove.
        const bool stale = S_ISSOCK(there.st_mode) && (there.st_uid == ::geteuid() ||
                                                       (hand_over && there.st_uid == client_uid_));
        if (!stale) {
            refuse(printable(own_path_) + " is taken by " + file_kind(there.st_mode) + " of uid " +
                   std::to_string(there.st_uid) + ": not replaced");
        }
        ::unlink(own_path_.c_str());
    }
    // Nothing else runs yet: the mask holds for this one file only.
    const mode_t mask = ::umask(0177);
    const int bound =
        ::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::umask(mask);
    if (bound != 0) {
        const std::string cause = std::strerror(errno);
        refuse("Cannot bind " + printable(own_path_) + ": " + cause);
    }
    if (::chmod(own_path_.c_str(), 0600) != 0 ||
        (hand_over && ::chown(own_path_.c_str(), client_uid_, static_cast<gid_t>(-1)) != 0) ||
        ::lstat(own_path_.c_str(), &there) != 0) {
        const std::string cause = std::strerror(errno);
        ::unlink(own_path_.c_str());
        refuse(printable(own_path_) + " can't be kept to the client's user " +
               std::to_string(client_uid_) + ": " + cause);
    }
    device_ = there.st_dev;
    inode_ = there.st_ino;
}

Received LocalSocket::receive() {
    const ssize_t size = ::recv(socket_.get(), nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (size < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            log_error("Cannot read from %s: %s", own_path_.c_str(), std::strerror(errno));
        }
        return {};
    }
    buffer_.resize(static_cast<std::size_t>(size) + 1);
    const auto received = receive_with_sender(socket_.get(), buffer_);
    if (!received) {
        return {};
    }
    const std::optional<ucred>& sender = received->sender;
    if (!sender || sender->uid != client_uid_) {
        if (stranger_.count()) {
            log_error(
                "Dropped %llu datagrams of other users than the client's (uid %u) so far; "
                "the last from uid %d, process %d",
                static_cast<unsigned long long>(stranger_.total()),
                static_cast<unsigned>(client_uid_), sender ? static_cast<int>(sender->uid) : -1,
                sender ? static_cast<int>(sender->pid) : -1);
        }
        return {ReceiveStatus::Dropped, {}};
    }
    return {ReceiveStatus::Message, std::string{buffer_.data(), received->size}};
}

bool LocalSocket::client_socket_trusted() {
    struct stat there {};
    if (::lstat(client_path_.c_str(), &there) != 0) {
        return true;  // nobody there: the send itself tells
    }
    // The client hands its socket to the proxy's user when that is another.
    if (S_ISSOCK(there.st_mode) && (there.st_uid == client_uid_ || there.st_uid == ::geteuid())) {
        return true;
    }
    if (squatter_.count()) {
        log_error("%s is %s of uid %u, not the client's (uid %u): %llu datagrams not sent",
                  client_path_.c_str(), file_kind(there.st_mode),
                  static_cast<unsigned>(there.st_uid), static_cast<unsigned>(client_uid_),
                  static_cast<unsigned long long>(squatter_.total()));
    }
    return false;
}

bool LocalSocket::send_to_client(std::string_view text) {
    if (!client_socket_trusted()) {
        return false;
    }
    const sockaddr_un client = address_of(client_path_);
    ssize_t sent = 0;
    do {
        // Never waits: a client that stops reading must not stop the broker side.
        sent = ::sendto(socket_.get(), text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                        reinterpret_cast<const sockaddr*>(&client), sizeof client);
    } while (sent < 0 && errno == EINTR);
    if (sent >= 0) {
        return true;
    }
    ++send_drops_;
    log_error("Dropped a datagram of %zu bytes to the client at %s (%s); %llu dropped so far",
              text.size(), client_path_.c_str(), std::strerror(errno),
              static_cast<unsigned long long>(send_drops_));
    return false;
}

}  // namespace lld::proxy
