// The one owner: the configuration, the child runner, the proxy link and every
// subsystem, made in floor order (and so destroyed in reverse: each subsystem's
// threads stop before the link and the runner they use go).
#pragma once

#include <memory>
#include <span>

#include "app/config.hpp"
#include "app/dispatcher.hpp"
#include "app/options.hpp"
#include "app/shutdown.hpp"
#include "cloud/link.hpp"
#include "common/child.hpp"
#include "docsis/modem.hpp"
#include "docsis/publisher.hpp"
#include "docsis/stats_server.hpp"
#include "iptsetter/rule_setter.hpp"
#include "pingu/control.hpp"
#include "pingu/network.hpp"

namespace lld {

// Any start-up failure ends the process with this status.
inline constexpr int kStartupFailure = 255;

class Client {
  public:
    // Start-up in its fixed order, each failure logged; null when start-up failed.
    static std::unique_ptr<Client> start(const CommandLine& command, ShutdownSignals& signals);

    // `stats_addresses`: where srServer listens.
    Client(ClientConfig config, std::unique_ptr<ChildRunner> runner,
           std::unique_ptr<ProxyLink> link, RuleSetterSettings rules,
           const std::vector<std::string>& stats_addresses, ShutdownSignals& signals);
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Waits for the WAN service, registers, and serves the link until it closes
    // or a termination signal arrives. The process's exit status.
    int run();

  private:
    // The gateway as the probes and the range check see it: the modem's range,
    // asked at most once a message (a hung modem costs one time-out, not one a
    // request), and the rule setter's WAN side.
    class GatewayView final : public ProbeNetwork {
      public:
        GatewayView(Modem& modem, const RuleSetter& rules) : modem_{modem}, rules_{rules} {}
        void new_message() { range_.reset(); }
        PortRange classifier_range() override {
            if (!range_) {
                range_ = modem_.classifier_range();
            }
            return *range_;
        }
        bool up(Family family) const override { return rules_.up(family); }
        std::string wan_address(Family family) const override { return rules_.wan_address(family); }
        int dscp_value() const override { return rules_.dscp_value(); }

      private:
        Modem& modem_;
        const RuleSetter& rules_;
        std::optional<PortRange> range_;  // main thread only
    };

    // False when a termination signal ended the wait (the shutdown is done then).
    bool wait_and_register();
    // Sleeps up to `timeout_ms`; false when a termination signal arrived first.
    bool pause(int timeout_ms);
    void serve_link();
    void shut_down();
    void withdraw_rules();

    ShutdownSignals& signals_;
    const ClientConfig config_;
    const std::unique_ptr<ChildRunner> runner_;
    const std::unique_ptr<ProxyLink> link_;
    Modem modem_;
    RuleSetter rules_;
    GatewayView gateway_;
    StatsPublisher stats_;
    ProbeControl probes_;
    StatsServer stats_server_;
    Dispatcher dispatcher_;
};

}  // namespace lld
