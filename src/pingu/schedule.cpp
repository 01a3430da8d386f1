#include "pingu/schedule.hpp"

#include <sys/timerfd.h>
#include <unistd.h>

namespace lld {
namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

std::int64_t nanoseconds(const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * kNanosPerSecond + time.tv_nsec;
}

}  // namespace

ProbeTimer::ProbeTimer(std::int64_t period_ms)
    : fd_{::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)},
      period_ns_{period_ms * 1'000'000} {}

void ProbeTimer::start(const timespec& now) {
    deadline_ns_ = nanoseconds(now);
    if (period_ns_ > 0) {
        arm();
    }
}

bool ProbeTimer::due() const {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return period_ns_ > 0 && nanoseconds(now) >= deadline_ns_;
}

bool ProbeTimer::consume() {
    std::uint64_t count = 0;
    return ::read(fd_.get(), &count, sizeof count) == static_cast<ssize_t>(sizeof count);
}

void ProbeTimer::advance() {
    deadline_ns_ += period_ns_;
    arm();
}

void ProbeTimer::arm() {
    itimerspec expiry{};
    expiry.it_value.tv_sec = static_cast<time_t>(deadline_ns_ / kNanosPerSecond);
    expiry.it_value.tv_nsec = static_cast<long>(deadline_ns_ % kNanosPerSecond);
    ::timerfd_settime(fd_.get(), TFD_TIMER_ABSTIME, &expiry, nullptr);
}

}  // namespace lld
