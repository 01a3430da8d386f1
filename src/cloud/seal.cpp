#include "cloud/seal.hpp"

#define ZLIB_CONST
#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <limits>
#include <memory>

namespace lld {
namespace {

constexpr std::size_t kKeySize = 32;
constexpr std::size_t kIvSize = 16;
constexpr std::size_t kAesBlock = 16;
constexpr int kGzipWindowBits = 15 + 16;  // 32 KiB window, gzip header and trailer
constexpr int kMemLevel = 8;
constexpr std::size_t kInflateRatio = 10;
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The step's name and ": ", then the message: two writes, so that a message without its own
// line feed runs on into the next diagnostic.
void print_diag(const char* step, const char* format, ...) __attribute__((format(printf, 2, 3)));
void print_diag(const char* step, const char* format, ...) {
    std::printf("%s: ", step);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}

void print_missing(const char* step, const char* iv_text, const char* text, const char* key_text) {
    print_diag(step, "%s(%p, %p, %p): Incorrect parameter \n", step,
               static_cast<const void*>(iv_text), static_cast<const void*>(text),
               static_cast<const void*>(key_text));
}

const char* zlib_message(const z_stream& stream) {
    return stream.msg != nullptr ? stream.msg : "(null)";
}

// zlib takes buffer sizes as uInt and every step here runs in one call.
bool fits_zlib(std::size_t size) {
    return size <= std::numeric_limits<uInt>::max();
}

// Owns a z_stream once its init has succeeded. end() ends it exactly once on the success path,
// where its result is reported; the failure paths leave the ending to the destructor.
template <int (*End)(z_streamp)>
class ZStream {
  public:
    ZStream() = default;
    ZStream(const ZStream&) = delete;
    ZStream& operator=(const ZStream&) = delete;
    ~ZStream() {
        if (live_) {
            End(&stream_);
        }
    }

    z_stream& get() { return stream_; }
    int started(int init_result) {
        live_ = init_result == Z_OK;
        return init_result;
    }
    int end() {
        live_ = false;
        return End(&stream_);
    }

  private:
    z_stream stream_{};
    bool live_ = false;
};

std::optional<std::vector<std::uint8_t>> haa_compress(std::string_view plain) {
    constexpr const char* kStep = "haa_compress";
    ZStream<deflateEnd> guard;
    z_stream& stream = guard.get();
    const int init = guard.started(deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED,
                                                kGzipWindowBits, kMemLevel, Z_DEFAULT_STRATEGY));
    if (init != Z_OK) {
        print_diag(kStep, "deflateInit2 returned %d", init);
        return std::nullopt;
    }
    const uLong bound = deflateBound(&stream, plain.size());
    // A plaintext too big for one zlib call counts as one whose buffer can't be had.
    if (!fits_zlib(plain.size()) || !fits_zlib(bound)) {
        print_diag(kStep, "malloc failed");
        return std::nullopt;
    }
    std::vector<std::uint8_t> compressed(bound);
    stream.next_in = reinterpret_cast<const Bytef*>(plain.data());
    stream.avail_in = static_cast<uInt>(plain.size());
    stream.next_out = compressed.data();
    stream.avail_out = static_cast<uInt>(compressed.size());
    const int result = deflate(&stream, Z_FINISH);
    if (result != Z_STREAM_END) {
        print_diag(kStep, "deflate failed (err=%d).", result);
        return std::nullopt;
    }
    compressed.resize(stream.total_out);
    const int end = guard.end();
    if (end != Z_OK) {
        print_diag(kStep, "deflateEnd failed (err=%d, %s). Ignoring error.", end,
                   zlib_message(stream));
    }
    print_diag(kStep, "uncompressed size=%zu, compressed size=%lu", plain.size(), stream.total_out);
    return compressed;
}

// Inflates at most ten times the compressed size, in one call.
std::optional<std::string> haa_decompress(std::span<const std::uint8_t> compressed) {
    constexpr const char* kStep = "haa_decompress";
    ZStream<inflateEnd> guard;
    z_stream& stream = guard.get();
    const int init = guard.started(inflateInit2(&stream, kGzipWindowBits));
    if (init != Z_OK) {
        print_diag(kStep, "inflateInit2 returned %d.", init);
        return std::nullopt;
    }
    // A room too big for one zlib call counts as one that can't be had.
    if (compressed.size() > std::numeric_limits<uInt>::max() / kInflateRatio) {
        print_diag(kStep, "malloc failed.");
        return std::nullopt;
    }
    std::string plain(kInflateRatio * compressed.size(), '\0');
    stream.next_in = compressed.data();
    stream.avail_in = static_cast<uInt>(compressed.size());
    stream.next_out = reinterpret_cast<Bytef*>(plain.data());
    stream.avail_out = static_cast<uInt>(plain.size());
    const int result = inflate(&stream, Z_FINISH);
    if (result != Z_STREAM_END) {
        print_diag(kStep, "inflate failed (err=%d).", result);
        return std::nullopt;
    }
    plain.resize(stream.total_out);
    const int end = guard.end();
    if (end != Z_OK) {
        print_diag(kStep, "inflateEnd failed (err=%d, %s). Ignoring error.", end,
                   zlib_message(stream));
    }
    print_diag(kStep, "compressed size=%zu, decompressed size=%lu", compressed.size(),
               stream.total_out);
    return plain;
}

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

std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
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

// The low four bits, plus 9 for a letter: right for hex digits of either case. Other
// characters are not rejected; they give some value and the cipher layer decides.
unsigned hex_value(char digit) {
    const auto c = static_cast<unsigned char>(digit);
    const unsigned lower = c | 0x20u;
    const bool letter = lower >= 'a' && lower <= 'z';
    return (c & 0x0Fu) + (letter ? 9u : 0u);
}

constexpr std::uint8_t kOutsideAlphabet = 0x80;

constexpr std::array<std::uint8_t, 256> kDecodeTable = [] {
    std::array<std::uint8_t, 256> table{};
    table.fill(kOutsideAlphabet);
    for (std::size_t i = 0; i + 1 < sizeof kAlphabet; ++i) {
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
    }
    table['='] = 0;
    return table;
}();

}  // namespace

int Aes_EncryptDecrypt(int direction, std::span<const std::uint8_t> input,
                       std::vector<std::uint8_t>& output, std::size_t& length,
                       std::string_view key_text, std::string_view iv_text) {
    constexpr const char* kStep = "Aes_EncryptDecrypt";
    if (key_text.data() == nullptr || iv_text.data() == nullptr) {
        print_diag(kStep, "One pointers is null (%p, %p, %p, %p, %p)\n",
                   static_cast<const void*>(input.data()),
                   static_cast<const void*>(key_text.data()),
                   static_cast<const void*>(iv_text.data()),
                   static_cast<const void*>(output.data()), static_cast<const void*>(&length));
        return 0;
    }
    const std::array<std::uint8_t, kKeySize> key = derive_key(key_text);
    const std::array<unsigned char, kIvSize> iv = derive_iv(iv_text);

    const bool encrypt = direction == 0;
    const std::size_t size = input.size();
    // Encrypting asks for more than padding ever adds: the next multiple of 32 above the input.
    const std::size_t needed = encrypt ? size + 2 * kAesBlock - size % (2 * kAesBlock) : size;
    if (length < needed) {
        print_diag(kStep, "Buffer too small (%zu < %zu)\n", length, needed);
        return 0;
    }

    const std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context{
        EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free};
    if (!context) {
        print_diag(kStep, "EVP_CIPHER_CTX_new failed\n");
        return 0;
    }
    if (EVP_CipherInit_ex(context.get(), EVP_aes_256_cbc(), nullptr, key.data(), iv.data(),
                          encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(context.get(), 1) != 1) {
        print_diag(kStep, "%s\n",
                   encrypt ? "EVP_EncryptInit_ex failed" : "EVP_DecryptInit_ex failed");
        return 0;
    }
    // EVP counts in int; the update may write a block beyond the input, the final one more.
    if (size > static_cast<std::size_t>(INT_MAX) - 2 * kAesBlock) {
        print_diag(kStep, "%s\n", encrypt ? "Failed to encrypt" : "Failed to decrypt");
        return 0;
    }
    output.assign(size + 2 * kAesBlock, 0);
    int updated = 0;
    if (EVP_CipherUpdate(context.get(), output.data(), &updated, input.data(),
                         static_cast<int>(size)) != 1) {
        output.clear();
        print_diag(kStep, "%s\n", encrypt ? "Failed to encrypt" : "Failed to decrypt");
        return 0;
    }
    int finalised = 0;
    const bool finished =
        EVP_CipherFinal_ex(context.get(), output.data() + updated, &finalised) == 1;
    length = static_cast<std::size_t>(updated) + static_cast<std::size_t>(finished ? finalised : 0);
    output.resize(length);
    if (!finished) {
        print_diag(kStep, "Failed to finalize %s\n", encrypt ? "encryption" : "decryption");
        return 0;
    }
    return 1;
}

std::optional<std::string> base64_encode(std::span<const std::uint8_t> bytes) {
    // 4/3 of the input, sized in 32 bits, overflows from 1 GiB on.
    constexpr std::size_t kMaxInput = std::size_t{1} << 30;
    if (bytes.size() >= kMaxInput) {
        return std::nullopt;
    }
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4 + 1);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned group = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        text += kAlphabet[(group >> 18) & 0x3F];
        text += kAlphabet[(group >> 12) & 0x3F];
        text += kAlphabet[(group >> 6) & 0x3F];
        text += kAlphabet[group & 0x3F];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        const unsigned group = (bytes[i] << 16) | (rest == 2 ? bytes[i + 1] << 8 : 0);
        text += kAlphabet[(group >> 18) & 0x3F];
        text += kAlphabet[(group >> 12) & 0x3F];
        text += rest == 2 ? kAlphabet[(group >> 6) & 0x3F] : '=';
        text += '=';
    }
    if (!text.empty()) {
        text += '\n';
    }
    return text;
}

std::optional<std::vector<std::uint8_t>> base64_decode(std::span<const std::uint8_t> text) {
    const auto in_table = [](std::uint8_t c) { return kDecodeTable[c] != kOutsideAlphabet; };
    const auto count = static_cast<std::size_t>(std::count_if(text.begin(), text.end(), in_table));
    if (count == 0 || count % 4 != 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes;
    bytes.reserve(count / 4 * 3);
    std::array<std::uint8_t, 4> group{};
    std::size_t filled = 0;
    std::size_t fill_signs = 0;
    for (const std::uint8_t c : text) {
        if (!in_table(c)) {
            continue;
        }
        if (c == '=') {
            ++fill_signs;
        }
        group[filled++] = kDecodeTable[c];
        if (filled < group.size()) {
            continue;
        }
        filled = 0;
        bytes.push_back(static_cast<std::uint8_t>((group[0] << 2) | (group[1] >> 4)));
        bytes.push_back(static_cast<std::uint8_t>((group[1] << 4) | (group[2] >> 2)));
        bytes.push_back(static_cast<std::uint8_t>((group[2] << 6) | group[3]));
        if (fill_signs == 0) {
            continue;
        }
        if (fill_signs > 2) {
            return std::nullopt;
        }
        bytes.resize(bytes.size() - fill_signs);
        break;
    }
    return bytes;
}

std::optional<std::string> haa_encrypt_cloud_message(const char* iv_text, const char* plaintext,
                                                     const char* key_text) {
    constexpr const char* kStep = "haa_encrypt_cloud_message";
    if (iv_text == nullptr || plaintext == nullptr || key_text == nullptr) {
        print_missing(kStep, iv_text, plaintext, key_text);
        return std::nullopt;
    }
    const std::optional<std::vector<std::uint8_t>> compressed = haa_compress(plaintext);
    if (!compressed) {
        print_diag(kStep, "Compression failed\n");
        return std::nullopt;
    }
    const std::optional<std::string> base64 = base64_encode(*compressed);
    if (!base64) {
        print_diag(kStep, "error base64\n");
        return std::nullopt;
    }
    std::size_t length = 2 * base64->size();
    print_diag(kStep, "Base64 (%zu): %s\n", base64->size(), base64->c_str());
    std::vector<std::uint8_t> cipher;
    if (Aes_EncryptDecrypt(0, bytes_of(*base64), cipher, length, key_text, iv_text) != 1) {
        print_diag(kStep, "Base64 failed.\n");
        return std::nullopt;
    }
    return to_hex(cipher);
}

std::optional<std::string> haa_decrypt_cloud_message(const char* iv_text, const char* sealed_text,
                                                     const char* key_text) {
    constexpr const char* kStep = "haa_decrypt_cloud_message";
    if (iv_text == nullptr || sealed_text == nullptr || key_text == nullptr) {
        print_missing(kStep, iv_text, sealed_text, key_text);
        return std::nullopt;
    }
    const std::string_view sealed{sealed_text};
    std::vector<std::uint8_t> cipher(sealed.size() / 2);
    for (std::size_t i = 0; i < cipher.size(); ++i) {
        cipher[i] = static_cast<std::uint8_t>((hex_value(sealed[2 * i]) << 4) |
                                              hex_value(sealed[2 * i + 1]));
    }
    std::size_t length = sealed.size();
    std::vector<std::uint8_t> base64;
    if (Aes_EncryptDecrypt(1, cipher, base64, length, key_text, iv_text) != 1) {
        print_diag(kStep, "Error decrypt\n");
        return std::nullopt;
    }
    const std::optional<std::vector<std::uint8_t>> compressed = base64_decode(base64);
    if (!compressed) {
        print_diag(kStep, "Error base64 decod\n");
        return std::nullopt;
    }
    std::optional<std::string> plaintext = haa_decompress(*compressed);
    if (!plaintext) {
        print_diag(kStep, "Error decompression\n");
    }
    return plaintext;
}

}  // namespace lld
