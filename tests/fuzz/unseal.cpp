// A sealed password as "<key>\n<iv>\n<sealed text>", and each layer's parser on
// the raw bytes.
#include "cloud/compression.hpp"
#include "cloud/encoding.hpp"
#include "cloud/seal.hpp"
#include "fuzz.hpp"

void lld::fuzz::run(std::span<const std::uint8_t> input, std::string_view text) {
    std::string_view rest = text;
    const auto line = [&rest] {
        const std::string_view first = rest.substr(0, rest.find('\n'));
        rest.remove_prefix(std::min(first.size() + 1, rest.size()));
        return first;
    };
    const std::string_view key = line();
    const std::string_view iv = line();
    check(unseal_text(rest, key, iv).value_or("").size() <= 10 * rest.size());
    // A password-sized text seals to one that unseals to it again.
    check(rest.size() > 128 || unseal_text(seal_text(rest, key, iv).value_or(""), key, iv) == rest);
    check(base64_decode(input).value_or(std::vector<std::uint8_t>{}).size() <= input.size());
    check(from_hex(text).size() == input.size() / 2);
    check(gzip_decompress(input).value_or("").size() <= 10 * input.size());
}
