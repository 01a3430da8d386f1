// The configuration record, read once at start-up from the JSON configuration file.
#pragma once

#include <cjson/cJSON.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "common/child.hpp"
#include "common/json.hpp"
#include "common/types.hpp"

namespace lld {

inline constexpr const char* kClientVersion = "1.0.0";
// The first log line, followed by the version.
inline constexpr const char* kBanner = "Ondrel ZEZ Udered, version:";

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
    // How long a child process may run: "child_timeout", whole seconds, 1 to 30.
    std::chrono::milliseconds child_timeout = kDefaultChildTimeout;
    bool child_timeout_valid = true;
    // The only user whose datagrams the client takes: "proxy_uid", root by default.
    std::uint32_t proxy_uid = 0;
    bool proxy_uid_valid = true;
    // The only user whose datagrams the proxy takes: "client_uid", root by default.
    std::uint32_t client_uid = 0;
    bool client_uid_valid = true;

    IpMode ip_mode() const;
    // Why the configuration can't be used, naming the key; nullopt when every
    // required key is present and every value is usable.
    std::optional<std::string> problem() const;
};

// Keys matched without regard to letter case, texts only from JSON strings,
// `broker_port` 0 unless it is a number.
ClientConfig parse_client_config(const cJSON* tree);

// Reads and parses the configuration file; null (after its log line) when the
// file is missing, empty, short or not JSON, with the reason in `problem`.
JsonPtr read_config_file(const std::string& path, std::string* problem = nullptr);

}  // namespace lld
