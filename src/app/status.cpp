#include "app/status.hpp"

#include "app/config.hpp"
#include "cloud/link.hpp"
#include "cloud/seal.hpp"
#include "common/json.hpp"

namespace lld {
namespace {

constexpr std::string_view kStatusWords[] = {"\"ready_to_go\"", "\"running\"",
                                             "\"running_with_error\"", "\"shutting_down\""};

const char* text_or_null(const std::optional<std::string>& text) {
    return text ? text->c_str() : nullptr;
}

}  // namespace

std::string_view status_word(StatusWord word) {
    return kStatusWords[word];
}

StatusSlot& lld_status() {
    static StatusSlot slot;
    return slot;
}

std::string format_ready_report(const std::optional<std::string>& sealed_password) {
    std::string report = "{\"lld_status\":";
    report += status_word(STATUS_READY_TO_GO);
    report += ',';
    if (sealed_password) {
        report += "\"hadp\":\"" + *sealed_password + "\",";
    }
    report += "\"version\":\"";
    report += kClientVersion;
    report += "\"}";
    return report;
}

std::string format_running_report() {
    return "{\"lld_status\":" + std::string{status_word(STATUS_RUNNING)} + "}";
}

std::string format_error_report(std::string_view docsis_range, std::string_view cloud_range) {
    std::string head = "{\"lld_status\":" + std::string{status_word(STATUS_RUNNING_WITH_ERROR)} +
                       ",\"lld_error\":{\"port_range_mismatch\":\"Source NAT port mis-match "
                       "between DOCSIS classifier (";
    head += json_escape(docsis_range);
    head += ") and Cloud configuration (";
    constexpr std::string_view kTail = ")\"}}";
    const std::size_t room = StatusSlot::kCapacity - 1 - head.size() - kTail.size();
    head += json_escape_bounded(cloud_range, room);
    head += kTail;
    return head;
}

std::string format_shutdown_report() {
    return "{\"lld_status\":" + std::string{status_word(STATUS_SHUTTING_DOWN)} + "}";
}

int lld_send_ready_status() {
    const client_config& config = process_config();
    const auto sealed = haa_encrypt_cloud_message(
        text_or_null(config.ha_IV), text_or_null(config.password), text_or_null(config.device_id));
    net_send_msg(net_get_link(), 2, TOPIC_STATUS, format_ready_report(sealed));
    return 0;
}

}  // namespace lld
