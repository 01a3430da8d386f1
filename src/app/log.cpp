#include "app/log.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace lld {

int log_threshold(const char* env_value) {
    if (env_value == nullptr) {
        return -1;
    }
    const std::string_view value{env_value};
    // First match decides: "debug" wins over anything else the value holds.
    if (value.find("debug") != std::string_view::npos) {
        return LLD_LOG_DEBUG;
    }
    if (value.find("info") != std::string_view::npos) {
        return LLD_LOG_INFO;
    }
    if (value.find("warn") != std::string_view::npos) {
        return LLD_LOG_WARN;
    }
    if (value.find("error") != std::string_view::npos) {
        return LLD_LOG_ERROR;
    }
    return -1;
}

void lld_log(int level, const char* format, ...) {
    // Read afresh on every call so that a change of the environment takes effect at once.
    if (level > log_threshold(std::getenv("LLD_DBG_LVL"))) {
        return;
    }
    std::string line(32, '\0');
    const int prefix = std::snprintf(line.data(), line.size(), "[%lu] ",
                                     static_cast<unsigned long>(pthread_self()));
    line.resize(static_cast<std::size_t>(prefix));

    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length > 0) {
        line.resize(static_cast<std::size_t>(prefix + length) + 1);
        std::vsnprintf(line.data() + prefix, static_cast<std::size_t>(length) + 1, format, args);
        line.resize(static_cast<std::size_t>(prefix + length));
    }
    va_end(args);
    // One write per line, so that lines of different threads never interleave.
    std::fwrite(line.data(), 1, line.size(), stdout);
}

void lld_hexdump(const void* address, int length) {
    constexpr int kRow = 32;
    const auto* bytes = static_cast<const unsigned char*>(address);
    std::printf("%p:\n", address);
    for (int row = 0; row < length; row += kRow) {
        const int in_row = std::min(kRow, length - row);
        for (int i = 0; i < kRow; ++i) {
            if (i < in_row) {
                std::printf("%02X ", bytes[row + i]);
            } else {
                std::fputs("   ", stdout);
            }
        }
        for (int i = 0; i < in_row; ++i) {
            const unsigned char c = bytes[row + i];
            std::putchar(c >= 0x20 && c <= 0x7D ? c : '.');
        }
        std::putchar('\n');
    }
    std::putchar('\n');
}

}  // namespace lld
