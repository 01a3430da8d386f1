#include "app/shutdown.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

namespace lld {
namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGABRT};
// The write end of the pipe, for the handler; -1 when no ShutdownSignals lives.
std::atomic<int> signal_pipe{-1};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void on_termination_signal(int signal_number) {
    const int saved = errno;
    const int fd = signal_pipe.load(std::memory_order_relaxed);
    if (fd >= 0) {
        const auto byte = static_cast<unsigned char>(signal_number);
        [[maybe_unused]] const ssize_t ignored = ::write(fd, &byte, 1);
    }
    errno = saved;
}

}  // namespace

ShutdownSignals::ShutdownSignals() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
        read_end_.reset(ends[0]);
        write_end_.reset(ends[1]);
    }
    signal_pipe.store(write_end_.get(), std::memory_order_relaxed);
    struct sigaction action {};
    action.sa_handler = on_termination_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal_number : kSignals) {
        ::sigaction(signal_number, &action, nullptr);
    }
}

ShutdownSignals::~ShutdownSignals() {
    for (const int signal_number : kSignals) {
        std::signal(signal_number, SIG_DFL);
    }
    signal_pipe.store(-1, std::memory_order_relaxed);
}

std::span<const int> ShutdownSignals::caught() {
    return kSignals;
}

bool ShutdownSignals::received() const {
    pollfd watch{read_end_.get(), POLLIN, 0};
    return ::poll(&watch, 1, 0) > 0;
}

}  // namespace lld
