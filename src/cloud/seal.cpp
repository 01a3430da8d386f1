#include "cloud/seal.hpp"

#include "cloud/cipher.hpp"
#include "cloud/compression.hpp"
#include "cloud/encoding.hpp"
#include "common/log.hpp"

namespace lld {
namespace {

std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

std::optional<std::string> seal_text(std::string_view plaintext, std::string_view key_text,
                                     std::string_view iv_text) {
    constexpr const char* kStep = "haa_encrypt_cloud_message";
    const auto compressed = gzip_compress(plaintext);
    if (!compressed) {
        log_error("%s: Compression failed", kStep);
        return std::nullopt;
    }
    // The Base64 text is the password in all but name: it never reaches the log.
    const auto base64 = base64_encode(*compressed);
    if (!base64) {
        log_error("%s: error base64", kStep);
        return std::nullopt;
    }
    const auto cipher = aes_256_cbc(CipherDirection::Encrypt, bytes_of(*base64), key_text, iv_text);
    if (!cipher) {
        log_error("%s: Base64 failed.", kStep);
        return std::nullopt;
    }
    return to_hex(*cipher);
}

std::optional<std::string> unseal_text(std::string_view sealed, std::string_view key_text,
                                       std::string_view iv_text) {
    constexpr const char* kStep = "haa_decrypt_cloud_message";
    const auto base64 = aes_256_cbc(CipherDirection::Decrypt, from_hex(sealed), key_text, iv_text);
    if (!base64) {
        log_error("%s: Error decrypt", kStep);
        return std::nullopt;
    }
    const auto compressed = base64_decode(*base64);
    if (!compressed) {
        log_error("%s: Error base64 decod", kStep);
        return std::nullopt;
    }
    auto plaintext = gzip_decompress(*compressed);
    if (!plaintext) {
        log_error("%s: Error decompression", kStep);
    }
    return plaintext;
}

}  // namespace lld
