// The text layers of the sealed password: Base64 inside, hexadecimal outside.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lld {

// Standard alphabet, "=" fill, no line breaks inside and one line feed after the last group;
// "" for no bytes. nullopt for inputs of 1 GiB or more.
std::optional<std::string> base64_encode(std::span<const std::uint8_t> bytes);

// Skips characters outside the alphabet and "=" (line feeds included). Fails when the rest is
// empty or not whole groups of 4. Stops after the first group holding "=": one keeps 2 of its
// bytes, two keep 1, more fail.
std::optional<std::vector<std::uint8_t>> base64_decode(std::span<const std::uint8_t> text);

// Lower-case hexadecimal, two digits a byte.
std::string to_hex(std::span<const std::uint8_t> bytes);

// Pairs of hexadecimal digits of either case; an odd last digit is ignored. Other
// characters are not refused: they give some value and the cipher layer decides.
std::vector<std::uint8_t> from_hex(std::string_view text);

}  // namespace lld
