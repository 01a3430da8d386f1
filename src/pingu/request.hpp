// Probe requests from the cloud: parsing and checking them, and the local ports
// that move through the classifier's range from one probe to the next.
#pragma once

#include <cjson/cJSON.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/types.hpp"

namespace lld {

enum class ProbeKind : std::int32_t { User = 0, Monitor = 1 };
enum class ProbeState { Started, Completed, Rejected, Interrupted };

inline constexpr std::string_view kUserProbeName = "user_pingu";

struct ProbeRequest {
    static constexpr std::size_t kUrlMax = 255;
    static constexpr std::size_t kNameMax = 31;
    std::string reflector_url;
    std::int32_t reflector_port = 0;
    std::int32_t port_classic = 0;
    std::int32_t port_lld = 0;        // 0: no low-latency socket
    std::int32_t duration = 0;        // seconds; 0 for a monitor probe
    std::int32_t interval = 0;        // milliseconds
    std::int32_t refresh_period = 0;  // seconds
    ProbeKind kind = ProbeKind::User;
    std::string name;
    bool start = false;
};

// The members of a request, checked (names matched exactly); the reason when it
// is refused. Numbers must be whole: the reflector port 1-65535, the refresh
// period and the duration 1 s to a day, the interval 1 ms to a day. Leaves the
// port fields alone.
std::optional<std::string> parse_probe_members(const cJSON* request, ProbeKind kind,
                                               ProbeRequest& out);

// Moves `rotation` on through the classifier's range and sets both local ports;
// the reason when the range is inverted.
std::optional<std::string> assign_probe_ports(PortRange range, std::int32_t& rotation,
                                              ProbeRequest& request);

// The timing rule: interval within the refresh period, and a user probe's
// refresh period below its duration.
bool probe_timing_valid(const ProbeRequest& request);

void log_probe_request(const ProbeRequest& request);

// {"user_pingu_state":"<state>"}, or {"monitor_pingu_state":"<state>","name":"<name>"}
// (the name JSON-escaped).
std::string probe_state_payload(ProbeKind kind, ProbeState state, std::string_view name = {});

}  // namespace lld
