// The probe's clock: timers on the monotonic clock that keep their own absolute
// deadline, so that each expiry moves it on by exactly one period however late
// it was handled.
#pragma once

#include <time.h>

#include <cstdint>

#include "common/fd.hpp"

namespace lld {

class ProbeTimer {
  public:
    explicit ProbeTimer(std::int64_t period_ms);

    int fd() const { return fd_.get(); }
    bool valid() const { return static_cast<bool>(fd_); }

    // A timer with a period fires at once, then every period.
    void start(const timespec& now);
    // True when the deadline has passed but the expiry was not handled yet.
    bool due() const;
    // Reads the expiry count; false when it was not 8 bytes.
    bool consume();
    void advance();

  private:
    void arm();

    UniqueFd fd_;
    std::int64_t period_ns_;
    std::int64_t deadline_ns_ = 0;
};

}  // namespace lld
