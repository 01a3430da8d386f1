#include "pingu/control.hpp"

#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <memory>

#include "app/log.hpp"
#include "cloud/link.hpp"
#include "docsis/modem.hpp"
#include "pingu/probe.hpp"
#include "pingu/registry.hpp"

namespace lld {
namespace {

constexpr std::int32_t kDefaultInterval = 250;
constexpr std::int32_t kDefaultDuration = 10;
constexpr std::int32_t kClassicBasePort = 10100;
std::int32_t port_rotation = 0;  // main thread only

constexpr const char* kStateTexts[] = {"started", "completed", "rejected", "interrupted"};

std::optional<std::string_view> text_member(const cJSON* request, const char* name) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(request, name);
    if (!cJSON_IsString(item) || item->valuestring == nullptr || item->valuestring[0] == '\0') {
        return std::nullopt;
    }
    return std::string_view{item->valuestring};
}

std::optional<std::int32_t> number_member(const cJSON* request, const char* name) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(request, name);
    if (!cJSON_IsNumber(item)) {
        return std::nullopt;
    }
    return item->valueint;
}

// "%d-%d": each number stays 0 when the text does not supply it.
std::pair<int, int> scan_range(std::string_view text) {
    int low = 0;
    int high = 0;
    const char* end = text.data() + text.size();
    auto [after_low, low_error] = std::from_chars(text.data(), end, low);
    if (low_error == std::errc{} && after_low < end && *after_low == '-') {
        std::from_chars(after_low + 1, end, high);
    }
    return {low, high};
}

std::string_view kind_text(std::int32_t kind) {
    return kind == PINGU_USER ? "User Pingu" : "Monitor Pingu";
}

}  // namespace

std::optional<std::string> parse_pingu_members(const cJSON* request, std::int32_t kind,
                                               tPinguArgs& args) {
    args.kind = kind;
    if (kind == PINGU_MONITOR) {
        args.start = 1;
    } else {
        const auto command = text_member(request, "command");
        if (!command) {
            return "[ZEZ-UDERED] [ERR] command is missing in pingu config\n";
        }
        if (*command == "start") {
            args.start = 1;
        } else if (*command == "stop") {
            args.start = 0;
        } else {
            return "[ZEZ-UDERED] [ERR] command is incorrect in pingu config\n";
        }
    }
    if (kind == PINGU_USER) {
        args.name = kUserPinguName;
        if (args.start == 0) {
            return std::nullopt;
        }
    } else {
        const auto name = text_member(request, "name");
        if (!name) {
            return "[ZEZ-UDERED] [ERR] name is missing in pingu config\n";
        }
        args.name = std::string{name->substr(0, tPinguArgs::kNameMax)};
    }
    const auto url = text_member(request, "reflector_url");
    if (!url) {
        return "[ZEZ-UDERED] [ERR] reflector_url is missing in pingu config\n";
    }
    args.reflector_url = std::string{url->substr(0, tPinguArgs::kUrlMax)};
    const auto port = number_member(request, "reflector_port");
    if (!port) {
        return "[ZEZ-UDERED] [ERR] reflector_port is missing in pingu config\n";
    }
    args.reflector_port = *port;
    const auto refresh = number_member(request, "refresh_period");
    if (!refresh) {
        return "[ZEZ-UDERED] [ERR] reflector_period is missing in pingu config\n";
    }
    args.refresh_period = *refresh;
    args.interval = number_member(request, "interval").value_or(kDefaultInterval);
    args.duration =
        kind == PINGU_MONITOR ? 0 : number_member(request, "duration").value_or(kDefaultDuration);
    return std::nullopt;
}

std::optional<std::string> assign_probe_ports(std::string_view range_text, std::int32_t& rotation,
                                              tPinguArgs& args) {
    const auto [low, high] = scan_range(range_text);
    if (low > high) {
        return "[ZEZ-UDERED] [ERR] Invalid port range\n";
    }
    if (low == high) {
        rotation = low == 0 ? 1 : 0;
    } else {
        ++rotation;
        if (static_cast<std::int64_t>(low) + rotation > high) {
            rotation = 0;
        }
    }
    args.port_lld = low + rotation;
    args.port_classic = kClassicBasePort + rotation;
    return std::nullopt;
}

bool pingu_timing_valid(const tPinguArgs& args) {
    if (static_cast<std::int64_t>(args.interval) >
        static_cast<std::int64_t>(args.refresh_period) * 1000) {
        return false;
    }
    return args.kind != PINGU_USER || args.refresh_period < args.duration;
}

int pingu_config_parse(const cJSON* request, std::int32_t kind, tPinguArgs* args) {
    std::optional<std::string> refusal;
    if (request == nullptr || args == nullptr) {
        refusal = "";
    } else {
        refusal = parse_pingu_members(request, kind, *args);
        if (!refusal && args->start == 0) {
            pingu_args_print(*args);
            return 0;
        }
        if (!refusal) {
            std::array<char, 16> range{};
            if (lld_get_port_range(range) != 0) {
                lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] Failed to get port range\n");
            }
            refusal = assign_probe_ports(range.data(), port_rotation, *args);
        }
        if (!refusal && !pingu_timing_valid(*args)) {
            refusal =
                "[ZEZ-UDERED] [ERR] Improper values of interval, refresh_period and duration\n";
        }
    }
    if (!refusal) {
        pingu_args_print(*args);
        return 0;
    }
    if (!refusal->empty()) {
        lld_log(LLD_LOG_ERROR, "%s", refusal->c_str());
    }
    if (PINGU_ACTIVE_find(kUserPinguName)) {
        pingu_state_publish(PINGU_USER, PINGU_STATE_REJECTED);
    }
    return -1;
}

void pingu_args_print(const tPinguArgs& args) {
    const std::string kind{kind_text(args.kind)};
    if (args.start == 0) {
        lld_log(LLD_LOG_DEBUG,
                "[ZEZ-UDERED] [DBG] \t\t\n\nPINGU command ARGS:\n\t\t%-16s %s\n\t\t%-16s "
                "%s\n\t\t%-16s %s\n",
                "Type", kind.c_str(), "Type", "STOP", "Name", args.name.c_str());
        return;
    }
    lld_log(LLD_LOG_DEBUG,
            "[ZEZ-UDERED] [DBG] \t\t\n\nPINGU command ARGS:\n\t\t%-16s %s\n\t\t%-16s "
            "%s\n\t\t%-16s %s\n\t\t%-16s %s\n\t\t%-16s %d\n\t\t%-16s %d\n\t\t%-16s %d\n\t\t%-16s "
            "%d\n\t\t%-16s %d\n\t\t%-16s %d\n\n",
            "Type", kind.c_str(), "Type", "START", "Name", args.name.c_str(), "URL",
            args.reflector_url.c_str(), "Port", args.reflector_port, "Refresh-sec",
            args.refresh_period, "Interval-msec", args.interval, "Duration-sec", args.duration,
            "PortClassic", args.port_classic, "PortLLD", args.port_lld);
}

void PINGU_REQUEST(tPinguArgs args) {
    lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] PINGU_REQUEST looking for '%s'\n",
            args.name.c_str());
    const bool running = PINGU_ACTIVE_find(args.name).has_value();
    if (args.start != 0) {
        lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] PINGU_REQUEST to start\n");
        if (running) {
            lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] PINGU_REQUEST is already running\n");
            PINGU_STOP(args.name);
        }
        PINGU_START(std::move(args));
        return;
    }
    lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] PINGU_REQUEST to stop\n");
    if (running) {
        PINGU_STOP(args.name);
    } else {
        lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] PINGU_REQUEST is not running\n");
    }
}

int PINGU_START(tPinguArgs args) {
    lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] PINGU_START for '%s'\n", args.name.c_str());
    return start_probe_thread(std::move(args)) ? 0 : -1;
}

void PINGU_STOP(std::string_view name) {
    const std::string own{name};
    lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] PINGU_STOP for '%s'\n", own.c_str());
    const auto entry = PINGU_ACTIVE_find(own);
    const bool interrupts_user =
        own.find(kUserPinguName) != std::string::npos && PINGU_ACTIVE_find(kUserPinguName);
    if (entry && entry->stopper) {
        entry->stopper->request();
    }
    // The thread removes its entry once its sockets and timers are gone.
    while (!PINGU_ACTIVE_init().wait_gone(own, std::chrono::seconds{1})) {
    }
    // Published once the thread is gone, so that nothing it sent (its "started"
    // or a last report) can follow the "interrupted".
    if (interrupts_user) {
        pingu_state_publish(PINGU_USER, PINGU_STATE_INTERRUPTED);
    }
}

std::string pingu_state_payload(std::int32_t kind, int state) {
    const char* text = state >= 0 && state < 4 ? kStateTexts[state] : "";
    if (kind == PINGU_USER) {
        return std::string{"{\"user_pingu_state\":\""} + text + "\"}";
    }
    if (kind == PINGU_MONITOR) {
        return std::string{"{\"monitor_pingu_state\":\""} + text + "\"}";
    }
    return {};
}

int pingu_state_publish(std::int32_t kind, int state) {
    const std::string payload = pingu_state_payload(kind, state);
    lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] publishing pingu state = %s\n", payload.c_str());
    if (net_send_msg(net_get_link(), 2, TOPIC_STATUS, payload) != 0) {
        lld_log(LLD_LOG_DEBUG,
                "[ZEZ-UDERED] [DBG] LLD: Publish failed for pingu state response \n");
        return -1;
    }
    return 0;
}

}  // namespace lld
