#include "docsis/publisher.hpp"

#include <chrono>
#include <string>

#include "common/json.hpp"
#include "common/log.hpp"
#include "common/types.hpp"

namespace lld {

void StatsPublisher::publish_once() {
    const auto stats = modem_.low_latency_stats();
    if (!stats) {
        log_debug("LLD: Publish failed for docsis_config response ");
        return;
    }
    log_debug("publishing docsis_config stats = %s ", stats->c_str());
    publisher_.publish(Topic::Metrics, *stats);
}

void StatsPublisher::run(const StopSignal& stop) {
    // A publication in progress is always finished before a stop is noticed, so a
    // stop never leaves a child behind.
    while (!stop.wait_for(std::chrono::seconds{period_.load()})) {
        publish_once();
    }
}

void StatsPublisher::configure(const cJSON* config) {
    if (config == nullptr) {
        return;
    }
    if (const auto text = json_string_member(config, "refresh_period")) {
        if (const auto period = parse_decimal(*text, 1, kMaxPeriod)) {
            period_.store(*period);
            log_debug("LLD: docsis_config refresh_period=%d ...", period_.load());
        } else {
            log_error(
                "LLD: docsis_config refresh_period \"%s\" refused: not a whole number of "
                "seconds from 1 to %d; it stays %d",
                json_escape(*text).c_str(), kMaxPeriod, period_.load());
        }
    }
    const auto command = json_string_member(config, "command");
    if (!command) {
        return;
    }
    const std::string text{*command};
    log_debug("LLD: docsis_config : refresh_period=%d, cmd=%s ", period_.load(),
              printable(text).c_str());
    if (text.starts_with("start")) {
        if (worker_.running()) {
            log_debug("LLD docsis_config START received thread is active.");
            return;
        }
        log_debug("LLD docsis_config START received thread is not active.");
        worker_ = Worker{[this](const StopSignal& stop) { run(stop); }};
        return;
    }
    worker_.stop();
    log_debug("LLD docsis_config STOP received.");
}

}  // namespace lld
