// Termination signals reach the main loop through a pipe: the handler only
// writes the signal number, and the shutdown itself runs on the main thread.
#pragma once

#include "common/fd.hpp"

namespace lld {

class ShutdownSignals {
  public:
    // Installs the handler for SIGTERM, SIGINT and SIGABRT. One instance per
    // process: the handler reaches it through the one process-wide descriptor a
    // signal handler may use.
    ShutdownSignals();
    ~ShutdownSignals();
    ShutdownSignals(const ShutdownSignals&) = delete;
    ShutdownSignals& operator=(const ShutdownSignals&) = delete;

    // Readable once a termination signal has arrived.
    int fd() const { return read_end_.get(); }
    // The signal that arrived, or 0 when none is waiting.
    int take() const;

  private:
    UniqueFd read_end_;
    UniqueFd write_end_;
};

}  // namespace lld
