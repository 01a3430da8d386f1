#include "cloud/cipher.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <memory>
#include <string>

#include "common/log.hpp"

namespace lld {
namespace {

constexpr std::size_t kKeySize = 32;
constexpr std::size_t kIvSize = 16;
constexpr std::size_t kAesBlock = 16;
constexpr const char* kStep = "Aes_EncryptDecrypt";

std::array<std::uint8_t, kKeySize> derive_key(std::string_view key_text) {
    std::array<std::uint8_t, kKeySize> key{};
    std::copy_n(key_text.begin(), std::min(key_text.size(), key.size()), key.begin());
    return key;
}

std::array<unsigned char, kIvSize> derive_iv(std::string_view iv_text) {
    std::array<unsigned char, kIvSize> iv{};
    // sscanf reads from the whole remaining text, as the gateway's callers always did: a
    // conversion may skip blanks or take a sign, and needs the terminating NUL.
    const std::string text{iv_text};
    const std::size_t pairs = std::min(text.size() / 2, iv.size());
    for (std::size_t i = 0; i < pairs; ++i) {
        std::sscanf(text.c_str() + 2 * i, "%2hhx", &iv[i]);
    }
    return iv;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> aes_256_cbc(CipherDirection direction,
                                                     std::span<const std::uint8_t> input,
                                                     std::string_view key_text,
                                                     std::string_view iv_text) {
    const bool encrypt = direction == CipherDirection::Encrypt;
    const char* failed = encrypt ? "Failed to encrypt" : "Failed to decrypt";
    // EVP counts in int; the update may write a block beyond the input, the final one more.
    if (input.size() > static_cast<std::size_t>(INT_MAX) - 2 * kAesBlock) {
        log_error("%s: %s", kStep, failed);
        return std::nullopt;
    }
    const std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context{
        EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free};
    const auto key = derive_key(key_text);
    const auto iv = derive_iv(iv_text);
    if (!context ||
        EVP_CipherInit_ex(context.get(), EVP_aes_256_cbc(), nullptr, key.data(), iv.data(),
                          encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(context.get(), 1) != 1) {
        log_error("%s: %s", kStep,
                  encrypt ? "EVP_EncryptInit_ex failed" : "EVP_DecryptInit_ex failed");
        return std::nullopt;
    }
    std::vector<std::uint8_t> output(input.size() + 2 * kAesBlock);
    int updated = 0;
    int finalised = 0;
    if (EVP_CipherUpdate(context.get(), output.data(), &updated, input.data(),
                         static_cast<int>(input.size())) != 1) {
        log_error("%s: %s", kStep, failed);
        return std::nullopt;
    }
    if (EVP_CipherFinal_ex(context.get(), output.data() + updated, &finalised) != 1) {
        log_error("%s: Failed to finalize %s", kStep, encrypt ? "encryption" : "decryption");
        return std::nullopt;
    }
    output.resize(static_cast<std::size_t>(updated + finalised));
    return output;
}

}  // namespace lld
