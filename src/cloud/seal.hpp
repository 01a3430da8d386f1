// Sealing of the cloud password ("hadp"): gzip, Base64 with a closing line feed,
// AES-256-CBC with PKCS#7 padding, lowercase hex; unsealing undoes the four layers.
// No state between calls. Diagnostics go straight to standard output as
// "<step>: <message>", not through lld_log; a message without its own line feed
// runs on into the next one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lld {

// Seals the NUL-terminated plaintext. The key is the first 32 bytes of key_text, zero-filled;
// the IV is read from iv_text as up to 16 "%2hhx" pairs, zero where absent or not hex.
// nullopt when a text is missing (null) or a layer fails. The result's length is a
// multiple of 32.
std::optional<std::string> haa_encrypt_cloud_message(const char* iv_text, const char* plaintext,
                                                     const char* key_text);

// Undoes haa_encrypt_cloud_message. Hex digits of either case are accepted, an odd last digit
// is ignored. Fails when the plaintext is more than ten times the size of its gzip layer.
std::optional<std::string> haa_decrypt_cloud_message(const char* iv_text, const char* sealed_text,
                                                     const char* key_text);

// AES-256-CBC with PKCS#7 padding: direction 0 encrypts, any other value decrypts. Key and IV
// are derived from the texts as for sealing; a view without data (std::string_view{}) is a
// missing text, "" an empty one. On entry `length` is the capacity granted to the output:
// encrypting needs input length + 32 - input length % 32, decrypting the input length.
// Once the cipher has run, `output` holds the bytes written and `length` their count, also
// when finalisation failed. Returns 1 on success, 0 on failure.
int Aes_EncryptDecrypt(int direction, std::span<const std::uint8_t> input,
                       std::vector<std::uint8_t>& output, std::size_t& length,
                       std::string_view key_text, std::string_view iv_text);

// Standard alphabet, "=" fill, no line breaks inside and one line feed after the last group;
// "" for no bytes. nullopt for inputs of 1 GiB or more, whose encoded size overflows 32 bits.
std::optional<std::string> base64_encode(std::span<const std::uint8_t> bytes);

// Skips characters outside the alphabet and "=" (line feeds included). Fails when the rest is
// empty or not whole groups of 4. Stops after the first group holding "=": one keeps 2 of its
// bytes, two keep 1, more fail.
std::optional<std::vector<std::uint8_t>> base64_decode(std::span<const std::uint8_t> text);

}  // namespace lld
