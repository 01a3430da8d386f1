// What lld-proxy runs with: the command line, and the broker and the client's
// socket as the client's own configuration file names them.
#pragma once

#include <sys/types.h>

#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "app/config.hpp"

namespace lld::proxy {

// A start-up step that failed; what() is the one line shown on stderr, naming
// the option, key or file. Never carries a secret.
class StartupError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

enum class Action { Run, Help, Version };

struct Options {
    Action action = Action::Run;
    std::string config_path;  // -config
};

// Throws StartupError for an unknown option, a missing value or a missing -config.
Options parse_options(std::span<const char* const> args);
std::string usage_text();

struct BrokerSettings {
    std::string host;
    int port = 0;
    bool tls = false;
    std::string ca_file;                   // public_cert
    std::optional<std::string> cert_file;  // device_cert and device_key, when both name files
    std::optional<std::string> key_file;
    std::string username;
    std::string password;
    std::string client_id;  // the device_id
};

struct ProxySettings {
    BrokerSettings broker;
    std::string device_id;
    uid_t client_uid = 0;
    std::string own_path;     // the proxy's socket
    std::string client_path;  // the client's socket
};

// "CS/<device_id>/LLD/": the client publishes below it, the cloud's messages come from there.
std::string topic_prefix(std::string_view device_id);

struct BrokerAddress {
    std::string host;
    std::optional<bool> tls;  // what the scheme says, when there is one
};

// A `broker_url`: a host name or address, "mqtt://" (plain) or "mqtts://" (TLS)
// accepted before it and a '/' after it; nullopt when it names no host.
std::optional<BrokerAddress> parse_broker_url(std::string_view url);

// Reads the client's configuration file; throws StartupError naming the file or the key.
ProxySettings load_settings(const std::string& config_path);

}  // namespace lld::proxy
