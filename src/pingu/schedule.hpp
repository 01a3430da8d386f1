// The probe's clock: periodic timers on the monotonic clock whose deadlines lie
// on one absolute grid, the start plus whole periods, however late an expiry is
// read. The kernel keeps the grid: no expiry is ever re-armed by hand.
#pragma once

#include <time.h>

#include <cstdint>

#include "common/fd.hpp"

namespace lld {

inline constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

// Now on the monotonic clock, in nanoseconds: the probe's send and receive times.
std::int64_t monotonic_ns();

class ProbeTimer {
  public:
    explicit ProbeTimer(std::int64_t period_ms);

    int fd() const { return fd_.get(); }
    bool valid() const { return static_cast<bool>(fd_); }

    // A timer with a period fires at `now`, then every period.
    void start(const timespec& now);
    // True when a deadline has passed whose expiry was not read yet.
    bool due() const;
    // Reads how many deadlines passed since the last read and moves the next
    // deadline past them; 0 when there was nothing to read.
    std::uint64_t consume();

  private:
    UniqueFd fd_;
    std::int64_t period_ns_;
    std::int64_t deadline_ns_ = 0;  // the next deadline whose expiry was not read
};

}  // namespace lld
