// The dispatcher of cloud messages, the one place that knows every subsystem:
// each datagram's payload is a JSON object whose members name the message
// kinds, served in a fixed order.
#pragma once

#include <cjson/cJSON.h>

#include <optional>
#include <string>
#include <string_view>

#include "app/config.hpp"
#include "common/publisher.hpp"
#include "docsis/modem.hpp"
#include "docsis/publisher.hpp"
#include "iptsetter/rule_setter.hpp"
#include "pingu/control.hpp"

namespace lld {

class Dispatcher {
  public:
    struct Parts {
        const ClientConfig& config;
        Publisher& publisher;
        Modem& modem;
        RuleSetter& rules;
        ProbeControl& probes;
        StatsPublisher& stats;
        std::string token_dir;
    };

    explicit Dispatcher(Parts parts) : parts_{std::move(parts)} {}

    // Serves one message (main thread). Returns the status report a handler left
    // for the main loop to publish once the whole message is served.
    std::optional<std::string> dispatch(std::optional<std::string_view> payload);

  private:
    void handle_lld_config(const cJSON* value);
    void handle_user_game_config(const cJSON* value);
    void handle_user_pingu(const cJSON* value);
    void handle_pingu_monitor_config(const cJSON* value);
    int handle_gui_token(const cJSON* message);
    int handle_event(const cJSON* message);

    Parts parts_;
    std::optional<std::string> pending_status_;
};

}  // namespace lld
