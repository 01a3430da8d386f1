// Whole-file reads and writes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lld {

// The whole file; nullopt when it can't be opened or read. A short read is
// logged and what was read is returned.
std::optional<std::string> read_file(const std::string& path);

// Creates or truncates the file (mode 0644) and writes the whole text; false when
// any of it could not be written (nothing may be renamed into place then).
bool write_file(const std::string& path, std::string_view text);

}  // namespace lld
