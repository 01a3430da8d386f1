// Whole-file reads and writes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace lld {

inline constexpr std::size_t kMaxFileSize = 1024 * 1024;

// The whole of a regular file of at most `max_size` bytes; nullopt when it can't
// be opened or read, is no regular file (a directory, a FIFO, a device: never
// waited on) or is larger, and errno then tells why (EINVAL for no regular
// file, EFBIG for a larger one). A short read is logged and what was read is
// returned.
std::optional<std::string> read_file(const std::string& path, std::size_t max_size = kMaxFileSize);

// Puts the whole text in place of the file at `path`: written to a staging file
// of a fresh name beside it (mode 0644), then renamed over it, so that a reader
// finds the old file or the new one, never a part, and a link there is replaced,
// never followed. False, after an [ERR] line, when it could not be done: the old
// file stays as it was and no staging file is left.
bool replace_file(const std::string& path, std::string_view text);

}  // namespace lld
