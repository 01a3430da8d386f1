#include "app/proxy/settings.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "app/config.hpp"
#include "cloud/link.hpp"
#include "common/log.hpp"

namespace lld::proxy {
namespace {

constexpr int kPlainPort = 1883;
constexpr int kMaxPort = 65535;
constexpr const char* kUsageHint = " (usage: lld-proxy -config <file> | --help | --version)";

std::string env_or(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return (value != nullptr && *value != '\0') ? value : fallback;
}

bool names_file(const std::optional<std::string>& path) {
    struct stat status {};
    return path && !path->empty() && ::stat(path->c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// The CA file must be readable; anything else ends the start naming the key and the file.
void check_ca_file(const std::string& path) {
    struct stat status {};
    const char* cause = nullptr;
    if (::stat(path.c_str(), &status) != 0 || ::access(path.c_str(), R_OK) != 0) {
        cause = std::strerror(errno);
    } else if (!S_ISREG(status.st_mode)) {
        cause = "not a regular file";
    }
    if (cause != nullptr) {
        throw StartupError("\"public_cert\" " + printable(path) + ": " + cause);
    }
}

JsonPtr read_tree(const std::string& path) {
    std::string problem;
    JsonPtr tree = read_config_file(path, &problem);
    if (tree && !cJSON_IsObject(tree.get())) {
        problem = "no JSON object";
    } else if (tree) {
        return tree;
    }
    throw StartupError("configuration file " + printable(path) + ": " + problem);
}

BrokerSettings broker_settings(const ClientConfig& config) {
    BrokerSettings broker;
    const auto address = parse_broker_url(*config.broker_url);
    if (!address) {
        throw StartupError("\"broker_url\" names no host: " + printable(*config.broker_url));
    }
    if (config.broker_port < 1 || config.broker_port > kMaxPort) {
        throw StartupError("\"broker_port\" is not a port (1 to 65535)");
    }
    broker.host = address->host;
    broker.port = config.broker_port;
    // Without a scheme the port decides.
    broker.tls = address->tls.value_or(config.broker_port != kPlainPort);
    broker.username = *config.username;
    broker.password = *config.password;
    broker.client_id = *config.device_id;
    if (broker.tls) {
        broker.ca_file = *config.public_cert;
        check_ca_file(broker.ca_file);
        if (names_file(config.device_cert) && names_file(config.device_key)) {
            broker.cert_file = config.device_cert;
            broker.key_file = config.device_key;
        } else {
            log_info("\"device_cert\" and \"device_key\" name no files: no device certificate");
        }
    }
    return broker;
}

}  // namespace

Options parse_options(std::span<const char* const> args) {
    Options options;
    bool have_config = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string_view arg{args[i]};
        if (arg == "-h" || arg == "--help") {
            return Options{Action::Help, {}};
        }
        if (arg == "--version") {
            return Options{Action::Version, {}};
        }
        if (arg != "-config") {
            throw StartupError("unknown option " + printable(arg) + kUsageHint);
        }
        if (i + 1 >= args.size()) {
            throw StartupError(std::string{"option -config needs a file"} + kUsageHint);
        }
        options.config_path = args[++i];
        have_config = true;
    }
    if (!have_config) {
        throw StartupError(std::string{"option -config is required"} + kUsageHint);
    }
    return options;
}

std::string usage_text() {
    return "usage: lld-proxy -config <file>\n"
           "Bridges lld-client's local socket and the MQTT broker named in its configuration.\n"
           "  -config <file>  the client's JSON configuration file\n"
           "  -h, --help      this text\n"
           "  --version       the version\n"
           "Environment: LLD_DBG_LVL (log level: error, info, warn, debug),\n"
           "  LLD_PROXY_SOCKET and LLD_CLIENT_SOCKET (socket paths, for manual runs)\n";
}

std::string topic_prefix(std::string_view device_id) {
    return "CS/" + std::string{device_id} + "/LLD/";
}

std::optional<BrokerAddress> parse_broker_url(std::string_view url) {
    BrokerAddress address;
    for (const auto& [scheme, tls] : {std::pair{std::string_view{"mqtt://"}, false},
                                      std::pair{std::string_view{"mqtts://"}, true}}) {
        if (url.starts_with(scheme)) {
            url.remove_prefix(scheme.size());
            address.tls = tls;
            break;
        }
    }
    if (const auto slash = url.find('/'); slash != std::string_view::npos) {
        url = url.substr(0, slash);
    }
    if (url.size() > 2 && url.front() == '[' && url.back() == ']') {
        url = url.substr(1, url.size() - 2);  // an IPv6 address in brackets
    }
    if (url.empty() || url.find_first_of(" \t\r\n[]") != std::string_view::npos) {
        return std::nullopt;
    }
    address.host = url;
    return address;
}

ProxySettings load_settings(const std::string& config_path) {
    const JsonPtr tree = read_tree(config_path);
    const ClientConfig config = parse_client_config(tree.get());
    if (const auto problem = config.problem()) {
        throw StartupError("configuration file " + config_path + ": " + *problem);
    }
    if (config.device_id->empty() || config.device_id->find_first_of("+#") != std::string::npos) {
        throw StartupError("\"device_id\" can't name an MQTT topic: " +
                           printable(*config.device_id));
    }
    ProxySettings settings;
    settings.broker = broker_settings(config);
    settings.device_id = *config.device_id;
    settings.client_uid = static_cast<uid_t>(config.client_uid);
    settings.own_path = env_or("LLD_PROXY_SOCKET", kProxySocketPath);
    settings.client_path = env_or("LLD_CLIENT_SOCKET", kClientSocketPath);
    return settings;
}

}  // namespace lld::proxy
