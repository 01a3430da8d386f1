#include "cloud/link.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "common/json.hpp"
#include "common/log.hpp"
#include "common/unix_socket.hpp"

namespace lld {
namespace {

constexpr std::size_t kTopicMax = 63;
constexpr std::string_view kTopicNames[] = {"status", "config", "metrics", "registration",
                                            "events"};

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

std::unique_ptr<ProxyLink> ProxyLink::open(std::string_view device_id, uid_t proxy_uid,
                                           std::string own_path, std::string proxy_path) {
    UniqueFd socket{::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    log_debug("NAL-SOCKET: Socket Fd=%d ", socket.get());
    if (!socket) {
        return nullptr;
    }
    struct stat there {};
    if (::lstat(own_path.c_str(), &there) == 0) {
        // Only a socket of ours is what an earlier run left; anything else is not ours to remove.
        if (!S_ISSOCK(there.st_mode) || there.st_uid != ::geteuid()) {
            log_error("%s is taken by %s of uid %u: not replaced", own_path.c_str(),
                      file_kind(there.st_mode), static_cast<unsigned>(there.st_uid));
            return nullptr;
        }
        ::unlink(own_path.c_str());
    }
    const auto own_address = unix_address(own_path);
    if (!own_address || !unix_address(proxy_path)) {
        log_error("Socket path too long: %s or %s", own_path.c_str(), proxy_path.c_str());
        return nullptr;
    }
    const sockaddr_un& own = *own_address;
    // Start-up has no other thread yet: the mask holds for this one file only.
    const mode_t mask = ::umask(0177);
    const int bound = ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&own), sizeof own);
    ::umask(mask);
    if (bound != 0) {
        log_debug("NAL-SOCKET: Socket Bind failed ");
        return nullptr;
    }
    const int on = 1;
    if (::chmod(own_path.c_str(), 0600) != 0 ||
        (proxy_uid != ::geteuid() &&
         ::chown(own_path.c_str(), proxy_uid, static_cast<gid_t>(-1)) != 0) ||
        ::setsockopt(socket.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
        log_error("%s can't be kept to the proxy's user %u: %s", own_path.c_str(),
                  static_cast<unsigned>(proxy_uid), std::strerror(errno));
        ::unlink(own_path.c_str());
        return nullptr;
    }
    return std::make_unique<ProxyLink>(std::move(socket), device_id, proxy_uid,
                                       std::move(proxy_path));
}

ProxyLink::ProxyLink(UniqueFd socket, std::string_view device_id, uid_t proxy_uid,
                     std::string proxy_path)
    : socket_{std::move(socket)},
      device_id_{device_id.substr(0, kDeviceIdMax)},
      proxy_uid_{proxy_uid},
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
    const auto received = receive_with_sender(socket, {buffer_.data(), buffer_.size() - 1});
    if (!received) {
        return std::nullopt;
    }
    const std::optional<ucred>& sender = received->sender;
    if (!sender || sender->uid != proxy_uid_) {
        if (stranger_.count()) {
            log_error(
                "Dropped %llu datagrams of other users than the proxy's (uid %u) so far; "
                "the last from uid %d, process %d",
                static_cast<unsigned long long>(stranger_.total()),
                static_cast<unsigned>(proxy_uid_), sender ? static_cast<int>(sender->uid) : -1,
                sender ? static_cast<int>(sender->pid) : -1);
        }
        return std::nullopt;
    }
    const std::string_view text{buffer_.data(), received->size};
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
    const sockaddr_un proxy = *unix_address(proxy_path_);  // its length checked at the start
    const std::lock_guard lock{send_mutex_};
    if (closed()) {
        return false;
    }
    // What another user put at the proxy's path gets nothing; the proxy may come back.
    // The proxy hands its socket to the client's user when that is another.
    struct stat there {};
    if (::lstat(proxy_path_.c_str(), &there) == 0 &&
        (!S_ISSOCK(there.st_mode) || (there.st_uid != proxy_uid_ && there.st_uid != ::geteuid()))) {
        if (squatter_.count()) {
            log_error("%s is %s of uid %u, not the proxy's (uid %u): %llu datagrams not sent",
                      proxy_path_.c_str(), file_kind(there.st_mode),
                      static_cast<unsigned>(there.st_uid), static_cast<unsigned>(proxy_uid_),
                      static_cast<unsigned long long>(squatter_.total()));
        }
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
