// The periodic publisher of the low-latency flow's statistics, started and
// stopped by the cloud's "docsis_config" messages.
#pragma once

#include <cjson/cJSON.h>

#include <atomic>
#include <cstdint>

namespace lld {

inline constexpr std::int32_t kDefaultDocsisRefreshPeriod = 300;

// Seconds between publications; the publisher reads it afresh before each pause.
extern std::atomic<std::int32_t> docsis_refresh_period;

// Start-up: the default period and no publisher.
void docsis_publisher_init();
// The "docsis_config" handler (main thread).
void docsis_config_process(const cJSON* config);
// One publication of the statistics on the metrics topic.
void docsis_stats_publish();
// Stops a running publisher (also at an orderly exit).
void docsis_publisher_stop();
bool docsis_publisher_running();

}  // namespace lld
