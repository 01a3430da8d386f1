// A modem tool that costs next to nothing, for bench/sr_server_bench.py: whatever
// its arguments, it writes the service-flow table in the file LLD_BENCH_TABLE
// names (the platform stand-in's output, captured once) to its standard output,
// every counter grown by (1000 + sfid) for each second since the file was written.
// The bench puts it first on PATH under the tool's name, so that the client's own
// cost of a child does not drown in the noise of the tool's loading and parsing.
// Linked statically where it can be, so that loading it costs little too.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>

#include "docsis/modem.hpp"

int main() {
    const char* path = std::getenv("LLD_BENCH_TABLE");
    const int file = path != nullptr ? ::open(path, O_RDONLY | O_CLOEXEC) : -1;
    struct stat info {};
    if (file < 0 || ::fstat(file, &info) != 0) {
        return 1;
    }
    std::array<lld::ServiceFlowEntry, 512> table{};
    const ssize_t size = ::read(file, table.data(), sizeof table);
    if (size <= 0) {
        return 1;
    }
    const auto seconds = static_cast<std::uint64_t>(::time(nullptr) - info.st_mtime);
    for (std::size_t i = 0; i < static_cast<std::size_t>(size) / sizeof table[0]; ++i) {
        lld::ServiceFlowEntry& flow = table[i];
        const std::uint64_t growth = (1000 + flow.sfid) * seconds;
        flow.count64_a += growth;
        flow.count64_b += growth;
        flow.count32_a += static_cast<std::uint32_t>(growth);
        flow.count32_b += static_cast<std::uint32_t>(growth);
        flow.count64_c += growth;
    }
    return ::write(STDOUT_FILENO, table.data(), static_cast<std::size_t>(size)) == size ? 0 : 1;
}
