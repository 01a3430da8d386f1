#include "app/dispatcher.hpp"

#include "app/status.hpp"
#include "app/token.hpp"
#include "common/json.hpp"
#include "common/log.hpp"

namespace lld {
namespace {

// The dispatcher matches member names exactly, letter case included.
const cJSON* member(const cJSON* object, const char* name) {
    return cJSON_GetObjectItemCaseSensitive(object, name);
}

}  // namespace

void Dispatcher::handle_lld_config(const cJSON* value) {
    const cJSON* range = value != nullptr ? member(value, "port_range") : nullptr;
    // A range that is not a text is no range at all.
    if (!cJSON_IsString(range) || range->valuestring == nullptr) {
        return;
    }
    const std::string cloud_range{range->valuestring};
    const std::string docsis_range = parts_.gateway.classifier_range().text();
    range_check_ = RangeCheck{cloud_range, cloud_range == docsis_range
                                               ? format_running_report()
                                               : format_error_report(docsis_range, cloud_range)};
}

void Dispatcher::handle_user_game_config(const cJSON* value) {
    if (value != nullptr) {
        // The worker owns the copy once it is posted; a full queue frees it at once.
        nat_array_.reset(cJSON_Duplicate(value, true));
    }
}

void Dispatcher::handle_user_pingu(const cJSON* value) {
    log_debug("message_recv PINGU_USER");
    if (auto request = parts_.probes.parse(value, ProbeKind::User)) {
        parts_.probes.request(std::move(*request));
    } else {
        log_debug("message_recv PINGU_USER processing Failed");
    }
}

void Dispatcher::handle_pingu_monitor_config(const cJSON* value) {
    int count = 0;
    if (value != nullptr) {
        count = cJSON_IsArray(value) ? cJSON_GetArraySize(value) : 1;
    }
    log_debug("message_recv PINGU_MONITOR %d count", count);
    for (int position = 0; position < count; ++position) {
        const cJSON* element = cJSON_IsArray(value) ? cJSON_GetArrayItem(value, position) : value;
        if (element == nullptr) {
            continue;
        }
        log_debug("message_recv PINGU_MONITOR %d processing", position + 1);
        if (auto request = parts_.probes.parse(element, ProbeKind::Monitor)) {
            parts_.probes.request(std::move(*request));
        } else {
            log_debug("message_recv PINGU_MONITOR processing Failed");
        }
    }
}

int Dispatcher::handle_gui_token(const cJSON* message) {
    const auto token = json_string_member(message, "gui_token");
    if (!token) {
        log_error("No token found!!");
        return -1;
    }
    return store_gui_token(parts_.token_dir, *token);
}

int Dispatcher::handle_event(const cJSON* message) {
    const auto event = json_string_member(message, "event");
    if (!event) {
        log_error("No event found!!");
        return -1;
    }
    if (event->find("send_status") == std::string_view::npos) {
        return -1;
    }
    publish_ready_report(parts_.publisher, parts_.config);
    return 0;
}

void Dispatcher::dispatch(std::optional<std::string_view> payload) {
    range_check_.reset();
    nat_array_.reset();
    const JsonPtr message = payload ? json_parse(*payload) : nullptr;
    if (!message) {
        log_error("Error json msg");
        return;
    }
    log_debug("===userMsgProcess->: %s ", printable(redact_secrets(*payload)).c_str());

    const cJSON* root = message.get();
    if (const cJSON* value = member(root, "lld_config")) {
        handle_lld_config(value);
    }
    if (const cJSON* value = member(root, "user_game_config")) {
        handle_user_game_config(value);
    }
    if (const cJSON* value = member(root, "user_pingu")) {
        handle_user_pingu(value);
    }
    handle_pingu_monitor_config(member(root, "pingu_monitor_config"));
    if (const cJSON* value = member(root, "docsis_config")) {
        log_debug("LLD: processing docsis_config...");
        parts_.stats.configure(value);
    }
    if (member(root, "gui_token") != nullptr) {
        log_debug("message_recv Auth Token");
        if (handle_gui_token(root) != 0) {
            log_debug("message_recv Token processing Failed");
        }
    }
    if (member(root, "event") != nullptr) {
        log_debug("message_recv go event request");
        if (handle_event(root) != 0) {
            log_debug("message_recv event processing Failed");
        }
    }
    if (range_check_) {
        parts_.rules.post_port_range(
            range_check_->cloud_range,
            [&publisher = parts_.publisher, report = std::move(range_check_->report)] {
                publisher.publish(Topic::Status, report);
            });
    }
    if (nat_array_) {
        parts_.rules.post(std::move(nat_array_));
    }
}

}  // namespace lld
