#include "common/child.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string_view>

#include "common/fd.hpp"
#include "common/log.hpp"

extern char** environ;

namespace lld {
namespace {

using Clock = std::chrono::steady_clock;
// Without a process descriptor (old kernels) the child's end is polled this often.
constexpr int kReapPollMs = 10;

// Where argv[0] runs from: itself when it names a path, otherwise the first
// regular, executable file of that name in a PATH folder (an empty entry is the
// current folder); empty when there is none.
std::string executable_path(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    const char* path = std::getenv("PATH");
    std::string_view folders = path != nullptr ? path : "/bin:/usr/bin";
    for (;;) {
        const std::size_t colon = std::min(folders.find(':'), folders.size());
        const std::string_view folder = folders.substr(0, colon);
        std::string candidate = folder.empty() ? name : std::string{folder} + '/' + name;
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            ::faccessat(AT_FDCWD, candidate.c_str(), X_OK, AT_EACCESS) == 0) {
            return candidate;
        }
        if (colon == folders.size()) {
            return {};
        }
        folders.remove_prefix(colon + 1);
    }
}

// What the child needs between its start and its exec, all made beforehand.
struct ChildStart {
    const char* path;
    char* const* argv;
    int output;                   // the child's standard output, or -1 for the client's
    std::span<const int> caught;  // signals the client has handlers for
    sigset_t mask;                // the starting thread's own signal mask
};

// The child runs on the parent's memory and stack until execve, so it only
// makes plain system calls: no allocation, no lock, no handler of the parent.
[[noreturn]] void exec_child(const ChildStart& start) noexcept {
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    for (const int signal_number : start.caught) {
        ::sigaction(signal_number, &default_action, nullptr);
    }
    // The child leads a process group of its own, so that a time-out can end it
    // with everything it started.
    ::setpgid(0, 0);
    if (start.output == STDOUT_FILENO) {
        ::fcntl(STDOUT_FILENO, F_SETFD, 0);
    } else if (start.output >= 0) {
        ::dup2(start.output, STDOUT_FILENO);
    }
    ::sigprocmask(SIG_SETMASK, &start.mask, nullptr);
    ::execve(start.path, start.argv, environ);
    ::_exit(127);  // the status of a command that could not start
}

// vfork: no copy of the address space and no stack to map for the child; the
// calling thread waits, every signal blocked, until the child has called execve
// or ended. -1 when no child could be made.
pid_t start_child(ChildStart& start) {
    sigset_t all;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &start.mask);
    const pid_t pid = ::vfork();
    if (pid == 0) {
        exec_child(start);
    }
    ::pthread_sigmask(SIG_SETMASK, &start.mask, nullptr);
    return pid;
}

// A started child, reaped by the time its owner goes.
class Child {
  public:
    Child(pid_t pid, UniqueFd output) : pid_{pid}, output_{std::move(output)} {}
    // Whatever is still running of the group (the child, or what it left holding
    // its output) is killed.
    ~Child() {
        if (!reaped_ || output_) {
            ::kill(-pid_, SIGKILL);
        }
        if (!reaped_) {
            wait(0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Reads and waits until the child has ended and its output is closed, or
    // the deadline passes or the abort descriptor becomes readable; false then.
    bool finish(Clock::time_point deadline, int abort_fd, std::size_t limit,
                std::vector<std::uint8_t>& out) {
        while (output_ || !reaped_) {
            // The child's end matters once its output is closed; it is usually
            // reaped at once then, and a process descriptor is seldom needed.
            const bool awaiting_exit = !output_;
            if (awaiting_exit && watch_exit()) {
                break;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                if (!reaped_) {
                    wait(WNOHANG);  // it may have ended with its output still held
                }
                return false;
            }
            int timeout = static_cast<int>(left.count());
            if (awaiting_exit && !pidfd_) {
                timeout = std::min(timeout, kReapPollMs);
            }
            pollfd watched[] = {{output_ ? output_.get() : -1, POLLIN, 0},
                                {awaiting_exit && pidfd_ ? pidfd_.get() : -1, POLLIN, 0},
                                {abort_fd, POLLIN, 0}};
            if (::poll(watched, 3, timeout) < 0 && errno != EINTR) {
                return false;
            }
            if (watched[2].revents != 0) {
                return false;
            }
            if (watched[0].revents != 0) {
                read_some(limit, out);
            }
        }
        return true;
    }

    int status() const { return status_; }
    bool reaped() const { return reaped_; }

  private:
    void read_some(std::size_t limit, std::vector<std::uint8_t>& out) {
        const std::size_t room = limit - out.size();
        const std::size_t old = out.size();
        out.resize(limit);
        const ssize_t got = ::read(output_.get(), out.data() + old, room);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            out.resize(old);
            return;
        }
        out.resize(old + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        // The rest is not read: a child that goes on writing gets SIGPIPE.
        if (got <= 0 || out.size() == limit) {
            output_.reset();
        }
    }

    // Reaps the child if it has ended; otherwise makes sure there is a process
    // descriptor to wait on (kernels before 5.3 lack it). True once reaped.
    bool watch_exit() {
        if (!reaped_) {
            wait(WNOHANG);
        }
        if (!reaped_ && !pidfd_) {
            pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
        }
        return reaped_;
    }

    void wait(int options) {
        int status = 0;
        pid_t got = 0;
        do {
            got = ::waitpid(pid_, &status, options);
        } while (got < 0 && errno == EINTR);
        if (got == pid_ || (got < 0 && errno == ECHILD)) {
            reaped_ = true;
            status_ = got == pid_ ? status : -1;
        }
    }

    pid_t pid_;
    UniqueFd output_;
    UniqueFd pidfd_;
    bool reaped_ = false;
    int status_ = -1;
};

}  // namespace

std::string describe_status(int status) {
    if (status == kNotStarted) {
        return "not started";
    }
    if (status != -1 && WIFEXITED(status)) {
        return "exit status " + std::to_string(WEXITSTATUS(status));
    }
    if (status != -1 && WIFSIGNALED(status)) {
        return "killed by signal " + std::to_string(WTERMSIG(status));
    }
    return "no status";
}

std::string command_text(std::span<const std::string> argv) {
    std::string text;
    for (const std::string& word : argv) {
        if (!text.empty()) {
            text += ' ';
        }
        text += word;
    }
    return text;
}

ChildResult ProcessRunner::run(std::span<const std::string> argv, std::size_t output_limit) {
    ChildResult result;
    pollfd abort{abort_fd_, POLLIN, 0};
    if (argv.empty() || (abort_fd_ >= 0 && ::poll(&abort, 1, 0) > 0)) {
        return result;
    }
    std::vector<char*> words;
    for (const std::string& word : argv) {
        words.push_back(const_cast<char*>(word.c_str()));
    }
    words.push_back(nullptr);

    const std::string path = executable_path(argv.front());
    if (path.empty()) {
        result.status = kNotStarted;
        return result;
    }
    UniqueFd read_end;
    UniqueFd write_end;
    if (output_limit > 0) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) {
            return result;
        }
        read_end.reset(ends[0]);
        write_end.reset(ends[1]);
    }
    ChildStart start{path.c_str(), words.data(), write_end ? write_end.get() : -1, caught_, {}};
    const pid_t pid = start_child(start);
    if (pid < 0) {
        result.status = kNotStarted;
        return result;
    }
    // Where vfork is only a fork (under some emulators and sanitizers) the child
    // may not have its group yet; a time-out must still find it. Otherwise the
    // child has called execve and this fails harmlessly.
    ::setpgid(pid, pid);
    write_end.reset();

    Child child{pid, std::move(read_end)};
    const bool finished =
        child.finish(Clock::now() + timeout_, abort_fd_, output_limit, result.output);
    if (!finished && !child.reaped()) {
        if (abort.fd >= 0 && ::poll(&abort, 1, 0) > 0) {
            log_debug("%s stopped: the client is going down", command_text(argv).c_str());
        } else {
            log_error("%s did not end within %lld ms: killed", command_text(argv).c_str(),
                      static_cast<long long>(timeout_.count()));
        }
        return ChildResult{};  // a query that overran fails whatever it printed
    }
    return ChildResult{child.status(), std::move(result.output)};
}

}  // namespace lld
