// Probe requests from the cloud: parsing and checking them, assigning the local
// ports that move through the classifier's range, starting, restarting and
// stopping probe threads, and the user probe's state messages.
#pragma once

#include <cjson/cJSON.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lld {

enum PinguKind : std::int32_t { PINGU_USER = 0, PINGU_MONITOR = 1 };

enum PinguState : int {
    PINGU_STATE_STARTED = 0,
    PINGU_STATE_COMPLETED = 1,
    PINGU_STATE_REJECTED = 2,
    PINGU_STATE_INTERRUPTED = 3,
};

inline constexpr const char* kUserPinguName = "user_pingu";

struct tPinguArgs {
    static constexpr std::size_t kUrlMax = 255;
    static constexpr std::size_t kNameMax = 31;
    std::string reflector_url;
    std::int32_t reflector_port = 0;
    std::int32_t port_classic = 0;
    std::int32_t port_lld = 0;        // 0: no low-latency socket
    std::int32_t duration = 0;        // seconds; 0 for a monitor probe
    std::int32_t interval = 0;        // milliseconds
    std::int32_t refresh_period = 0;  // seconds
    std::int32_t kind = PINGU_USER;
    std::string name;
    std::uint8_t start = 0;
};

// The members of a request, checked; the error line when it is refused. Leaves
// the port fields alone.
std::optional<std::string> parse_pingu_members(const cJSON* request, std::int32_t kind,
                                               tPinguArgs& args);

// Moves `rotation` on through the classifier's range text ("%d-%d") and sets
// both local ports; the error line when the range is inverted.
std::optional<std::string> assign_probe_ports(std::string_view range_text, std::int32_t& rotation,
                                              tPinguArgs& args);

// The timing rule: interval within the refresh period, and a user probe's
// refresh period below its duration.
bool pingu_timing_valid(const tPinguArgs& args);

int pingu_config_parse(const cJSON* request, std::int32_t kind, tPinguArgs* args);
void PINGU_REQUEST(tPinguArgs args);
int PINGU_START(tPinguArgs args);
void PINGU_STOP(std::string_view name);
int pingu_state_publish(std::int32_t kind, int state);
std::string pingu_state_payload(std::int32_t kind, int state);
void pingu_args_print(const tPinguArgs& args);

}  // namespace lld
