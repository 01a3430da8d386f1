#include "app/config.hpp"

#include <cerrno>
#include <cstring>

#include "common/files.hpp"
#include "common/log.hpp"

namespace lld {
namespace {

constexpr std::size_t kMaxConfigSize = 64 * 1024;

std::optional<std::string> text_member(const cJSON* tree, const char* name) {
    const auto value = json_string_member(tree, name);
    if (!value) {
        return std::nullopt;
    }
    return std::string{*value};
}

}  // namespace

IpMode ClientConfig::ip_mode() const {
    return ip_mode_of(device_mode);
}

std::optional<std::string> ClientConfig::problem() const {
    const std::pair<const char*, bool> required[] = {
        {"broker_url", broker_url.has_value()},   {"public_cert", public_cert.has_value()},
        {"device_cert", device_cert.has_value()}, {"device_key", device_key.has_value()},
        {"username", username.has_value()},       {"password", password.has_value()},
        {"device_id", device_id.has_value()}};
    for (const auto& [key, present] : required) {
        if (!present) {
            return std::string{"the text \""} + key + "\" is missing";
        }
    }
    if (broker_port == 0) {
        return "\"broker_port\" is missing or not a non-zero number";
    }
    if (!child_timeout_valid) {
        return "\"child_timeout\" is not a whole number of seconds from 1 to 30";
    }
    if (!proxy_uid_valid) {
        return "\"proxy_uid\" is not a user id (a whole number from 0)";
    }
    return std::nullopt;
}

ClientConfig parse_client_config(const cJSON* tree) {
    ClientConfig config;
    config.broker_url = text_member(tree, "broker_url");
    const cJSON* port = cJSON_GetObjectItem(tree, "broker_port");
    config.broker_port = cJSON_IsNumber(port) ? port->valueint : 0;
    config.public_cert = text_member(tree, "public_cert");
    config.device_cert = text_member(tree, "device_cert");
    config.device_key = text_member(tree, "device_key");
    config.username = text_member(tree, "username");
    config.password = text_member(tree, "password");
    config.device_id = text_member(tree, "device_id");
    config.dgw_ip = text_member(tree, "dgw_ip");
    config.device_mode = text_member(tree, "device_mode");
    config.ha_iv = text_member(tree, "ha_IV");
    if (const cJSON* timeout = cJSON_GetObjectItem(tree, "child_timeout")) {
        const double seconds = cJSON_IsNumber(timeout) ? timeout->valuedouble : 0;
        const auto limit = std::chrono::duration<double>{kMaxChildTimeout}.count();
        config.child_timeout_valid = seconds >= 1 && seconds <= limit &&
                                     seconds == static_cast<double>(static_cast<int>(seconds));
        if (config.child_timeout_valid) {
            config.child_timeout = std::chrono::seconds{static_cast<int>(seconds)};
        }
    }
    if (const cJSON* uid = cJSON_GetObjectItem(tree, "proxy_uid")) {
        const double value = cJSON_IsNumber(uid) ? uid->valuedouble : -1;
        config.proxy_uid_valid = value >= 0 && value < 4294967295.0 &&
                                 value == static_cast<double>(static_cast<std::uint32_t>(value));
        if (config.proxy_uid_valid) {
            config.proxy_uid = static_cast<std::uint32_t>(value);
        }
    }
    return config;
}

JsonPtr read_config_file(const std::string& path) {
    const auto text = read_file(path, kMaxConfigSize);
    if (!text) {
        if (errno == ENOENT) {
            log_error("File %s not found", path.c_str());
        } else if (errno == EINVAL) {
            log_error("%s is not a regular file", path.c_str());
        } else if (errno == EFBIG) {
            log_error("%s is larger than %zu bytes", path.c_str(), kMaxConfigSize);
        } else {
            log_error("Cannot open %s: %s", path.c_str(), std::strerror(errno));
        }
        return nullptr;
    }
    if (text->empty()) {
        log_debug("confiLen = %d", 0);
        return nullptr;
    }
    return json_parse(*text);
}

}  // namespace lld
