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

// Creates or truncates the file (mode 0644) and writes the whole text; false when
// any of it could not be written (nothing may be renamed into place then).
bool write_file(const std::string& path, std::string_view text);

}  // namespace lld
