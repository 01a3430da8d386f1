#include "app/config.hpp"

#include "common/files.hpp"
#include "common/log.hpp"

namespace lld {
namespace {

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

bool ClientConfig::complete() const {
    return broker_url && broker_port != 0 && public_cert && device_cert && device_key &&
           username && password && device_id;
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
    return config;
}

JsonPtr read_config_file(const std::string& path) {
    const auto text = read_file(path);
    if (!text) {
        log_error("File %s not found", path.c_str());
        return nullptr;
    }
    if (text->empty()) {
        log_debug("confiLen = %d", 0);
        return nullptr;
    }
    return json_parse(*text);
}

}  // namespace lld
