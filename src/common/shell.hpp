// The one seam through which the client starts child processes: the modem and
// event-store queries, rules, the firewall restart and the connection-tracking
// script are complete command lines. Tests install their own Shell.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lld {

class Shell {
  public:
    virtual ~Shell() = default;
    // Runs the command with its standard output on a pipe and reads until end of
    // file, a read error or `limit` bytes. nullopt when the pipe can't be opened.
    virtual std::optional<std::vector<std::uint8_t>> read_output(const std::string& command,
                                                                 std::size_t limit) = 0;
    // Runs the command through the shell; the result is that of system().
    virtual int run(const std::string& command) = 0;
    // Runs a command line made only of plain words (no quoting, no shell syntax)
    // without a shell: split at blanks and started directly, which saves a shell
    // per command and keeps words such as "[2001:db8::1]:5000-5010" from being
    // taken as file patterns. The result is in the form system() gives.
    virtual int run_words(const std::string& command) { return run(command); }
};

// The process-wide shell: the real one unless a test has installed another.
Shell& shell();
// The real one, for decorators that time or record what runs.
Shell& system_shell();

// Installs `replacement` for as long as the guard lives (tests only).
class ScopedShell {
  public:
    explicit ScopedShell(Shell& replacement);
    ~ScopedShell();
    ScopedShell(const ScopedShell&) = delete;
    ScopedShell& operator=(const ScopedShell&) = delete;

  private:
    Shell* previous_;
};

}  // namespace lld
