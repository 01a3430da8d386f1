#include "pingu/request.hpp"

#include "common/json.hpp"
#include "common/log.hpp"

namespace lld {
namespace {

constexpr std::int32_t kDefaultInterval = 250;
constexpr std::int32_t kDefaultDuration = 10;
constexpr std::int32_t kClassicBasePort = 10100;
constexpr std::int32_t kMaxPort = 65535;
constexpr std::int32_t kMaxSeconds = 24 * 60 * 60;

std::optional<std::string_view> text_member(const cJSON* request, const char* name) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(request, name);
    if (!cJSON_IsString(item) || item->valuestring == nullptr || item->valuestring[0] == '\0') {
        return std::nullopt;
    }
    return std::string_view{item->valuestring};
}

// A whole number within [low, high]; nullopt when the member is missing or no
// number, an error text when it is a number out of range or with a fraction.
struct Number {
    std::optional<std::int32_t> value;
    std::optional<std::string> refusal;
};

Number number_member(const cJSON* request, const char* name, std::int32_t low, std::int32_t high) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(request, name);
    if (!cJSON_IsNumber(item)) {
        return {};
    }
    const double value = item->valuedouble;
    if (!(value >= low && value <= high) || value != static_cast<double>(static_cast<int>(value))) {
        return {std::nullopt, std::string{name} + " is not a whole number from " +
                                  std::to_string(low) + " to " + std::to_string(high) +
                                  " in pingu config"};
    }
    return {static_cast<std::int32_t>(value), std::nullopt};
}

const char* kind_text(ProbeKind kind) {
    return kind == ProbeKind::User ? "User Pingu" : "Monitor Pingu";
}

}  // namespace

std::optional<std::string> parse_probe_members(const cJSON* request, ProbeKind kind,
                                               ProbeRequest& out) {
    out.kind = kind;
    if (kind == ProbeKind::Monitor) {
        out.start = true;
    } else {
        const auto command = text_member(request, "command");
        if (!command) {
            return "command is missing in pingu config";
        }
        if (*command != "start" && *command != "stop") {
            return "command is incorrect in pingu config";
        }
        out.start = *command == "start";
    }
    if (kind == ProbeKind::User) {
        out.name = kUserProbeName;
        if (!out.start) {
            return std::nullopt;
        }
    } else {
        const auto name = text_member(request, "name");
        if (!name) {
            return "name is missing in pingu config";
        }
        out.name = std::string{name->substr(0, ProbeRequest::kNameMax)};
    }
    const auto url = text_member(request, "reflector_url");
    if (!url) {
        return "reflector_url is missing in pingu config";
    }
    out.reflector_url = std::string{url->substr(0, ProbeRequest::kUrlMax)};
    const Number port = number_member(request, "reflector_port", 1, kMaxPort);
    if (!port.value) {
        return port.refusal.value_or("reflector_port is missing in pingu config");
    }
    out.reflector_port = *port.value;
    const Number refresh = number_member(request, "refresh_period", 1, kMaxSeconds);
    if (!refresh.value) {
        return refresh.refusal.value_or("reflector_period is missing in pingu config");
    }
    out.refresh_period = *refresh.value;
    const Number interval = number_member(request, "interval", 1, kMaxSeconds * 1000);
    if (interval.refusal) {
        return interval.refusal;
    }
    out.interval = interval.value.value_or(kDefaultInterval);
    out.duration = 0;
    if (kind == ProbeKind::User) {
        const Number duration = number_member(request, "duration", 1, kMaxSeconds);
        if (duration.refusal) {
            return duration.refusal;
        }
        out.duration = duration.value.value_or(kDefaultDuration);
    }
    return std::nullopt;
}

std::optional<std::string> assign_probe_ports(PortRange range, std::int32_t& rotation,
                                              ProbeRequest& request) {
    if (range.low > range.high) {
        return "Invalid port range";
    }
    if (range.low == range.high) {
        rotation = range.low == 0 ? 1 : 0;
    } else {
        ++rotation;
        if (static_cast<std::int64_t>(range.low) + rotation > range.high) {
            rotation = 0;
        }
    }
    request.port_lld = range.low + rotation;
    request.port_classic = kClassicBasePort + rotation;
    return std::nullopt;
}

bool probe_timing_valid(const ProbeRequest& request) {
    if (static_cast<std::int64_t>(request.interval) >
        static_cast<std::int64_t>(request.refresh_period) * 1000) {
        return false;
    }
    return request.kind != ProbeKind::User || request.refresh_period < request.duration;
}

void log_probe_request(const ProbeRequest& request) {
    const char* kind = kind_text(request.kind);
    const std::string name = printable(request.name);
    if (!request.start) {
        log_debug("\t\t\n\nPINGU command ARGS:\n\t\t%-16s %s\n\t\t%-16s %s\n\t\t%-16s %s", "Type",
                  kind, "Type", "STOP", "Name", name.c_str());
        return;
    }
    log_debug(
        "\t\t\n\nPINGU command ARGS:\n\t\t%-16s %s\n\t\t%-16s %s\n\t\t%-16s %s\n\t\t%-16s "
        "%s\n\t\t%-16s %d\n\t\t%-16s %d\n\t\t%-16s %d\n\t\t%-16s %d\n\t\t%-16s %d\n\t\t%-16s "
        "%d\n",
        "Type", kind, "Type", "START", "Name", name.c_str(), "URL",
        printable(request.reflector_url).c_str(), "Port", request.reflector_port, "Refresh-sec",
        request.refresh_period, "Interval-msec", request.interval, "Duration-sec", request.duration,
        "PortClassic", request.port_classic, "PortLLD", request.port_lld);
}

std::string probe_state_payload(ProbeKind kind, ProbeState state, std::string_view name) {
    constexpr const char* kStateTexts[] = {"started", "completed", "rejected", "interrupted"};
    const std::string text = kStateTexts[static_cast<int>(state)];
    if (kind == ProbeKind::User) {
        return "{\"user_pingu_state\":\"" + text + "\"}";
    }
    return "{\"monitor_pingu_state\":\"" + text + "\",\"name\":\"" + json_escape(name) + "\"}";
}

}  // namespace lld
