// Unit-test helpers: scratch directories under $TMPDIR (ctest points it into the
// build tree), a capture of the log's standard output, and recording fakes of the
// narrow interfaces the subsystems are built with.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <vector>

#include "common/child.hpp"
#include "common/fd.hpp"
#include "common/files.hpp"
#include "common/json.hpp"

namespace lld::test {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

inline std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}
inline bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}
inline std::string file_text(const std::string& path) {
    return read_file(path).value_or("(missing)");
}
inline std::string scratch(const char* name) {
    const char* base = std::getenv("TMPDIR");
    return std::string{base != nullptr ? base : "/tmp"} + "/" + name + "-XXXXXX";
}
// The log's level variable exists before any thread reads it: captures only change its value.
inline const bool log_level_defined = ::setenv("LLD_DBG_LVL", "none", 1) == 0;

class TempDir {
  public:
    TempDir() : path_{scratch("lld-unit")} { ::mkdtemp(path_.data()); }
    ~TempDir() { std::filesystem::remove_all(path_); }
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Standard output (descriptor 1), with LLD_DBG_LVL set to `level`, until text() or the end.
class LogCapture {
  public:
    explicit LogCapture(const char* level = "debug") {
        std::string path = scratch("lld-log");
        file_.reset(::mkstemp(path.data()));
        ::unlink(path.c_str());
        saved_.reset(::dup(STDOUT_FILENO));
        ::dup2(file_.get(), STDOUT_FILENO);
        ::setenv("LLD_DBG_LVL", level, 1);
    }
    ~LogCapture() { text(); }
    std::string text() {
        if (saved_) {
            ::setenv("LLD_DBG_LVL", "none", 1);
            ::dup2(saved_.get(), STDOUT_FILENO);
            saved_.reset();
        }
        std::string out(static_cast<std::size_t>(::lseek(file_.get(), 0, SEEK_END)), '\0');
        return out.substr(
            0, static_cast<std::size_t>(::pread(file_.get(), out.data(), out.size(), 0)));
    }

  private:
    UniqueFd file_;
    UniqueFd saved_;
};

// Records each command line (" <limit>" added when the output is read) instead of running
// it; a prepared answer is printed, cut to the limit as a pipe read would be. Its
// firewall holds no rule: every check (-C) fails, unrecorded.
class FakeRunner final : public ChildRunner {
  public:
    ChildResult run(std::span<const std::string> argv, std::size_t limit) override {
        if (argv.size() > 3 && argv[3] == "-C") {
            return {1 << 8, {}};
        }
        std::unique_lock lock{mutex_};
        const std::string line = command_text(argv);
        calls_.push_back(limit > 0 ? line + " <" + std::to_string(limit) : line);
        changed_.notify_all();
        changed_.wait(lock, [&] { return held_ != line; });
        Bytes out = answers_.contains(line) ? answers_[line] : Bytes{};
        out.resize(std::min(out.size(), limit));
        return {0, out};
    }
    void answer(const std::string& line, std::optional<Bytes> output) {
        const std::lock_guard lock{mutex_};
        answers_.erase(line);
        if (output) {
            answers_.emplace(line, *output);
        }
    }
    // A call of `line` waits inside the runner until the hold is lifted.
    void hold(std::optional<std::string> line) {
        const std::lock_guard lock{mutex_};
        held_ = std::move(line);
        changed_.notify_all();
    }
    Lines take() {
        const std::lock_guard lock{mutex_};
        return std::exchange(calls_, {});
    }
    bool saw(const std::string& line) {
        std::unique_lock lock{mutex_};
        return changed_.wait_for(lock, std::chrono::seconds{20},
                                 [&] { return std::ranges::find(calls_, line) != calls_.end(); });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    Lines calls_;
    std::map<std::string, Bytes> answers_;
    std::optional<std::string> held_;
};

}  // namespace lld::test
