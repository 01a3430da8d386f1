// The client's one diagnostic channel: lld_log filters by level against the
// threshold named by LLD_DBG_LVL and writes to standard output.
#pragma once

#include <cstddef>
#include <string_view>

namespace lld {

enum LogLevel : int {
    LLD_LOG_ERROR = 0,
    LLD_LOG_INFO = 1,
    LLD_LOG_WARN = 2,
    LLD_LOG_DEBUG = 3,
};

// Threshold for a value of LLD_DBG_LVL (nullptr when unset): -1 prints nothing.
int log_threshold(const char* env_value);

// Prints "[<thread id>] " and the formatted text when level is at most the
// threshold. Message texts carry their own "[ZEZ-UDERED] [TAG] " and line feed.
void lld_log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Hex and character table of a block, 32 bytes a row; not filtered by level.
void lld_hexdump(const void* address, int length);

}  // namespace lld
