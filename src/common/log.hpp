// The client's one diagnostic channel. Every line goes to standard output as
// "[<thread id>] [ZEZ-UDERED] [<tag>] <text>\n", filtered against the threshold
// that LLD_DBG_LVL names (unset: nothing at all is printed).
#pragma once

#include <string>
#include <string_view>

namespace lld {

enum class LogLevel : int { Error = 0, Info = 1, Warn = 2, Debug = 3 };

// The threshold for a value of LLD_DBG_LVL (nullptr when unset); -1 prints nothing.
int log_threshold(const char* env_value);

// Whether a line of this level would be printed now.
bool log_enabled(LogLevel level);

// One whole line each: the helpers add the prefix, the level's tag and the line
// feed. Lines of different threads never interleave.
void log_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_info(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_debug(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Text from outside (the cloud, the LAN, a tool) as a log line may show it: every
// control character and backslash escaped ("\\n", "\\x1b", "\\\\"), so that it can't
// forge or break lines.
std::string printable(std::string_view text);

}  // namespace lld
