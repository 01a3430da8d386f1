#include "pingu/schedule.hpp"

#include <sys/timerfd.h>
#include <unistd.h>

namespace lld {
namespace {

std::int64_t nanoseconds(const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * kNanosPerSecond + time.tv_nsec;
}

timespec timespec_of(std::int64_t ns) {
    return {static_cast<time_t>(ns / kNanosPerSecond), static_cast<long>(ns % kNanosPerSecond)};
}

}  // namespace

std::int64_t monotonic_ns() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return nanoseconds(now);
}

ProbeTimer::ProbeTimer(std::int64_t period_ms)
    : fd_{::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)},
      period_ns_{period_ms * 1'000'000} {}

void ProbeTimer::start(const timespec& now) {
    deadline_ns_ = nanoseconds(now);
    if (period_ns_ <= 0) {
        return;
    }
    // An absolute first expiry and an interval: the kernel moves each expiry on
    // from the previous deadline, never from the time it was read.
    itimerspec setting{};
    setting.it_value = timespec_of(deadline_ns_);
    setting.it_interval = timespec_of(period_ns_);
    ::timerfd_settime(fd_.get(), TFD_TIMER_ABSTIME, &setting, nullptr);
}

bool ProbeTimer::due() const {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return period_ns_ > 0 && nanoseconds(now) >= deadline_ns_;
}

std::uint64_t ProbeTimer::consume() {
    std::uint64_t count = 0;
    if (::read(fd_.get(), &count, sizeof count) != static_cast<ssize_t>(sizeof count)) {
        return 0;
    }
    deadline_ns_ += static_cast<std::int64_t>(count) * period_ns_;
    return count;
}

}  // namespace lld
