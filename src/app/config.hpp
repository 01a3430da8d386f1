// The configuration record, read once at start-up from the JSON configuration file.
#pragma once

#include <cjson/cJSON.h>

#include <cstdint>
#include <optional>
#include <string>

#include "common/json.hpp"
#include "common/types.hpp"

namespace lld {

inline constexpr const char* kClientVersion = "1.0.0";

struct ClientConfig {
    std::optional<std::string> broker_url;
    std::int32_t broker_port = 0;
    std::optional<std::string> public_cert;
    std::optional<std::string> device_cert;
    std::optional<std::string> device_key;
    std::optional<std::string> username;
    std::optional<std::string> password;
    std::optional<std::string> device_id;
    std::optional<std::string> dgw_ip;
    std::optional<std::string> device_mode;
    std::optional<std::string> ha_iv;

    IpMode ip_mode() const;
    // Every required key present and `broker_port` non-zero.
    bool complete() const;
};

// Keys matched without regard to letter case, texts only from JSON strings,
// `broker_port` 0 unless it is a number.
ClientConfig parse_client_config(const cJSON* tree);

// Reads and parses the configuration file; null (after its log line) when the
// file is missing, empty, short or not JSON.
JsonPtr read_config_file(const std::string& path);

}  // namespace lld
