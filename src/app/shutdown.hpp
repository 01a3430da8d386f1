// Termination signals reach the main loop through a pipe: the handler only
// writes the signal number, and the shutdown itself runs on the main thread.
// The pipe is never drained, so once a signal has come its read end stays
// readable: every wait that watches it (the main loop's, the child runner's)
// ends at once from then on.
#pragma once

#include <span>

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

    // Readable once a termination signal has arrived, and from then on.
    int fd() const { return read_end_.get(); }
    // The signals with the handler, which children must not keep.
    static std::span<const int> caught();
    bool received() const;

  private:
    UniqueFd read_end_;
    UniqueFd write_end_;
};

}  // namespace lld
