#include "cloud/link.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/log.hpp"
#include "common/json.hpp"

namespace lld {
namespace {

constexpr std::size_t kTopicMax = 63;
constexpr const char* kTopicFormats[] = {
    "CS/%s/LLD/status",       "CS/%s/LLD/config", "CS/%s/LLD/metrics",
    "CS/%s/LLD/registration", "CS/%s/LLD/events",
};

std::unique_ptr<nal_socket> the_link;
std::atomic<nal_socket*> the_link_ptr{nullptr};

sockaddr_un unix_address(const char* path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    return address;
}

}  // namespace

std::string format_topic(std::uint32_t index, std::string_view device_id) {
    if (index >= std::size(kTopicFormats)) {
        return {};
    }
    const std::string_view format{kTopicFormats[index]};
    const std::size_t mark = format.find("%s");
    std::string topic{format.substr(0, mark)};
    topic += device_id;
    topic += format.substr(mark + 2);
    if (topic.size() > kTopicMax) {
        topic.resize(kTopicMax);
    }
    return topic;
}

std::optional<std::string> build_datagram(std::uint32_t type, std::string_view topic,
                                          std::string_view payload) {
    const JsonPtr object{cJSON_CreateObject()};
    if (!object || !cJSON_AddNumberToObject(object.get(), "type", static_cast<double>(type)) ||
        !cJSON_AddStringToObject(object.get(), "topic", std::string{topic}.c_str()) ||
        !cJSON_AddStringToObject(object.get(), "payload", std::string{payload}.c_str())) {
        return std::nullopt;
    }
    return json_print(object.get());
}

std::optional<Datagram> parse_datagram(std::string_view text) {
    const JsonPtr tree = json_parse(text);
    if (!tree) {
        return std::nullopt;
    }
    Datagram datagram;
    const cJSON* type = cJSON_GetObjectItem(tree.get(), "type");
    if (cJSON_IsNumber(type)) {
        datagram.type = type->valueint;
    }
    if (const auto topic = json_string_member(tree.get(), "topic")) {
        datagram.topic = std::string{*topic};
    }
    if (const auto payload = json_string_member(tree.get(), "payload")) {
        datagram.payload = std::string{*payload};
    }
    return datagram;
}

nal_socket::nal_socket(UniqueFd socket, std::string_view device_id, ReceiveHandler handler)
    : socket_{std::move(socket)},
      fd_{socket_.get()},
      device_id_{device_id.substr(0, kDeviceIdMax)},
      handler_{std::move(handler)},
      buffer_(kReceiveBuffer) {}

int nal_socket::receive() {
    std::fill(buffer_.begin(), buffer_.end(), '\0');
    // One byte stays free; a longer datagram is cut to what fits.
    const ssize_t got = ::recv(fd(), buffer_.data(), buffer_.size() - 1, 0);
    if (got < 0) {
        return NET_FAIL;
    }
    const std::string_view text{buffer_.data(), static_cast<std::size_t>(got)};
    const auto datagram = parse_datagram(text.substr(0, text.find('\0')));
    if (!datagram) {
        return NET_FAIL;
    }
    if (handler_) {
        std::optional<std::string_view> topic;
        std::optional<std::string_view> payload;
        if (datagram->topic) {
            topic = *datagram->topic;
        }
        if (datagram->payload) {
            payload = *datagram->payload;
        }
        handler_(datagram->type, topic, payload);
    }
    return NET_OK;
}

int nal_socket::send(std::uint32_t type, std::uint32_t topic, std::string_view payload) {
    const auto text = build_datagram(type, format_topic(topic, device_id_), payload);
    if (!text) {
        return NET_FAIL;
    }
    lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] %s Sending %s !!!!!\n", "net_send_msg",
            text->c_str());
    const sockaddr_un proxy = unix_address(kProxySocketPath);
    const std::lock_guard lock{send_mutex_};
    if (closed()) {
        return NET_FAIL;
    }
    const ssize_t sent = ::sendto(fd(), text->data(), text->size(), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&proxy), sizeof proxy);
    if (sent < 0) {
        // A link whose peer is gone is not reopened: the main loop notices and ends.
        socket_.reset();
        fd_.store(0, std::memory_order_release);
        return NET_FAIL;
    }
    return NET_OK;
}

void nal_socket::close() {
    const std::lock_guard lock{send_mutex_};
    socket_.reset();
    fd_.store(0, std::memory_order_release);
}

int net_open(nal_socket** link, const client_config& config, ReceiveHandler handler) {
    if (nal_socket* existing = the_link_ptr.load(std::memory_order_acquire)) {
        if (link != nullptr) {
            *link = existing;
        }
        return NET_OK;
    }
    UniqueFd socket{::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] NAL-SOCKET: Socket Fd=%d \n", socket.get());
    if (!socket) {
        return NET_FAIL;
    }
    ::unlink(kClientSocketPath);
    const sockaddr_un own = unix_address(kClientSocketPath);
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&own), sizeof own) != 0) {
        lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] NAL-SOCKET: Socket Bind failed \n");
        return NET_FAIL;
    }
    the_link = std::make_unique<nal_socket>(std::move(socket), config.device_id.value_or(""),
                                            std::move(handler));
    the_link_ptr.store(the_link.get(), std::memory_order_release);
    if (link != nullptr) {
        *link = the_link.get();
    }
    return NET_OK;
}

nal_socket* net_get_link() {
    return the_link_ptr.load(std::memory_order_acquire);
}

int net_get_fd(const nal_socket* link) {
    return link == nullptr ? -1 : link->fd();
}

int net_connect(nal_socket* /*link*/, std::string_view /*broker_url*/,
                std::int32_t /*broker_port*/) {
    // The proxy holds the broker connection.
    return NET_OK;
}

int net_recv_msg(nal_socket* link) {
    return link == nullptr ? NET_NO_LINK : link->receive();
}

int net_send_msg(nal_socket* link, std::uint32_t type, std::uint32_t topic,
                 std::string_view payload) {
    return link == nullptr ? NET_OK : link->send(type, topic, payload);
}

int net_close(nal_socket* link) {
    if (link == nullptr) {
        return NET_OK;
    }
    link->close();
    if (link == the_link.get()) {
        the_link_ptr.store(nullptr, std::memory_order_release);
        the_link.reset();
    }
    return NET_OK;
}

}  // namespace lld
