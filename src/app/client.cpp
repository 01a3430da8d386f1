#include "app/client.hpp"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <system_error>
#include <thread>

#include "app/status.hpp"
#include "app/token.hpp"
#include "common/log.hpp"
#include "device/mac.hpp"

namespace lld {
namespace {

constexpr int kWanServiceTries = 20;
constexpr int kWanServicePauseMs = 5000;
constexpr int kLoopTimeoutMs = 10000;
constexpr std::chrono::milliseconds kWithdrawTimeout{3000};

// Where srServer listens: the loopback, and the LAN's IPv4 address when it has one.
std::vector<std::string> stats_addresses(const RuleSetterSettings& rules) {
    std::vector<std::string> addresses{"127.0.0.1"};
    const std::string& lan = rules.addresses.lan_ipv4;
    if (!lan.empty()) {
        addresses.push_back(lan.substr(0, lan.find('/')));
    }
    return addresses;
}

// The start-up failure's one line on standard error, whatever the log level.
std::unique_ptr<Client> startup_failure(std::string_view cause) {
    std::fprintf(stderr, "lld-client: %s\n", printable(cause).c_str());
    return nullptr;
}

}  // namespace

std::unique_ptr<Client> Client::start(const CommandLine& command, ShutdownSignals& signals) {
    log_info("%s%s", kBanner, kClientVersion);
    if (const auto* error = std::get_if<UsageError>(&command)) {
        log_error("%s", error->log_line.c_str());
        return startup_failure(error->cause);
    }
    const auto& options = std::get<Options>(command);
    log_debug("Configuration file: %s", options.config_path.c_str());
    std::string unreadable;
    const JsonPtr tree = read_config_file(options.config_path, &unreadable);
    if (!tree) {
        log_error("Cannot read the configuration file %s", options.config_path.c_str());
        return startup_failure("configuration file " + options.config_path + ": " + unreadable);
    }
    ClientConfig config = parse_client_config(tree.get());
    if (const auto problem = config.problem()) {
        log_error("Configuration file %s: %s", options.config_path.c_str(), problem->c_str());
        log_error("Incorrect configuration file %s", options.config_path.c_str());
        return startup_failure("configuration file " + options.config_path + ": " + *problem);
    }

    // Children end at their time-out, and at once when a termination signal comes.
    auto runner = std::make_unique<ProcessRunner>(config.child_timeout, signals.fd(),
                                                  ShutdownSignals::caught());
    if (!modem_mac(*runner) && !interface_mac(options.wan_if)) {
        log_error("Unable to retrieve WAN interface MAC address");
        return startup_failure("no MAC address: neither the modem's (atom_util) nor -ifw " +
                               options.wan_if + "'s");
    }
    auto link = ProxyLink::open(config.device_id.value_or(""), config.proxy_uid);
    if (!link) {
        log_error("Cannot open the proxy link at %s", kClientSocketPath);
        return startup_failure(std::string{"cannot open the client socket "} + kClientSocketPath);
    }
    log_debug("IP Mode Config = %s(%d) ",
              config.device_mode ? config.device_mode->c_str() : "(null)",
              static_cast<int>(config.ip_mode()));
    auto rules = discover_rule_settings(options.lan_if, options.wan_if, options.nv_dir,
                                        options.rules_file, config.ip_mode(), *runner);
    if (!rules) {
        log_error("failed iptSetterInit");
        return startup_failure("-ifl " + options.lan_if + " and -ifw " + options.wan_if +
                               ": no address family with addresses on both");
    }
    std::unique_ptr<Client> client;
    try {
        const auto addresses = stats_addresses(*rules);
        client = std::make_unique<Client>(std::move(config), std::move(runner), std::move(link),
                                          std::move(*rules), addresses, signals);
    } catch (const std::system_error& failure) {
        log_error("Cannot start the NAT worker: %s", failure.what());
        log_error("failed iptSetterInit");
        return startup_failure(std::string{"cannot start the NAT worker: "} + failure.what());
    }
    // The proxy holds the broker connection; the password is never logged.
    log_debug("Connected to %s:%d with username:password = %s:%s",
              client->config_.broker_url->c_str(), client->config_.broker_port,
              client->config_.username->c_str(), "********");
    return client;
}

Client::Client(ClientConfig config, std::unique_ptr<ChildRunner> runner,
               std::unique_ptr<ProxyLink> link, RuleSetterSettings rules,
               const std::vector<std::string>& stats_addresses, ShutdownSignals& signals)
    : signals_{signals},
      config_{std::move(config)},
      runner_{std::move(runner)},
      link_{std::move(link)},
      modem_{*runner_},
      rules_{std::move(rules), *runner_},
      gateway_{modem_, rules_},
      stats_{modem_, *link_},
      probes_{gateway_, *link_},
      stats_server_{modem_, stats_addresses},
      dispatcher_{
          Dispatcher::Parts{config_, *link_, gateway_, rules_, probes_, stats_, kTokenDir}} {}

int Client::run() {
    if (!wait_and_register()) {
        return 0;
    }
    for (;;) {
        // A failed send closes the link: that ends the loop as a wait on a closed
        // descriptor would.
        if (link_->closed()) {
            log_error("select error");
            withdraw_rules();
            return 0;
        }
        constexpr std::size_t kLink = 0;
        constexpr std::size_t kSignals = 1;
        pollfd watched[] = {{link_->fd(), POLLIN, 0}, {signals_.fd(), POLLIN, 0}};
        const int ready = ::poll(watched, 2, kLoopTimeoutMs);
        if (ready < 0) {
            if (errno != EINTR) {
                log_error("select error");
                std::this_thread::sleep_for(std::chrono::seconds{1});
            }
            continue;
        }
        if ((watched[kSignals].revents & POLLIN) != 0) {
            shut_down();
            return 0;
        }
        if ((watched[kLink].revents & POLLIN) != 0) {
            serve_link();
        }
    }
}

bool Client::wait_and_register() {
    for (int attempt = 0; attempt < kWanServiceTries; ++attempt) {
        if (modem_.wan_service_status()) {
            publish_ready_report(*link_, config_);
            return true;
        }
        if (!pause(kWanServicePauseMs)) {
            shut_down();
            return false;
        }
    }
    return true;
}

bool Client::pause(int timeout_ms) {
    using Clock = std::chrono::steady_clock;
    pollfd watch{signals_.fd(), POLLIN, 0};
    const auto deadline = Clock::now() + std::chrono::milliseconds{timeout_ms};
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return true;
        }
        if (::poll(&watch, 1, static_cast<int>(left.count())) > 0) {
            return false;
        }
    }
}

void Client::serve_link() {
    const auto datagram = link_->receive();
    if (!datagram) {
        return;
    }
    std::optional<std::string_view> payload;
    if (datagram->payload) {
        payload = *datagram->payload;
    }
    gateway_.new_message();
    dispatcher_.dispatch(payload);
}

void Client::shut_down() {
    log_debug("LLD Process is going down");
    // Whatever publishes stops first, so that "shutting_down" is the last word and
    // nothing a stopped probe sent follows its "interrupted".
    const bool user_probe_running = probes_.running(kUserProbeName);
    probes_.stop_all();
    stats_.stop();
    withdraw_rules();
    if (user_probe_running) {
        probes_.publish_state(ProbeKind::User, ProbeState::Interrupted);
    }
    link_->publish(Topic::Status, format_shutdown_report());
}

void Client::withdraw_rules() {
    // The rules go with the client; their deletes outlive the signal that aborts
    // every other child, within a short time-out of their own.
    ProcessRunner runner{std::min(config_.child_timeout, kWithdrawTimeout), -1,
                         ShutdownSignals::caught()};
    rules_.withdraw(runner);
}

}  // namespace lld
