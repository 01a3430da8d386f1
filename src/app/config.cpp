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

// A user id member: a whole number from 0; `valid` false when present but no user id.
void uid_member(const cJSON* tree, const char* name, std::uint32_t& uid, bool& valid) {
    const cJSON* item = cJSON_GetObjectItem(tree, name);
    if (item == nullptr) {
        return;
    }
    const double value = cJSON_IsNumber(item) ? item->valuedouble : -1;
    valid = value >= 0 && value < 4294967295.0 &&
            value == static_cast<double>(static_cast<std::uint32_t>(value));
    if (valid) {
        uid = static_cast<std::uint32_t>(value);
    }
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
    if (!client_uid_valid) {
        return "\"client_uid\" is not a user id (a whole number from 0)";
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
    uid_member(tree, "proxy_uid", config.proxy_uid, config.proxy_uid_valid);
    uid_member(tree, "client_uid", config.client_uid, config.client_uid_valid);
    return config;
}

JsonPtr read_config_file(const std::string& path, std::string* problem) {
    std::string why;
    JsonPtr tree;
    if (const auto text = read_file(path, kMaxConfigSize); !text) {
        if (errno == ENOENT) {
            why = "not found";
            log_error("File %s not found", path.c_str());
        } else if (errno == EINVAL) {
            why = "not a regular file";
            log_error("%s is not a regular file", path.c_str());
        } else if (errno == EFBIG) {
            why = "larger than " + std::to_string(kMaxConfigSize) + " bytes";
            log_error("%s is larger than %zu bytes", path.c_str(), kMaxConfigSize);
        } else {
            why = std::strerror(errno);
            log_error("Cannot open %s: %s", path.c_str(), why.c_str());
        }
    } else if (text->empty()) {
        why = "empty";
        log_debug("confiLen = %d", 0);
    } else if (tree = json_parse(*text); !tree) {
        why = "not JSON";
    }
    if (problem != nullptr) {
        *problem = why;
    }
    return tree;
}

}  // namespace lld
