// A thread and the descriptor that asks it to stop. The thread's body is handed
// the StopSignal and watches it in every wait; the owner asks it to stop and
// joins it, at the latest when the Worker goes.
#pragma once

#include <pthread.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

#include "common/fd.hpp"

namespace lld {

class StopSignal {
  public:
    StopSignal();
    // Readable once a stop was asked for; a body polls it beside its own descriptors.
    int fd() const { return fd_.get(); }
    bool requested() const { return wait_for(std::chrono::milliseconds{0}); }
    // Waits up to the timeout; true as soon as a stop was asked for.
    bool wait_for(std::chrono::milliseconds timeout) const;
    void request() const;

  private:
    UniqueFd fd_;
};

class Worker {
  public:
    using Body = std::function<void(const StopSignal&)>;

    Worker() noexcept;
    // Starts the thread; stack_size 0 takes the system's default. Throws
    // std::system_error when the thread or its stop descriptor can't be had.
    explicit Worker(Body body, std::size_t stack_size = 0);
    ~Worker();
    Worker(Worker&& other) noexcept;
    Worker& operator=(Worker&& other) noexcept;
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    bool running() const { return state_ != nullptr; }
    // The thread's id, as the log shows it.
    unsigned long thread_id() const { return static_cast<unsigned long>(thread_); }
    void request_stop() const;
    // Asks the thread to stop and waits for it to end.
    void stop();

  private:
    struct State;
    static void* run(void* state);

    std::unique_ptr<State> state_;
    pthread_t thread_{};
};

}  // namespace lld
