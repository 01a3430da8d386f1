// The process-wide configuration record, read once at start-up from the JSON
// configuration file, and the small start-up utilities.
#pragma once

#include <cjson/cJSON.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/json.hpp"

namespace lld {

inline constexpr const char* kClientVersion = "1.0.0";

// The last port range received from the cloud. The main thread writes it, the
// rule setter's WAN address tracker reads it; at most 15 characters are kept.
class CloudPortRange {
  public:
    static constexpr std::size_t kMaxLength = 15;
    void set(std::string_view range);
    std::string get() const;

  private:
    mutable std::mutex mutex_;
    std::string text_;
};

// Address families the rule setter handles, from `device_mode`.
enum IpMode : int { IP_MODE_NONE = 0, IP_MODE_IPV4 = 1, IP_MODE_IPV6 = 2, IP_MODE_DUALSTACK = 3 };

struct client_config {
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
    std::optional<std::string> ha_IV;
    CloudPortRange cloud_port_range;
    // Set once at start-up, before any other thread exists.
    int ipMode = IP_MODE_NONE;
};

int ip_mode_of(const std::optional<std::string>& device_mode);

// The one configuration record of the process.
client_config& process_config();

// Fills `config` from the parsed file: keys without regard to letter case, texts
// only from JSON strings, `broker_port` 0 unless it is a number.
void fill_client_config(const cJSON* tree, client_config& config);

// True when every required key is present and `broker_port` is non-zero.
bool client_config_complete(const client_config& config);

// Reads and parses the configuration file; null (after its log line) when the
// file is missing, empty, short or not JSON.
JsonPtr read_config_file(const std::string& path);

// The value following the first exact occurrence of `name` in argv; an option
// given last, with nothing after it, is not found.
std::optional<std::string_view> find_arg(std::span<const char* const> argv, std::string_view name);

bool str_starts_with(std::string_view text, std::string_view prefix);

// The whole file followed by `extra` zero bytes; nullopt when it can't be opened
// or its size can't be read. `length` receives the number of bytes read.
std::optional<std::vector<char>> read_file(const std::string& path, std::size_t* length,
                                           std::size_t extra);

}  // namespace lld
