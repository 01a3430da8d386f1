// The one way the client starts child processes: an argument vector (argv[0]
// looked up on PATH, no shell unless argv asks for one), a time-out, and the
// child's standard output read into memory when asked for. A child that
// overruns is killed with its whole process group and reaped.
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
// What a shell reports for a command it can't start.
inline constexpr int kNotStarted = 127 << 8;

struct ChildResult {
    // The wait status as waitpid gives it (the form system() returns); kNotStarted
    // when the command could not be started, -1 when it was killed at its time-out.
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
    explicit ProcessRunner(std::chrono::milliseconds timeout = kDefaultChildTimeout)
        : timeout_{timeout} {}
    ChildResult run(std::span<const std::string> argv, std::size_t output_limit) override;

  private:
    std::chrono::milliseconds timeout_;
};

// The words joined by blanks, as a command line is logged.
std::string command_text(std::span<const std::string> argv);

}  // namespace lld
