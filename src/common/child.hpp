// The one way the client starts child processes: an argument vector (argv[0]
// looked up on PATH, no shell unless argv asks for one), a time-out, and the
// child's standard output read into memory when asked for. A child that
// overruns is killed with its whole process group and reaped, and so is every
// child once the runner's abort descriptor (the shutdown signal) is readable.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace lld {

using Argv = std::vector<std::string>;

inline constexpr std::chrono::milliseconds kDefaultChildTimeout{10'000};
inline constexpr std::chrono::milliseconds kMaxChildTimeout{30'000};
// What a shell reports for a command it can't start.
inline constexpr int kNotStarted = 127 << 8;

struct ChildResult {
    // The wait status as waitpid gives it (the form system() returns); kNotStarted
    // when the command could not be started, -1 when it was killed at its
    // time-out or for the shutdown (its output is then dropped).
    int status = -1;
    std::vector<std::uint8_t> output;  // standard output, up to the limit asked for
};

class ChildRunner {
  public:
    virtual ~ChildRunner() = default;
    // With output_limit 0 the child writes to the client's own standard output;
    // otherwise at most that many bytes of it are kept and the rest is not read.
    virtual ChildResult run(std::span<const std::string> argv, std::size_t output_limit) = 0;
};

class ProcessRunner final : public ChildRunner {
  public:
    // `caught` names every signal the client has a handler for: a child sets
    // them back to their default before it runs its program.
    explicit ProcessRunner(std::chrono::milliseconds timeout = kDefaultChildTimeout,
                           int abort_fd = -1, std::span<const int> caught = {})
        : timeout_{timeout}, abort_fd_{abort_fd}, caught_{caught.begin(), caught.end()} {}
    ChildResult run(std::span<const std::string> argv, std::size_t output_limit) override;

  private:
    std::chrono::milliseconds timeout_;
    int abort_fd_;  // readable: no child may run any longer
    std::vector<int> caught_;
};

// A wait status in words: "exit status 3", "killed by signal 9", "not started".
std::string describe_status(int status);

// The words joined by blanks, as a command line is logged.
std::string command_text(std::span<const std::string> argv);

}  // namespace lld
