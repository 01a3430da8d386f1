// Termination signals reach the main loop through a pipe: the handler only
// writes the signal number, and the shutdown itself runs on the main thread.
#pragma once

#include "common/fd.hpp"

namespace lld {

class ShutdownSignals {
  public:
    // Installs the handler for SIGTERM, SIGINT and SIGABRT. One instance per process.
    ShutdownSignals();
    ~ShutdownSignals();
    ShutdownSignals(const ShutdownSignals&) = delete;
    ShutdownSignals& operator=(const ShutdownSignals&) = delete;

    // Readable once a termination signal has arrived.
    int fd() const { return read_end_.get(); }
    // The signal that arrived, or 0 when none is waiting.
    int take();

  private:
    UniqueFd read_end_;
    UniqueFd write_end_;
};

// Publishes the last status and ends the process with exit status 0.
[[noreturn]] void lld_shutdown_handler(int signal_number);

}  // namespace lld
