// What the client and the proxy share about their Unix datagram sockets: the
// address of a path, what else may sit at that path, the sender's credentials,
// and complaint lines that stay few however often a peer misbehaves.
#pragma once

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace lld {

// nullopt for a path too long for a socket address.
std::optional<sockaddr_un> unix_address(std::string_view path);

// What a file's type is, for a log line: "a socket", "a directory", ...
const char* file_kind(mode_t mode);

// One datagram read into a buffer, with its sender when the kernel named it
// (SO_PASSCRED on the socket).
struct DatagramFrom {
    std::size_t size = 0;  // what of it fitted the buffer
    std::optional<ucred> sender;
};
// Reads the next datagram without waiting; nullopt when none could be read.
std::optional<DatagramFrom> receive_with_sender(int fd, std::span<char> buffer);

// At most one complaint line in kGapNs for a kind of trouble that may repeat.
class Complaint {
  public:
    static constexpr std::int64_t kGapNs = 10'000'000'000;
    // Counts one more; true when a line is due now.
    bool count();
    std::uint64_t total() const { return total_; }

  private:
    std::uint64_t total_ = 0;
    std::int64_t last_ns_ = -kGapNs;
};

}  // namespace lld
