// The proxy's datagram socket beside the client. Only the client's user is
// heard: the socket file has mode 0600 (handed to that user when it is another
// and not root, which needs no permission), each datagram's sender is checked
// by the kernel's credentials, a stale socket of the proxy's own is replaced but
// anything else at the path is refused, and nothing goes to a socket at the
// client's path that belongs to a third user.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/proxy/settings.hpp"
#include "common/fd.hpp"
#include "common/unix_socket.hpp"

namespace lld::proxy {

enum class ReceiveStatus { Empty, Dropped, Message };

struct Received {
    ReceiveStatus status = ReceiveStatus::Empty;
    std::string text;
};

class LocalSocket {
  public:
    // Binds the proxy's socket; throws StartupError naming the path.
    LocalSocket(std::string own_path, std::string client_path, uid_t client_uid);
    // Removes the socket file, when it is still the one bound here.
    ~LocalSocket();
    LocalSocket(const LocalSocket&) = delete;
    LocalSocket& operator=(const LocalSocket&) = delete;

    int fd() const { return socket_.get(); }
    // The next datagram, never waiting: Empty when none is left, Dropped when it
    // came from another user or could not be read.
    Received receive();
    // Never blocks; a datagram the client can't take is dropped with an [ERR] line.
    bool send_to_client(std::string_view text);

  private:
    void bind_socket();
    bool client_socket_trusted();

    std::string own_path_;
    std::string client_path_;
    uid_t client_uid_;
    UniqueFd socket_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    std::vector<char> buffer_;
    Complaint stranger_;
    Complaint squatter_;
    std::uint64_t send_drops_ = 0;
};

}  // namespace lld::proxy
