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
#include "docsis/publisher.hpp"
#include "iptsetter/rule_setter.hpp"
#include "pingu/control.hpp"
#include "pingu/network.hpp"

namespace lld {

class Dispatcher {
  public:
    struct Parts {
        const ClientConfig& config;
        Publisher& publisher;
        ProbeNetwork& gateway;  // the modem's range, asked at most once a message
        RuleSetter& rules;
        ProbeControl& probes;
        StatsPublisher& stats;
        std::string token_dir;
    };

    explicit Dispatcher(Parts parts) : parts_{std::move(parts)} {}

    // Serves one message (main thread). What goes to the rule setter's worker is
    // posted once the whole message is served, in the order of the members: the
    // status reports the message asks for directly come first, and the range
    // check's report follows once its rules are in place.
    void dispatch(std::optional<std::string_view> payload);

  private:
    void handle_lld_config(const cJSON* value);
    void handle_user_game_config(const cJSON* value);
    void handle_user_pingu(const cJSON* value);
    void handle_pingu_monitor_config(const cJSON* value);
    int handle_gui_token(const cJSON* message);
    int handle_event(const cJSON* message);

    // What goes to the rule setter once the message is served: the range check's
    // text and report, then the NAT command array.
    struct RangeCheck {
        std::string cloud_range;
        std::string report;
    };

    Parts parts_;
    std::optional<RangeCheck> range_check_;
    JsonPtr nat_array_;
};

}  // namespace lld
