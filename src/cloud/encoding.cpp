#include "cloud/encoding.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>

namespace lld {
namespace {

constexpr std::size_t kGroup = 4;

bool in_alphabet(std::uint8_t c) {
    return std::isalnum(c) != 0 || c == '+' || c == '/' || c == '=';
}

// The low four bits, plus 9 for a letter: right for hex digits of either case.
unsigned hex_value(char digit) {
    const auto c = static_cast<unsigned char>(digit);
    const unsigned lower = c | 0x20u;
    const bool letter = lower >= 'a' && lower <= 'z';
    return (c & 0x0Fu) + (letter ? 9u : 0u);
}

}  // namespace

std::optional<std::string> base64_encode(std::span<const std::uint8_t> bytes) {
    // EVP counts in int, and 4/3 of the input must fit one.
    constexpr std::size_t kMaxInput = std::size_t{1} << 30;
    if (bytes.size() >= kMaxInput) {
        return std::nullopt;
    }
    if (bytes.empty()) {
        return std::string{};
    }
    std::string text((bytes.size() + 2) / 3 * kGroup + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                       static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(length));
    text += '\n';
    return text;
}

std::optional<std::vector<std::uint8_t>> base64_decode(std::span<const std::uint8_t> text) {
    std::string kept;
    std::ranges::copy_if(text, std::back_inserter(kept), in_alphabet);
    if (kept.empty() || kept.size() % kGroup != 0 || kept.size() > (std::size_t{1} << 30)) {
        return std::nullopt;
    }
    // The first group with a fill sign is the last one read; its fill signs count as zero
    // digits and each one drops a byte.
    std::size_t fill_signs = 0;
    if (const std::size_t first_fill = kept.find('='); first_fill != std::string::npos) {
        kept.resize((first_fill / kGroup + 1) * kGroup);
        const auto last_group = kept.end() - kGroup;
        fill_signs = static_cast<std::size_t>(std::count(last_group, kept.end(), '='));
        if (fill_signs > 2) {
            return std::nullopt;
        }
        std::replace(last_group, kept.end(), '=', 'A');
    }
    std::vector<std::uint8_t> bytes(kept.size() / kGroup * 3);
    const int length =
        EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(kept.data()),
                        static_cast<int>(kept.size()));
    if (length < 0) {
        return std::nullopt;
    }
    bytes.resize(static_cast<std::size_t>(length) - fill_signs);
    return bytes;
}

std::string to_hex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * bytes.size());
    for (const std::uint8_t byte : bytes) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0F];
    }
    return hex;
}

std::vector<std::uint8_t> from_hex(std::string_view text) {
    std::vector<std::uint8_t> bytes(text.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] =
            static_cast<std::uint8_t>((hex_value(text[2 * i]) << 4) | hex_value(text[2 * i + 1]));
    }
    return bytes;
}

}  // namespace lld
