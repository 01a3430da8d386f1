#include "app/status.hpp"

#include "cloud/seal.hpp"
#include "common/json.hpp"
#include "common/log.hpp"

namespace lld {

std::string format_ready_report(const std::optional<std::string>& sealed_password) {
    std::string report = "{\"lld_status\":\"ready_to_go\",";
    if (sealed_password) {
        report += "\"hadp\":\"" + *sealed_password + "\",";
    }
    report += "\"version\":\"";
    report += kClientVersion;
    report += "\"}";
    return report;
}

std::string format_running_report() {
    return "{\"lld_status\":\"running\"}";
}

std::string format_error_report(std::string_view docsis_range, std::string_view cloud_range) {
    std::string report =
        "{\"lld_status\":\"running_with_error\",\"lld_error\":{\"port_range_mismatch\":\"Source "
        "NAT port mis-match between DOCSIS classifier (";
    report += json_escape(docsis_range);
    report += ") and Cloud configuration (";
    constexpr std::string_view kTail = ")\"}}";
    const std::size_t room = kStatusCapacity - 1 - report.size() - kTail.size();
    report += json_escape_bounded(cloud_range, room);
    report += kTail;
    return report;
}

std::string format_shutdown_report() {
    return "{\"lld_status\":\"shutting_down\"}";
}

void publish_ready_report(Publisher& publisher, const ClientConfig& config) {
    std::optional<std::string> sealed;
    if (config.ha_iv && config.password && config.device_id) {
        sealed = seal_text(*config.password, *config.device_id, *config.ha_iv);
    } else {
        log_debug("haa_encrypt_cloud_message: Incorrect parameter (no ha_IV)");
    }
    publisher.publish(Topic::Status, format_ready_report(sealed));
}

}  // namespace lld
