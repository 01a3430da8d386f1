#include "common/log.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>

#include "common/fd.hpp"

namespace lld {
namespace {

std::mutex output_mutex;

void log_line(LogLevel level, std::string_view tag, const char* format, va_list args)
    __attribute__((format(printf, 3, 0)));

void log_line(LogLevel level, std::string_view tag, const char* format, va_list args) {
    if (!log_enabled(level)) {
        return;
    }
    std::string line(32, '\0');
    const int prefix = std::snprintf(line.data(), line.size(), "[%lu] ",
                                     static_cast<unsigned long>(pthread_self()));
    line.resize(static_cast<std::size_t>(prefix));
    line += "[ZEZ-UDERED] ";
    line += tag;
    const std::size_t head = line.size();

    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length > 0) {
        line.resize(head + static_cast<std::size_t>(length) + 1);
        std::vsnprintf(line.data() + head, static_cast<std::size_t>(length) + 1, format, args);
        line.resize(head + static_cast<std::size_t>(length));
    }
    line += '\n';
    // Unbuffered: a line reaches a pipe or the journal as soon as it is written.
    const std::lock_guard lock{output_mutex};
    write_all(STDOUT_FILENO, line);
}

}  // namespace

int log_threshold(const char* env_value) {
    if (env_value == nullptr) {
        return -1;
    }
    const std::string_view value{env_value};
    // First match decides: "debug" wins over anything else the value holds.
    for (const auto& [word, level] :
         {std::pair{"debug", LogLevel::Debug}, std::pair{"info", LogLevel::Info},
          std::pair{"warn", LogLevel::Warn}, std::pair{"error", LogLevel::Error}}) {
        if (value.find(word) != std::string_view::npos) {
            return static_cast<int>(level);
        }
    }
    return -1;
}

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

bool log_enabled(LogLevel level) {
    // Read afresh on every call so that a change of the environment takes effect at once.
    return static_cast<int>(level) <= log_threshold(std::getenv("LLD_DBG_LVL"));
}

void log_error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    log_line(LogLevel::Error, "[ERR] ", format, args);
    va_end(args);
}

void log_info(const char* format, ...) {
    va_list args;
    va_start(args, format);
    log_line(LogLevel::Info, "[INF] ", format, args);
    va_end(args);
}

void log_debug(const char* format, ...) {
    va_list args;
    va_start(args, format);
    log_line(LogLevel::Debug, "[DBG] ", format, args);
    va_end(args);
}

}  // namespace lld
