#include "common/worker.hpp"

#include <poll.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <system_error>
#include <utility>

namespace lld {

StopSignal::StopSignal() : fd_{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)} {
    if (!fd_) {
        throw std::system_error{errno, std::system_category(), "eventfd"};
    }
}

bool StopSignal::wait_for(std::chrono::milliseconds timeout) const {
    using Clock = std::chrono::steady_clock;
    // Long waits go in slices that poll's int of milliseconds can hold.
    constexpr std::int64_t kSliceMs = 24 * 60 * 60 * 1000;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd watch{fd_.get(), POLLIN, 0};
        const int ready =
            ::poll(&watch, 1, static_cast<int>(std::clamp<std::int64_t>(left, 0, kSliceMs)));
        if (ready > 0) {
            return true;
        }
        if (left <= 0 || (ready < 0 && errno != EINTR)) {
            return false;
        }
    }
}

void StopSignal::request() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(fd_.get(), &one, sizeof one);
}

struct Worker::State {
    explicit State(Body work) : body{std::move(work)} {}
    StopSignal stop;
    Body body;
};

void* Worker::run(void* state) {
    auto* own = static_cast<State*>(state);
    own->body(own->stop);
    return nullptr;
}

Worker::Worker(Body body, std::size_t stack_size)
    : state_{std::make_unique<State>(std::move(body))} {
    pthread_attr_t attributes;
    int error = pthread_attr_init(&attributes);
    if (error == 0) {
        if (stack_size != 0) {
            error = pthread_attr_setstacksize(&attributes, stack_size);
        }
        if (error == 0) {
            error = pthread_create(&thread_, &attributes, &Worker::run, state_.get());
        }
        pthread_attr_destroy(&attributes);
    }
    if (error != 0) {
        state_.reset();
        throw std::system_error{error, std::system_category(), "pthread_create"};
    }
}

Worker::Worker() noexcept = default;

Worker::~Worker() {
    stop();
}

Worker::Worker(Worker&& other) noexcept : state_{std::move(other.state_)}, thread_{other.thread_} {}

Worker& Worker::operator=(Worker&& other) noexcept {
    if (this != &other) {
        stop();
        state_ = std::move(other.state_);
        thread_ = other.thread_;
    }
    return *this;
}

void Worker::request_stop() const {
    if (state_) {
        state_->stop.request();
    }
}

void Worker::stop() {
    if (!state_) {
        return;
    }
    state_->stop.request();
    pthread_join(thread_, nullptr);
    state_.reset();
}

}  // namespace lld
