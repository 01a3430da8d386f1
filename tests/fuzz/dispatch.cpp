// A proxy datagram as the client reads it: the datagram, its payload, and the parse
// each member of a cloud message reaches (nothing that starts a thread or a child).
#include "app/status.hpp"
#include "cloud/link.hpp"
#include "fuzz.hpp"
#include "pingu/request.hpp"

namespace lld::fuzz {
namespace {

// A probe request as ProbeControl checks it, its ports taken from the range.
void serve_probe(const cJSON* json, ProbeKind kind, PortRange range, std::int32_t& rotation) {
    ProbeRequest request;
    if (json != nullptr && !parse_probe_members(json, kind, request) && request.start &&
        !assign_probe_ports(range, rotation, request) && probe_timing_valid(request)) {
        check(range.low == range.high ||
              (request.port_lld >= range.low && request.port_lld <= range.high));
    }
}

}  // namespace

void run(std::span<const std::uint8_t> /*input*/, std::string_view text) {
    const auto datagram = parse_datagram(text);
    const std::string payload = datagram ? datagram->payload.value_or("") : "";
    const JsonPtr message = json_parse(payload);
    const auto member = [&message](const char* name) {
        return cJSON_GetObjectItemCaseSensitive(message.get(), name);
    };
    // The payload's debug line shows a secret member's value as stars.
    const JsonPtr shown = json_parse(redact_secrets(payload));
    for (const char* secret : {"password", "hadp", "gui_token"}) {
        check(!cJSON_GetObjectItem(message.get(), secret) ||
              json_string_member(shown.get(), secret) == "********");
    }
    // The range's mismatch report stays whole JSON; a range taken reads back the
    // same and leaves ordinary traffic a side of its own.
    const char* cloud_range =
        cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(member("lld_config"), "port_range"));
    const auto range = PortRange::parse(cloud_range != nullptr ? cloud_range : "");
    const auto classic = range ? classic_port_range(*range) : std::nullopt;
    check(!cloud_range || json_parse(format_error_report("5000-5010", cloud_range)));
    check(!range || (PortRange::parse(range->text()) == range &&
                     (!classic || classic->high < range->low || classic->low > range->high)));
    const cJSON* nat = member("user_game_config");
    const cJSON* element = nullptr;
    cJSON_ArrayForEach(element, (cJSON_IsArray(nat) ? nat : nullptr)) {
        serve_nat_element(element);
    }
    const PortRange taken = range.value_or(PortRange{});
    std::int32_t rotation = 0;
    serve_probe(member("user_pingu"), ProbeKind::User, taken, rotation);
    const cJSON* monitors = member("pingu_monitor_config");
    cJSON_ArrayForEach(element, (cJSON_IsArray(monitors) ? monitors : nullptr)) {
        serve_probe(element, ProbeKind::Monitor, taken, rotation);
    }
    serve_probe(cJSON_IsArray(monitors) ? nullptr : monitors, ProbeKind::Monitor, taken, rotation);
    json_string_member(member("docsis_config"), "refresh_period");
    json_string_member(member("docsis_config"), "command");
    json_string_member(message.get(), "gui_token");
    json_string_member(message.get(), "event");
}

}  // namespace lld::fuzz
