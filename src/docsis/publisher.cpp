#include "docsis/publisher.hpp"

#include <chrono>
#include <cstdlib>
#include <string>

#include "common/json.hpp"
#include "common/log.hpp"

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
    // The period counts as unsigned seconds. A publication in progress is always
    // finished before a stop is noticed, so a stop never leaves a child behind.
    while (!stop.wait_for(std::chrono::seconds{static_cast<std::uint32_t>(period_.load())})) {
        publish_once();
    }
}

void StatsPublisher::configure(const cJSON* config) {
    if (config == nullptr) {
        return;
    }
    if (const auto period = json_string_member(config, "refresh_period")) {
        period_.store(std::atoi(std::string{*period}.c_str()));
        log_debug("LLD: docsis_config refresh_period=%d ...", period_.load());
    }
    const auto command = json_string_member(config, "command");
    if (!command) {
        return;
    }
    const std::string text{*command};
    log_debug("LLD: docsis_config : refresh_period=%d, cmd=%s ", period_.load(), text.c_str());
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
