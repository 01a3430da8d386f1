// The client's status reports: JSON objects with the key "lld_status",
// published on the status topic.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "app/config.hpp"
#include "common/publisher.hpp"

namespace lld {

// The reports stay below this many characters.
inline constexpr std::size_t kStatusCapacity = 1024;

// {"lld_status":"ready_to_go","hadp":"<sealed>","version":"1.0.0"}; without a
// sealed text the "hadp" member is left out so the report stays complete JSON.
std::string format_ready_report(const std::optional<std::string>& sealed_password);
std::string format_running_report();
// The mismatch report; the cloud's range is JSON-escaped and cut so that the
// whole report stays below kStatusCapacity characters.
std::string format_error_report(std::string_view docsis_range, std::string_view cloud_range);
std::string format_shutdown_report();

// Seals the configured password and publishes the ready report.
void publish_ready_report(Publisher& publisher, const ClientConfig& config);

}  // namespace lld
