#include "common/shell.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>

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
            const std::size_t got = std::fread(output.data() + filled, 1, limit - filled, pipe.get());
            if (got == 0) {
                break;
            }
            filled += got;
        }
        output.resize(filled);
        return output;
    }

    int run(const std::string& command) override { return std::system(command.c_str()); }
};

PosixShell posix_shell;
std::atomic<Shell*> current{&posix_shell};

}  // namespace

Shell& shell() { return *current.load(std::memory_order_acquire); }

ScopedShell::ScopedShell(Shell& replacement)
    : previous_{current.exchange(&replacement, std::memory_order_acq_rel)} {}

ScopedShell::~ScopedShell() { current.store(previous_, std::memory_order_release); }

}  // namespace lld
