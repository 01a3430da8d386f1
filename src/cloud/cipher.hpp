// The cipher layer of the sealed password: AES-256-CBC with PKCS#7 padding.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace lld {

enum class CipherDirection { Encrypt, Decrypt };

// The key is the first 32 bytes of key_text, zero-filled; the IV is read from
// iv_text as up to 16 "%2hhx" pairs, zero where absent or not hex. nullopt when
// the cipher fails (a wrong padding when decrypting, say).
std::optional<std::vector<std::uint8_t>> aes_256_cbc(CipherDirection direction,
                                                     std::span<const std::uint8_t> input,
                                                     std::string_view key_text,
                                                     std::string_view iv_text);

}  // namespace lld
