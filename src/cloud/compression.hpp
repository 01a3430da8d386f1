// The gzip layer of the sealed password.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lld {

// gzip (deflate, windowBits 31, default level) in one call.
std::optional<std::vector<std::uint8_t>> gzip_compress(std::string_view plain);

// Inflates in one call into at most ten times the compressed size; fails on a
// larger plaintext.
std::optional<std::string> gzip_decompress(std::span<const std::uint8_t> compressed);

}  // namespace lld
