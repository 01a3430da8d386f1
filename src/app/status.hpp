// The client's status reports: JSON objects with the key "lld_status",
// published on the status topic.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lld {

enum StatusWord : int {
    STATUS_READY_TO_GO = 0,
    STATUS_RUNNING = 1,
    STATUS_RUNNING_WITH_ERROR = 2,
    STATUS_SHUTTING_DOWN = 3,
};

// The word as a JSON string, quotes included.
std::string_view status_word(StatusWord word);

// The report left by a handler for the main loop to publish (main thread only).
struct StatusSlot {
    static constexpr std::size_t kCapacity = 1024;  // the report text stays below this
    std::string lld_status_buf;
    bool lld_status_pending = false;
};
StatusSlot& lld_status();

// {"lld_status":"ready_to_go","hadp":"<sealed>","version":"1.0.0"}; without a
// sealed text the "hadp" member is left out so the report stays complete JSON.
std::string format_ready_report(const std::optional<std::string>& sealed_password);
std::string format_running_report();
// The mismatch report; the cloud's range is JSON-escaped and cut so that the
// whole report stays below StatusSlot::kCapacity characters.
std::string format_error_report(std::string_view docsis_range, std::string_view cloud_range);
std::string format_shutdown_report();

// Seals the configured password and publishes the ready report; 0 once published.
int lld_send_ready_status();

}  // namespace lld
