#include "cloud/seal.hpp"

#include "common/shell.hpp"

#define ZLIB_CONST
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <stdlib.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace lld {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr const char* kIv = "000102030405060708090a0b0c0d0e0f";
constexpr const char* kKey = "D8:B6:B7:12:34:56";

std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string text_of(std::span<const std::uint8_t> bytes) {
    return {bytes.begin(), bytes.end()};
}

// Runs f with standard output captured; returns f's result and what it printed.
template <class F>
auto captured(F f) {
    testing::internal::CaptureStdout();
    auto result = f();
    std::string printed = testing::internal::GetCapturedStdout();
    return std::pair{std::move(result), std::move(printed)};
}

std::optional<std::string> seal(const char* iv_text, const std::string& plaintext,
                                const char* key_text) {
    return captured([&] { return haa_encrypt_cloud_message(iv_text, plaintext.c_str(), key_text); })
        .first;
}

std::optional<std::string> unseal(const char* iv_text, const std::string& sealed,
                                  const char* key_text) {
    return captured([&] { return haa_decrypt_cloud_message(iv_text, sealed.c_str(), key_text); })
        .first;
}

std::string hex_of(std::span<const std::uint8_t> bytes, bool upper = false) {
    std::string hex;
    for (const std::uint8_t byte : bytes) {
        char pair[3];
        std::snprintf(pair, sizeof pair, upper ? "%02X" : "%02x", byte);
        hex += pair;
    }
    return hex;
}

Bytes unhex(std::string_view hex) {
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(
            static_cast<std::uint8_t>(std::stoi(std::string{hex.substr(i, 2)}, nullptr, 16)));
    }
    return bytes;
}

bool lowercase_hex(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string random_text(std::mt19937& rng, std::size_t length, int lowest, int highest) {
    std::uniform_int_distribution<int> byte{lowest, highest};
    std::string text(length, '\0');
    for (char& c : text) {
        c = static_cast<char>(byte(rng));
    }
    return text;
}

// The cipher layer done by OpenSSL directly, with key and IV given as bytes.
Bytes evp_encrypt(std::span<const std::uint8_t> data, std::span<const std::uint8_t, 32> key,
                  std::span<const std::uint8_t, 16> iv) {
    const std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context{
        EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free};
    Bytes out(data.size() + 32);
    int updated = 0;
    int finalised = 0;
    EXPECT_EQ(EVP_EncryptInit_ex(context.get(), EVP_aes_256_cbc(), nullptr, key.data(), iv.data()),
              1);
    EXPECT_EQ(EVP_EncryptUpdate(context.get(), out.data(), &updated, data.data(),
                                static_cast<int>(data.size())),
              1);
    EXPECT_EQ(EVP_EncryptFinal_ex(context.get(), out.data() + updated, &finalised), 1);
    out.resize(static_cast<std::size_t>(updated + finalised));
    return out;
}

Bytes aes(int direction, std::span<const std::uint8_t> data, std::string_view key_text,
          std::string_view iv_text) {
    Bytes out;
    std::size_t length = data.size() + 32;
    const auto [result, printed] = captured(
        [&] { return Aes_EncryptDecrypt(direction, data, out, length, key_text, iv_text); });
    EXPECT_EQ(result, 1) << printed;
    return out;
}

// A gzip member of `plain` whose header carries an extra field of `extra_size` bytes.
Bytes gzip_member(std::string_view plain, std::size_t extra_size) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY),
              Z_OK);
    Bytes extra(extra_size, 'x');
    gz_header header{};
    header.os = 3;
    if (extra_size > 0) {
        header.extra = extra.data();
        header.extra_len = static_cast<uInt>(extra_size);
        EXPECT_EQ(deflateSetHeader(&stream, &header), Z_OK);
    }
    Bytes out(plain.size() + extra_size + 1024);
    stream.next_in = reinterpret_cast<const Bytef*>(plain.data());
    stream.avail_in = static_cast<uInt>(plain.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

// A valid gzip member of `plain` that is exactly `size` bytes long, padded in its header.
Bytes gzip_of_size(std::string_view plain, std::size_t size) {
    constexpr std::size_t kExtraLengthField = 2;
    const std::size_t bare = gzip_member(plain, 0).size();
    EXPECT_LE(bare + kExtraLengthField, size);
    Bytes gz = gzip_member(plain, size - bare - kExtraLengthField);
    EXPECT_EQ(gz.size(), size);
    return gz;
}

// A sealed text around a Base64 layer of our own making.
std::string seal_layer(std::string_view base64_layer, const char* iv_text, const char* key_text) {
    return hex_of(aes(0, bytes_of(base64_layer), key_text, iv_text));
}

std::string seal_gzip(std::span<const std::uint8_t> gz, const char* iv_text, const char* key_text) {
    const std::optional<std::string> base64 = base64_encode(gz);
    EXPECT_TRUE(base64.has_value());
    return seal_layer(base64.value_or(""), iv_text, key_text);
}

std::string pointer_text(const void* pointer) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", pointer);
    return text;
}

// --- round trips and lengths ---

TEST(SealRoundTrip, TableOfPlaintexts) {
    std::mt19937 rng{20240611};
    std::string every_byte;
    for (int c = 1; c < 256; ++c) {
        every_byte += static_cast<char>(c);
    }
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"empty", ""},
        {"one character", "a"},
        {"password", "s3cr3t-Passw0rd!"},
        {"blanks, tabs and line feeds", "p@ss w0rd\twith\ttabs\nand lines\n"},
        {"15 characters", "abcdefghijklmno"},
        {"47 characters", "The quick brown fox jumps over the lazy dog 123"},
        {"48 characters", "The quick brown fox jumps over the lazy dog 1234"},
        {"UTF-8", "Grüße aus dem Kabelnetz, 你好, ✓"},
        {"every byte but NUL", every_byte},
        {"10000 random printable", random_text(rng, 10000, 0x20, 0x7E)},
        {"200000 random bytes", random_text(rng, 200000, 1, 255)},
    };
    for (const auto& [name, plaintext] : cases) {
        SCOPED_TRACE(name);
        const std::optional<std::string> sealed = seal(kIv, plaintext, kKey);
        ASSERT_TRUE(sealed.has_value());
        EXPECT_TRUE(lowercase_hex(*sealed));
        EXPECT_EQ(sealed->size() % 32, 0u);
        EXPECT_EQ(unseal(kIv, *sealed, kKey), plaintext);
    }
}

TEST(SealRoundTrip, RandomTextsKeysAndIvs) {
    std::mt19937 rng{1234567};
    std::uniform_int_distribution<std::size_t> text_length{0, 3000};
    std::uniform_int_distribution<std::size_t> key_length{0, 48};
    std::uniform_int_distribution<std::size_t> iv_length{0, 40};
    std::uniform_int_distribution<int> kind{0, 2};
    for (int round = 0; round < 300; ++round) {
        const int k = kind(rng);
        const std::string plaintext = k == 0   ? random_text(rng, text_length(rng), 1, 255)
                                      : k == 1 ? random_text(rng, text_length(rng), 0x20, 0x7E)
                                               : random_text(rng, text_length(rng), 'a', 'd');
        const std::string key = random_text(rng, key_length(rng), 1, 255);
        const std::string iv = random_text(rng, iv_length(rng), '0', 'g');
        const std::optional<std::string> sealed = seal(iv.c_str(), plaintext, key.c_str());
        ASSERT_TRUE(sealed.has_value()) << "round " << round;
        EXPECT_TRUE(lowercase_hex(*sealed));
        EXPECT_EQ(sealed->size() % 32, 0u);
        EXPECT_EQ(unseal(iv.c_str(), *sealed, key.c_str()), plaintext) << "round " << round;
    }
}

TEST(SealLength, EmptyPlaintextSealsTo64HexDigits) {
    const auto [sealed, printed] =
        captured([] { return haa_encrypt_cloud_message(kIv, "", kKey); });
    ASSERT_TRUE(sealed.has_value());
    EXPECT_EQ(sealed->size(), 64u);
    EXPECT_TRUE(lowercase_hex(*sealed));
    EXPECT_EQ(printed,
              "haa_compress: uncompressed size=0, compressed size=20"
              "haa_encrypt_cloud_message: Base64 (29): H4sIAAAAAAAAAwMAAAAAAAAAAAA=\n\n");
}

TEST(SealLength, LayersHaveTheirLengths) {
    std::mt19937 rng{7};
    for (std::size_t length = 0; length <= 200; ++length) {
        SCOPED_TRACE("plaintext length " + std::to_string(length));
        const std::optional<std::string> sealed =
            seal(kIv, random_text(rng, length, 0x20, 0x7E), kKey);
        ASSERT_TRUE(sealed.has_value());
        const std::string base64 = text_of(aes(1, unhex(*sealed), kKey, kIv));
        ASSERT_FALSE(base64.empty());
        EXPECT_EQ(base64.back(), '\n');
        EXPECT_EQ(std::count(base64.begin(), base64.end(), '\n'), 1);
        EXPECT_EQ(sealed->size(), 2 * (base64.size() / 16 + 1) * 16);
        const std::optional<Bytes> gz = base64_decode(bytes_of(base64));
        ASSERT_TRUE(gz.has_value());
        ASSERT_GE(gz->size(), 20u);
        EXPECT_EQ(base64.size(), 4 * ((gz->size() + 2) / 3) + 1);
        EXPECT_EQ((*gz)[0], 0x1F);
        EXPECT_EQ((*gz)[1], 0x8B);
        EXPECT_EQ((*gz)[2], Z_DEFLATED);
    }
}

// --- key and IV ---

TEST(SealKey, TextsEqualInFirst32BytesSealAlike) {
    const std::string plaintext = "s3cr3t-Passw0rd!";
    const std::optional<std::string> first =
        seal(kIv, plaintext, "0123456789abcdef0123456789ABCDEF-one tail");
    const std::optional<std::string> second =
        seal(kIv, plaintext, "0123456789abcdef0123456789ABCDEF+another");
    const std::optional<std::string> exact =
        seal(kIv, plaintext, "0123456789abcdef0123456789ABCDEF");
    const std::optional<std::string> other =
        seal(kIv, plaintext, "0123456789abcdef0123456789ABCDEX");
    ASSERT_TRUE(first && second && exact && other);
    EXPECT_EQ(*first, *second);
    EXPECT_EQ(*first, *exact);
    EXPECT_NE(*first, *other);
}

TEST(SealKey, ShortKeyIsZeroFilled) {
    const std::string data = "H4sIAAAAAAAAAwMAAAAAAAAAAAA=\n";
    const std::string padded{"cm\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 32};
    const Bytes with_short = aes(0, bytes_of(data), "cm", kIv);
    EXPECT_EQ(with_short, aes(0, bytes_of(data), padded, kIv));
    std::array<std::uint8_t, 32> key{};
    key[0] = 'c';
    key[1] = 'm';
    const Bytes iv = unhex(kIv);
    EXPECT_EQ(with_short, evp_encrypt(bytes_of(data), key, std::span<const std::uint8_t, 16>{iv}));
    // An empty key text is the all-zero key.
    EXPECT_EQ(aes(0, bytes_of(data), "", kIv),
              evp_encrypt(bytes_of(data), std::array<std::uint8_t, 32>{},
                          std::span<const std::uint8_t, 16>{iv}));
}

TEST(SealIv, TextsGiveTheirBytes) {
    struct Case {
        const char* iv_text;
        const char* iv_hex;
    };
    const Case cases[] = {
        {"", "00000000000000000000000000000000"},
        {"0102", "01020000000000000000000000000000"},
        {"010", "01000000000000000000000000000000"},
        {"zz11", "00110000000000000000000000000000"},
        {"g012", "00120000000000000000000000000000"},
        {"A1b2C3", "a1b2c300000000000000000000000000"},
        {"00112233445566778899aabbccddeeff12", "00112233445566778899aabbccddeeff"},
        // A pair converts as much as "%2hhx" takes of it: "0g" gives 0x00.
        {"0g12", "00120000000000000000000000000000"},
    };
    const std::string data = "some Base64 layer\n";
    std::array<std::uint8_t, 32> key{};
    std::copy_n(kKey, std::char_traits<char>::length(kKey), key.begin());
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string{"IV text \""} + c.iv_text + "\"");
        const Bytes iv = unhex(c.iv_hex);
        EXPECT_EQ(aes(0, bytes_of(data), kKey, c.iv_text),
                  evp_encrypt(bytes_of(data), key, std::span<const std::uint8_t, 16>{iv}));
    }
}

TEST(SealIv, ShortAndNonHexTextsSealAsTheirBytes) {
    const std::string plaintext = "s3cr3t-Passw0rd!";
    EXPECT_EQ(seal("0102", plaintext, kKey),
              seal("01020000000000000000000000000000", plaintext, kKey));
    EXPECT_EQ(seal("zz0102", plaintext, kKey), seal("000102", plaintext, kKey));
    EXPECT_EQ(seal("0102f", plaintext, kKey), seal("0102", plaintext, kKey));
    EXPECT_NE(seal("0102", plaintext, kKey), seal("0103", plaintext, kKey));
    const std::optional<std::string> sealed = seal("01zz", plaintext, kKey);
    ASSERT_TRUE(sealed.has_value());
    EXPECT_EQ(unseal("0100", *sealed, kKey), plaintext);
}

// --- unsealing ---

TEST(Unseal, AcceptsUppercaseAndIgnoresOddLastDigit) {
    const std::string plaintext = "s3cr3t-Passw0rd!";
    const std::optional<std::string> sealed = seal(kIv, plaintext, kKey);
    ASSERT_TRUE(sealed.has_value());
    std::string upper = *sealed;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) {
        return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    });
    ASSERT_NE(upper, *sealed);
    EXPECT_EQ(unseal(kIv, upper, kKey), plaintext);
    EXPECT_EQ(unseal(kIv, *sealed + "7", kKey), plaintext);
    EXPECT_EQ(unseal(kIv, upper + "F", kKey), plaintext);
}

TEST(Unseal, SuccessReportsSizes) {
    const Bytes gz = gzip_member("hello", 0);
    const std::string sealed = seal_gzip(gz, kIv, kKey);
    const auto [plaintext, printed] =
        captured([&] { return haa_decrypt_cloud_message(kIv, sealed.c_str(), kKey); });
    EXPECT_EQ(plaintext, "hello");
    EXPECT_EQ(printed, "haa_decompress: compressed size=" + std::to_string(gz.size()) +
                           ", decompressed size=5");
}

TEST(Unseal, FailuresReportTheirStep) {
    const std::string not_gzip = base64_encode(bytes_of("a plain text, not gzip")).value();
    const std::pair<const char*, std::string> base64_errors[] = {
        {"7 characters", "H4sIAAA\n"},  {"5 characters", "H4sIA"},
        {"no characters", ""},          {"only blanks and line feeds", " \n\t\n"},
        {"three fill signs", "H===\n"}, {"four fill signs", "====\n"},
    };
    for (const auto& [name, layer] : base64_errors) {
        SCOPED_TRACE(name);
        const std::string sealed = seal_layer(layer, kIv, kKey);
        const auto [plaintext, printed] =
            captured([&] { return haa_decrypt_cloud_message(kIv, sealed.c_str(), kKey); });
        EXPECT_FALSE(plaintext.has_value());
        EXPECT_EQ(printed, "haa_decrypt_cloud_message: Error base64 decod\n");
    }

    const std::string sealed = seal_layer(not_gzip, kIv, kKey);
    const auto [plaintext, printed] =
        captured([&] { return haa_decrypt_cloud_message(kIv, sealed.c_str(), kKey); });
    EXPECT_FALSE(plaintext.has_value());
    EXPECT_EQ(printed, "haa_decompress: inflate failed (err=" + std::to_string(Z_DATA_ERROR) +
                           ").haa_decrypt_cloud_message: Error decompression\n");
}

TEST(Unseal, CipherTextOfNoWholeBlockIsDecryptError) {
    for (const std::string sealed : {"", "00112233445566778899", "0"}) {
        SCOPED_TRACE("\"" + sealed + "\"");
        const auto [plaintext, printed] =
            captured([&] { return haa_decrypt_cloud_message(kIv, sealed.c_str(), kKey); });
        EXPECT_FALSE(plaintext.has_value());
        EXPECT_EQ(printed,
                  "Aes_EncryptDecrypt: Failed to finalize decryption\n"
                  "haa_decrypt_cloud_message: Error decrypt\n");
    }
}

TEST(Unseal, PlaintextOfTenTimesTheGzipSizeFits) {
    const std::string plaintext(1000, 'a');
    const Bytes gz = gzip_of_size(plaintext, 100);
    const std::string sealed = seal_gzip(gz, kIv, kKey);
    const auto [unsealed, printed] =
        captured([&] { return haa_decrypt_cloud_message(kIv, sealed.c_str(), kKey); });
    EXPECT_EQ(unsealed, plaintext);
    EXPECT_EQ(printed, "haa_decompress: compressed size=100, decompressed size=1000");
}

TEST(Unseal, PlaintextOfMoreThanTenTimesTheGzipSizeFails) {
    const std::string expected =
        "haa_decompress: inflate failed (err=" + std::to_string(Z_BUF_ERROR) +
        ").haa_decrypt_cloud_message: Error decompression\n";
    for (const std::size_t length : {1001u, 1100u}) {
        SCOPED_TRACE("plaintext length " + std::to_string(length));
        const std::string sealed =
            seal_gzip(gzip_of_size(std::string(length, 'a'), 100), kIv, kKey);
        const auto [unsealed, printed] =
            captured([&] { return haa_decrypt_cloud_message(kIv, sealed.c_str(), kKey); });
        EXPECT_FALSE(unsealed.has_value());
        EXPECT_EQ(printed, expected);
    }
    // Sealing has no such limit, so a very repetitive plaintext seals but never unseals.
    const std::optional<std::string> sealed = seal(kIv, std::string(10000, 'a'), kKey);
    ASSERT_TRUE(sealed.has_value());
    EXPECT_FALSE(unseal(kIv, *sealed, kKey).has_value());
}

TEST(SealParameters, MissingTextIsIncorrectParameter) {
    using Operation = std::optional<std::string> (*)(const char*, const char*, const char*);
    const std::pair<const char*, Operation> operations[] = {
        {"haa_encrypt_cloud_message", &haa_encrypt_cloud_message},
        {"haa_decrypt_cloud_message", &haa_decrypt_cloud_message},
    };
    const char* const text = "text";
    const std::array<std::array<const char*, 3>, 4> argument_sets = {{
        {nullptr, text, kKey},
        {kIv, nullptr, kKey},
        {kIv, text, nullptr},
        {nullptr, nullptr, nullptr},
    }};
    for (const auto& [name, operation] : operations) {
        for (const auto& args : argument_sets) {
            const Operation call = operation;
            const auto [result, printed] =
                captured([&] { return call(args[0], args[1], args[2]); });
            EXPECT_FALSE(result.has_value()) << name;
            EXPECT_EQ(printed, std::string{name} + ": " + name + "(" + pointer_text(args[0]) +
                                   ", " + pointer_text(args[1]) + ", " + pointer_text(args[2]) +
                                   "): Incorrect parameter \n");
        }
    }
}

// --- the cipher layer ---

TEST(AesEncryptDecrypt, CapacityRule) {
    struct Case {
        int direction;
        std::size_t input;
        std::size_t capacity;
        bool fits;
    };
    const Case cases[] = {
        {0, 0, 31, false}, {0, 0, 32, true},   {0, 31, 31, false},
        {0, 31, 32, true}, {0, 32, 63, false}, {0, 32, 64, true},
        {0, 33, 64, true}, {1, 32, 31, false}, {1, 32, 32, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("direction " + std::to_string(c.direction) + ", input " +
                     std::to_string(c.input) + ", capacity " + std::to_string(c.capacity));
        // Decrypting needs a real cipher text of that length.
        const Bytes input =
            c.direction == 0 ? Bytes(c.input, 'x') : aes(0, Bytes(c.input - 16, 'x'), kKey, kIv);
        ASSERT_EQ(input.size(), c.input);
        Bytes output;
        std::size_t length = c.capacity;
        const auto [result, printed] = captured(
            [&] { return Aes_EncryptDecrypt(c.direction, input, output, length, kKey, kIv); });
        if (c.fits) {
            EXPECT_EQ(result, 1);
            EXPECT_EQ(printed, "");
            EXPECT_EQ(length, output.size());
            EXPECT_EQ(length, c.direction == 0 ? (c.input / 16 + 1) * 16 : c.input - 16);
        } else {
            const std::size_t needed = c.direction == 0 ? (c.input / 32 + 1) * 32 : c.input;
            EXPECT_EQ(result, 0);
            EXPECT_EQ(length, c.capacity);
            EXPECT_EQ(printed, "Aes_EncryptDecrypt: Buffer too small (" +
                                   std::to_string(c.capacity) + " < " + std::to_string(needed) +
                                   ")\n");
        }
    }
}

TEST(AesEncryptDecrypt, FailedFinalisationKeepsTheLengthWritten) {
    const std::string data(32, 'd');
    Bytes cipher = aes(0, bytes_of(data), kKey, kIv);
    ASSERT_EQ(cipher.size(), 48u);
    // The last block is all padding; flipping a bit of the block before it spoils the padding.
    cipher[31] ^= 0x01;
    Bytes output;
    std::size_t length = cipher.size();
    const auto [result, printed] =
        captured([&] { return Aes_EncryptDecrypt(1, cipher, output, length, kKey, kIv); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(printed, "Aes_EncryptDecrypt: Failed to finalize decryption\n");
    EXPECT_EQ(length, 32u);
    ASSERT_EQ(output.size(), 32u);
    EXPECT_EQ(text_of(std::span{output}.first(16)), data.substr(0, 16));
}

TEST(AesEncryptDecrypt, AnyNonZeroDirectionDecrypts) {
    const std::string data = "layer\n";
    const Bytes cipher = aes(0, bytes_of(data), kKey, kIv);
    EXPECT_EQ(text_of(aes(1, cipher, kKey, kIv)), data);
    EXPECT_EQ(text_of(aes(-3, cipher, kKey, kIv)), data);
}

TEST(AesEncryptDecrypt, MissingKeyOrIvTextIsReported) {
    const Bytes input(16, 'x');
    for (const auto& texts : {std::pair{std::string_view{}, std::string_view{kIv}},
                              std::pair{std::string_view{kKey}, std::string_view{}}}) {
        const std::string_view key = texts.first;
        const std::string_view iv = texts.second;
        Bytes output;
        std::size_t length = 64;
        const auto [result, printed] =
            captured([&] { return Aes_EncryptDecrypt(0, input, output, length, key, iv); });
        EXPECT_EQ(result, 0);
        EXPECT_EQ(printed, "Aes_EncryptDecrypt: One pointers is null (" +
                               pointer_text(input.data()) + ", " + pointer_text(key.data()) + ", " +
                               pointer_text(iv.data()) + ", " + pointer_text(output.data()) + ", " +
                               pointer_text(&length) + ")\n");
    }
}

// --- Base64 ---

TEST(Base64, EncodeTable) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"f", "Zg==\n"},
        {"fo", "Zm8=\n"},
        {"foo", "Zm9v\n"},
        {"foob", "Zm9vYg==\n"},
        {"fooba", "Zm9vYmE=\n"},
        {"foobar", "Zm9vYmFy\n"},
        {std::string{"\xFF\xFE\x00", 3}, "//4A\n"},
        {std::string{"\xFB\xEF\xBE", 3}, "++++\n"},
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(base64_encode(bytes_of(bytes)), text) << hex_of(bytes_of(bytes));
    }
}

TEST(Base64, DecodeTable) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"Zg==", "f"},
        {"Zm8=", "fo"},
        {"Zm9v", "foo"},
        {"Zm9v\n", "foo"},
        {"Zm9vYg==\n", "foob"},
        {"//4A", std::string{"\xFF\xFE\x00", 3}},
        // Characters outside the alphabet are skipped wherever they stand.
        {"Z m\t9\nv*", "foo"},
        // Decoding stops after the first group holding "=".
        {"Zg==Zm9v", "f"},
        {"Zg=A", std::string{"f\0", 2}},
        {"", std::nullopt},
        {"\n", std::nullopt},
        {"Zm9", std::nullopt},
        {"Zm9vY", std::nullopt},
        {"Zm9vYg=", std::nullopt},
        {"Z===", std::nullopt},
        {"====", std::nullopt},
        {"Zm9vZ===", std::nullopt},
    };
    for (const auto& [text, bytes] : cases) {
        SCOPED_TRACE("\"" + text + "\"");
        const std::optional<Bytes> decoded = base64_decode(bytes_of(text));
        ASSERT_EQ(decoded.has_value(), bytes.has_value());
        if (decoded) {
            EXPECT_EQ(text_of(*decoded), *bytes);
        }
    }
}

TEST(Base64, RandomBytesRoundTrip) {
    std::mt19937 rng{99};
    std::uniform_int_distribution<std::size_t> length{0, 200};
    for (int round = 0; round < 1000; ++round) {
        const std::string bytes = random_text(rng, length(rng), 0, 255);
        const std::optional<std::string> text = base64_encode(bytes_of(bytes));
        ASSERT_TRUE(text.has_value());
        EXPECT_EQ(text->size(), bytes.empty() ? 0 : 4 * ((bytes.size() + 2) / 3) + 1);
        if (!bytes.empty()) {
            const std::optional<Bytes> decoded = base64_decode(bytes_of(*text));
            ASSERT_TRUE(decoded.has_value());
            EXPECT_EQ(text_of(*decoded), bytes);
        }
    }
}

// --- against the openssl, base64 and gzip command-line tools ---

class TempDir {
public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "seal_test.XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) {
            std::filesystem::remove_all(path_, ignored);
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool ok() const { return !path_.empty(); }
    std::string file(const char* name) const { return "'" + (path_ / name).string() + "'"; }
    std::filesystem::path path(const char* name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

void write_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
    std::ofstream out{path, std::ios::binary};
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in{path, std::ios::binary};
    return {std::istreambuf_iterator<char>{in}, std::istreambuf_iterator<char>{}};
}

bool have_command(const char* name) {
    return shell().run(std::string{"command -v "} + name + " >/dev/null 2>&1") == 0;
}

struct CliCase {
    const char* name;
    const char* iv_text;
    const char* iv_hex;  // the IV the text stands for
    const char* key_text;
    const char* key_hex;  // the key the text stands for: 32 bytes, zero-filled
    std::string plaintext;
};

std::vector<CliCase> cli_cases() {
    std::mt19937 rng{4242};
    return {
        {"full IV, key text beyond 32 bytes", "000102030405060708090a0b0c0d0e0f",
         "000102030405060708090a0b0c0d0e0f", "0123456789abcdef0123456789ABCDEF-ignored",
         "3031323334353637383961626364656630313233343536373839414243444546", "cloud-password-1"},
        {"short key, short uppercase IV", "A1B2", "a1b20000000000000000000000000000",
         "D8:B6:B7:12:34:56", "44383a42363a42373a31323a33343a3536000000000000000000000000000000",
         "Grüße aus dem Kabelnetz\n\ttab"},
        {"empty plaintext, non-hex pair, odd IV text", "zz0102030",
         "00010203000000000000000000000000", "k",
         "6b00000000000000000000000000000000000000000000000000000000000000", ""},
        {"long binary-ish plaintext, 32-byte key", "ffeeddccbbaa99887766554433221100",
         "ffeeddccbbaa99887766554433221100", "gw-7f3a9c0d11e2b4a5c6d7e8f901234",
         "67772d3766336139633064313165326234613563366437653866393031323334",
         random_text(rng, 20000, 1, 255)},
    };
}

TEST(SealCommandLine, OpensslBase64AndGunzipOpenSealedText) {
    if (!have_command("openssl") || !have_command("gzip")) {
        GTEST_SKIP() << "the openssl or gzip command is not installed";
    }
    const TempDir dir;
    ASSERT_TRUE(dir.ok());
    for (const CliCase& c : cli_cases()) {
        SCOPED_TRACE(c.name);
        const std::optional<std::string> sealed = seal(c.iv_text, c.plaintext, c.key_text);
        ASSERT_TRUE(sealed.has_value());
        write_file(dir.path("sealed.bin"), unhex(*sealed));
        const std::string command =
            std::string{"openssl enc -d -aes-256-cbc -K "} + c.key_hex + " -iv " + c.iv_hex +
            " -in " + dir.file("sealed.bin") + " -out " + dir.file("layer.b64") + " && base64 -d " +
            dir.file("layer.b64") + " > " + dir.file("layer.gz") + " && gunzip -c " +
            dir.file("layer.gz") + " > " + dir.file("plain.txt");
        ASSERT_EQ(shell().run(command), 0) << command;
        EXPECT_EQ(read_file(dir.path("plain.txt")), c.plaintext);
        const std::string base64 = read_file(dir.path("layer.b64"));
        EXPECT_EQ(std::count(base64.begin(), base64.end(), '\n'), 1);
        EXPECT_TRUE(!base64.empty() && base64.back() == '\n');
    }
}

TEST(SealCommandLine, TextSealedByGzipBase64AndOpensslUnseals) {
    if (!have_command("openssl") || !have_command("gzip")) {
        GTEST_SKIP() << "the openssl or gzip command is not installed";
    }
    const TempDir dir;
    ASSERT_TRUE(dir.ok());
    for (const CliCase& c : cli_cases()) {
        SCOPED_TRACE(c.name);
        write_file(dir.path("plain.txt"), bytes_of(c.plaintext));
        const std::string command = "gzip -c < " + dir.file("plain.txt") + " | base64 -w0 > " +
                                    dir.file("layer.b64") + " && echo >> " + dir.file("layer.b64") +
                                    " && openssl enc -aes-256-cbc -K " + c.key_hex + " -iv " +
                                    c.iv_hex + " -in " + dir.file("layer.b64") + " -out " +
                                    dir.file("sealed.bin");
        ASSERT_EQ(shell().run(command), 0) << command;
        const std::string cipher = read_file(dir.path("sealed.bin"));
        ASSERT_EQ(cipher.size() % 16, 0u);
        EXPECT_EQ(unseal(c.iv_text, hex_of(bytes_of(cipher)), c.key_text), c.plaintext);
        EXPECT_EQ(unseal(c.iv_text, hex_of(bytes_of(cipher), true), c.key_text), c.plaintext);
    }
}

}  // namespace
}  // namespace lld
