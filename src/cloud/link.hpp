// The datagram link to the local proxy, which holds the broker connection. Each
// datagram is a JSON object {"type","topic","payload"}; every message of the
// client leaves through the one link, from whichever thread publishes it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/fd.hpp"
#include "common/publisher.hpp"
#include "common/unix_socket.hpp"

namespace lld {

inline constexpr const char* kClientSocketPath = "/tmp/lld_unix_sock.client";
inline constexpr const char* kProxySocketPath = "/tmp/proxy_unix_sock.server";
// Every datagram the client sends has this type.
inline constexpr std::uint32_t kPublishType = 2;

// One datagram from the proxy, members matched without regard to letter case.
struct Datagram {
    std::int32_t type = 0;  // 0 when "type" is missing or not a number
    std::optional<std::string> topic;
    std::optional<std::string> payload;
};

// "CS/<device_id>/LLD/<topic>", at most 63 characters.
std::string format_topic(Topic topic, std::string_view device_id);

// cJSON's formatted print of {"type", "topic", "payload"}.
std::optional<std::string> build_datagram(std::uint32_t type, std::string_view topic,
                                          std::string_view payload);

// nullopt when the text is not a JSON object.
std::optional<Datagram> parse_datagram(std::string_view text);

// Only the proxy's user may talk to the client: the client's socket is created
// with mode 0600 (and handed to the proxy's user when that is another), every
// datagram's sender is checked by the kernel's credentials, and nothing is sent
// to a proxy socket that another user has put in the proxy's place.
class ProxyLink final : public Publisher {
  public:
    static constexpr std::size_t kDeviceIdMax = 63;
    static constexpr std::size_t kReceiveBuffer = 4098;

    // Binds the client's socket, replacing a stale socket of its own; null (after
    // an [ERR] line naming it) when the path is taken by anything else.
    static std::unique_ptr<ProxyLink> open(std::string_view device_id, uid_t proxy_uid,
                                           std::string own_path = kClientSocketPath,
                                           std::string proxy_path = kProxySocketPath);
    ProxyLink(UniqueFd socket, std::string_view device_id, uid_t proxy_uid, std::string proxy_path);

    // The bound socket, or -1 once a failed send has closed the link.
    int fd() const;
    bool closed() const { return fd() < 0; }

    // The next datagram; nullopt when it can't be read, is no JSON object or comes
    // from another user than the proxy's (dropped with an [ERR] line now and then).
    // A datagram longer than the buffer is cut to what fits.
    std::optional<Datagram> receive();
    // Never blocks. A proxy that is gone (no socket, nobody bound to it) closes the
    // link; a datagram the proxy can't take now (its buffer full) or at all (too
    // large) is dropped with an error line and counted, and the link stays up.
    bool publish(Topic topic, std::string_view payload) override;
    std::uint64_t dropped() const;

  private:
    mutable std::mutex send_mutex_;  // one datagram at a time, and none after the proxy went
    std::uint64_t dropped_ = 0;      // under send_mutex_
    const UniqueFd socket_;
    std::atomic<bool> closed_{false};
    std::string device_id_;
    uid_t proxy_uid_;
    std::string proxy_path_;
    std::vector<char> buffer_;
    // Complaints about strangers, at most one line in a while each.
    Complaint stranger_;  // main thread
    Complaint squatter_;  // under send_mutex_
};

}  // namespace lld
