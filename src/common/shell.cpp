#include "common/shell.hpp"

#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>

namespace lld {
namespace {

struct PipeCloser {
    void operator()(FILE* pipe) const { pclose(pipe); }
};

class PosixShell final : public Shell {
  public:
    std::optional<std::vector<std::uint8_t>> read_output(const std::string& command,
                                                         std::size_t limit) override {
        std::unique_ptr<FILE, PipeCloser> pipe{popen(command.c_str(), "re")};
        if (!pipe) {
            return std::nullopt;
        }
        std::vector<std::uint8_t> output(limit);
        std::size_t filled = 0;
        while (filled < limit) {
            const std::size_t got =
                std::fread(output.data() + filled, 1, limit - filled, pipe.get());
            if (got == 0) {
                break;
            }
            filled += got;
        }
        output.resize(filled);
        return output;
    }

    int run(const std::string& command) override { return std::system(command.c_str()); }

    int run_words(const std::string& command) override {
        std::vector<std::string> words;
        std::istringstream split{command};
        for (std::string word; split >> word;) {
            words.push_back(std::move(word));
        }
        if (words.empty()) {
            return -1;
        }
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        pid_t child = 0;
        if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
            return 127 << 8;  // as a shell reports a command it can't start
        }
        int status = 0;
        while (waitpid(child, &status, 0) < 0) {
            if (errno != EINTR) {
                return -1;
            }
        }
        return status;
    }
};

PosixShell posix_shell;
std::atomic<Shell*> current{&posix_shell};

}  // namespace

Shell& shell() {
    return *current.load(std::memory_order_acquire);
}

Shell& system_shell() {
    return posix_shell;
}

ScopedShell::ScopedShell(Shell& replacement)
    : previous_{current.exchange(&replacement, std::memory_order_acq_rel)} {}

ScopedShell::~ScopedShell() {
    current.store(previous_, std::memory_order_release);
}

}  // namespace lld
