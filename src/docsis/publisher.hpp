// The periodic publisher of the low-latency flow's statistics, started and
// stopped by the cloud's "docsis_config" messages.
#pragma once

#include <cjson/cJSON.h>

#include <atomic>
#include <cstdint>

#include "common/publisher.hpp"
#include "common/worker.hpp"
#include "docsis/modem.hpp"

namespace lld {

class StatsPublisher {
  public:
    static constexpr std::int32_t kDefaultPeriod = 300;
    static constexpr std::int32_t kMaxPeriod = 24 * 60 * 60;

    StatsPublisher(Modem& modem, Publisher& publisher) : modem_{modem}, publisher_{publisher} {}

    // The "docsis_config" handler (main thread): a "refresh_period" text of whole
    // seconds, 1 to a day, sets the time between publications (any other text is
    // refused and the period stays); a command starting with "start" starts the
    // thread (the first publication a period later), any other command stops it.
    void configure(const cJSON* config);
    // One publication of the statistics on the metrics topic.
    void publish_once();
    bool running() const { return worker_.running(); }
    void stop() { worker_.stop(); }
    std::int32_t period() const { return period_.load(); }

  private:
    void run(const StopSignal& stop);

    Modem& modem_;
    Publisher& publisher_;
    std::atomic<std::int32_t> period_{kDefaultPeriod};  // read afresh before each pause
    Worker worker_;                                     // last: stopped before the rest goes
};

}  // namespace lld
