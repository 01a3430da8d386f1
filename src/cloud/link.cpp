#include "cloud/link.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/json.hpp"
#include "common/log.hpp"

namespace lld {
namespace {

constexpr std::size_t kTopicMax = 63;
constexpr std::string_view kTopicNames[] = {"status", "config", "metrics", "registration",
                                            "events"};

sockaddr_un unix_address(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

}  // namespace

std::string format_topic(Topic topic, std::string_view device_id) {
    std::string text = "CS/";
    text += device_id;
    text += "/LLD/";
    text += kTopicNames[static_cast<std::size_t>(topic)];
    if (text.size() > kTopicMax) {
        text.resize(kTopicMax);
    }
    return text;
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

std::unique_ptr<ProxyLink> ProxyLink::open(std::string_view device_id, std::string own_path,
                                           std::string proxy_path) {
    UniqueFd socket{::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    log_debug("NAL-SOCKET: Socket Fd=%d ", socket.get());
    if (!socket) {
        return nullptr;
    }
    ::unlink(own_path.c_str());
    const sockaddr_un own = unix_address(own_path);
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&own), sizeof own) != 0) {
        log_debug("NAL-SOCKET: Socket Bind failed ");
        return nullptr;
    }
    return std::make_unique<ProxyLink>(std::move(socket), device_id, std::move(proxy_path));
}

ProxyLink::ProxyLink(UniqueFd socket, std::string_view device_id, std::string proxy_path)
    : socket_{std::move(socket)},
      device_id_{device_id.substr(0, kDeviceIdMax)},
      proxy_path_{std::move(proxy_path)},
      buffer_(kReceiveBuffer) {}

int ProxyLink::fd() const {
    return closed_.load(std::memory_order_acquire) ? -1 : socket_.get();
}

std::uint64_t ProxyLink::dropped() const {
    const std::lock_guard lock{send_mutex_};
    return dropped_;
}

std::optional<Datagram> ProxyLink::receive() {
    const int socket = fd();
    if (socket < 0) {
        return std::nullopt;
    }
    // One byte stays free; a longer datagram is cut to what fits.
    const ssize_t got = ::recv(socket, buffer_.data(), buffer_.size() - 1, MSG_DONTWAIT);
    if (got < 0) {
        return std::nullopt;
    }
    const std::string_view text{buffer_.data(), static_cast<std::size_t>(got)};
    return parse_datagram(text.substr(0, text.find('\0')));
}

bool ProxyLink::publish(Topic topic, std::string_view payload) {
    const auto text = build_datagram(kPublishType, format_topic(topic, device_id_), payload);
    if (!text) {
        return false;
    }
    if (log_enabled(LogLevel::Debug)) {
        const auto shown =
            build_datagram(kPublishType, format_topic(topic, device_id_), redact_secrets(payload));
        log_debug("%s Sending %s !!!!!", "net_send_msg", shown.value_or("").c_str());
    }
    const sockaddr_un proxy = unix_address(proxy_path_);
    const std::lock_guard lock{send_mutex_};
    if (closed()) {
        return false;
    }
    ssize_t sent = 0;
    do {
        // Never waits: a proxy that stops reading must not stop the thread that publishes.
        sent = ::sendto(socket_.get(), text->data(), text->size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                        reinterpret_cast<const sockaddr*>(&proxy), sizeof proxy);
    } while (sent < 0 && errno == EINTR);
    if (sent >= 0) {
        return true;
    }
    const int error = errno;
    if (error == ENOENT || error == ECONNREFUSED || error == ENOTSOCK) {
        // The proxy is gone. A link whose peer is gone is not reopened: the main loop
        // notices and ends. The descriptor itself stays open until the link goes, so
        // no other thread can find its number reused.
        closed_.store(true, std::memory_order_release);
        return false;
    }
    ++dropped_;
    log_error("Dropped a datagram of %zu bytes to the proxy (%s); %llu dropped so far",
              text->size(), std::strerror(error), static_cast<unsigned long long>(dropped_));
    return false;
}

}  // namespace lld
