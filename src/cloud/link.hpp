// The datagram link to the local proxy, which holds the broker connection.
// Every message of the client leaves through the process's one link.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/config.hpp"
#include "common/fd.hpp"

namespace lld {

inline constexpr const char* kClientSocketPath = "/tmp/lld_unix_sock.client";
inline constexpr const char* kProxySocketPath = "/tmp/proxy_unix_sock.server";

enum Topic : std::uint32_t {
    TOPIC_STATUS = 0,
    TOPIC_CONFIG = 1,
    TOPIC_METRICS = 2,
    TOPIC_REGISTRATION = 3,
    TOPIC_EVENTS = 4,
};

// Called for each received datagram with its type and, when present as texts,
// its topic and payload; the texts live only for the call.
using ReceiveHandler = std::function<void(std::int32_t type, std::optional<std::string_view> topic,
                                          std::optional<std::string_view> payload)>;

// One datagram from the proxy, members matched without regard to letter case.
struct Datagram {
    std::int32_t type = 0;  // 0 when "type" is missing or not a number
    std::optional<std::string> topic;
    std::optional<std::string> payload;
};

// The topic of `index` for `device_id`, at most 63 characters; empty above 4.
std::string format_topic(std::uint32_t index, std::string_view device_id);

// cJSON's formatted print of {"type", "topic", "payload"}.
std::optional<std::string> build_datagram(std::uint32_t type, std::string_view topic,
                                          std::string_view payload);

// nullopt when the text is not a JSON object.
std::optional<Datagram> parse_datagram(std::string_view text);

class nal_socket {
  public:
    static constexpr std::size_t kDeviceIdMax = 63;
    static constexpr std::size_t kReceiveBuffer = 4098;

    nal_socket(UniqueFd socket, std::string_view device_id, ReceiveHandler handler);

    // The bound socket; 0 once a failed send has closed it.
    int fd() const { return fd_.load(std::memory_order_acquire); }
    bool closed() const { return fd() == 0; }
    const std::string& device_id() const { return device_id_; }

    int receive();
    int send(std::uint32_t type, std::uint32_t topic, std::string_view payload);
    void close();

  private:
    std::mutex send_mutex_;  // serialises sends and the close after a failed one
    UniqueFd socket_;
    std::atomic<int> fd_;
    std::string device_id_;
    ReceiveHandler handler_;
    std::vector<char> buffer_;
};

// Result codes of the link's operations.
inline constexpr int NET_OK = 0;
inline constexpr int NET_FAIL = 1;
inline constexpr int NET_NO_LINK = 3;

int net_open(nal_socket** link, const client_config& config, ReceiveHandler handler);
nal_socket* net_get_link();
int net_get_fd(const nal_socket* link);
int net_connect(nal_socket* link, std::string_view broker_url, std::int32_t broker_port);
int net_recv_msg(nal_socket* link);
int net_send_msg(nal_socket* link, std::uint32_t type, std::uint32_t topic,
                 std::string_view payload);
int net_close(nal_socket* link);

}  // namespace lld
