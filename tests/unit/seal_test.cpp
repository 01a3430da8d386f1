#include "cloud/seal.hpp"

#include "common/shell.hpp"
#include "test_support.hpp"

#define ZLIB_CONST
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
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
    return std::pair{std::move(result), testing::internal::GetCapturedStdout()};
}

std::optional<std::string> seal(const char* iv_text, const std::string& plaintext,
                                const char* key_text) {
    return captured([&] { return haa_encrypt_cloud_message(iv_text, plaintext.c_str(), key_text); })
        .first;
}

auto unseal_printing(const char* iv_text, const std::string& sealed, const char* key_text) {
    return captured([&] { return haa_decrypt_cloud_message(iv_text, sealed.c_str(), key_text); });
}

std::optional<std::string> unseal(const char* iv, const std::string& sealed, const char* key) {
    return unseal_printing(iv, sealed, key).first;
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

std::string random_text(std::mt19937& rng, std::size_t length, int lowest, int highest) {
    std::uniform_int_distribution<int> byte{lowest, highest};
    std::string text(length, '\0');
    for (char& c : text) {
        c = static_cast<char>(byte(rng));
    }
    return text;
}

// The cipher layer done by OpenSSL directly, with 32 key bytes and 16 IV bytes.
Bytes evp_encrypt(std::span<const std::uint8_t> data, const std::uint8_t* key,
                  const std::uint8_t* iv) {
    const std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context{
        EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free};
    Bytes out(data.size() + 32);
    int updated = 0, finalised = 0;
    const bool ok = EVP_EncryptInit_ex(context.get(), EVP_aes_256_cbc(), nullptr, key, iv) == 1 &&
                    EVP_EncryptUpdate(context.get(), out.data(), &updated, data.data(),
                                      static_cast<int>(data.size())) == 1 &&
                    EVP_EncryptFinal_ex(context.get(), out.data() + updated, &finalised) == 1;
    EXPECT_TRUE(ok);
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

// A sealed text around a Base64 layer of our own making.
std::string seal_layer(std::string_view base64_layer) {
    return hex_of(aes(0, bytes_of(base64_layer), kKey, kIv));
}

// A sealed text around a gzip layer of `plain` that trailing zero bytes, which inflate leaves
// unread, fill up to `size` bytes.
std::string seal_gzip_of_size(std::string_view plain, std::size_t size) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY),
              Z_OK);
    Bytes gz(size);
    stream.next_in = reinterpret_cast<const Bytef*>(plain.data());
    stream.avail_in = static_cast<uInt>(plain.size());
    stream.next_out = gz.data();
    stream.avail_out = static_cast<uInt>(gz.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    deflateEnd(&stream);
    return seal_layer(base64_encode(gz).value_or(""));
}

std::string pointer_text(const void* pointer) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", pointer);
    return text;
}

void expect_round_trip(const char* iv_text, const std::string& plaintext, const char* key_text) {
    const std::optional<std::string> sealed = seal(iv_text, plaintext, key_text);
    ASSERT_TRUE(sealed.has_value());
    EXPECT_TRUE(std::all_of(sealed->begin(), sealed->end(),
                            [](char c) { return std::isdigit(c) || (c >= 'a' && c <= 'f'); }));
    EXPECT_EQ(sealed->size() % 32, 0u);
    EXPECT_EQ(unseal(iv_text, *sealed, key_text), plaintext);
    // Unsealing takes uppercase digits too and ignores an odd last one.
    EXPECT_EQ(unseal(iv_text, hex_of(unhex(*sealed), true) + "F", key_text), plaintext);
}

TEST(Seal, RoundTripsAreLowercaseInWhole32DigitUnits) {
    std::mt19937 rng{1234567};
    std::string every_byte;
    for (int c = 1; c < 256; ++c) {
        every_byte += static_cast<char>(c);
    }
    for (const std::string& plaintext :
         {std::string{}, every_byte, random_text(rng, 200000, 1, 255)}) {
        SCOPED_TRACE("plaintext length " + std::to_string(plaintext.size()));
        expect_round_trip(kIv, plaintext, kKey);
    }
    // Random texts of any bytes, of printable ones and of four letters; random key and IV texts.
    const std::pair<int, int> ranges[] = {{1, 255}, {0x20, 0x7E}, {'a', 'd'}};
    std::uniform_int_distribution<std::size_t> length{0, 3000};
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const auto [lowest, highest] = ranges[round % 3];
        const std::string plaintext = random_text(rng, length(rng), lowest, highest);
        const std::string key = random_text(rng, length(rng) % 49, 1, 255);
        const std::string iv = random_text(rng, length(rng) % 41, '0', 'g');
        expect_round_trip(iv.c_str(), plaintext, key.c_str());
    }
}

TEST(Seal, EmptyPlaintextSealsTo64HexDigits) {
    const auto [sealed, printed] =
        captured([] { return haa_encrypt_cloud_message(kIv, "", kKey); });
    ASSERT_TRUE(sealed.has_value());
    EXPECT_EQ(sealed->size(), 64u);
    EXPECT_EQ(printed,
              "haa_compress: uncompressed size=0, compressed size=20"
              "haa_encrypt_cloud_message: Base64 (29): H4sIAAAAAAAAAwMAAAAAAAAAAAA=\n\n");
}

TEST(Seal, LayersHaveTheirLengths) {
    std::mt19937 rng{7};
    for (std::size_t length = 0; length <= 200; ++length) {
        SCOPED_TRACE("plaintext length " + std::to_string(length));
        const std::optional<std::string> sealed =
            seal(kIv, random_text(rng, length, 0x20, 0x7E), kKey);
        ASSERT_TRUE(sealed.has_value());
        const std::string base64 = text_of(aes(1, unhex(*sealed), kKey, kIv));
        EXPECT_EQ(base64.find('\n'), base64.size() - 1);  // one line feed, at the end
        EXPECT_EQ(sealed->size(), 2 * (base64.size() / 16 + 1) * 16);
        const std::optional<Bytes> gz = base64_decode(bytes_of(base64));
        ASSERT_TRUE(gz.has_value());
        ASSERT_GE(gz->size(), 20u);
        EXPECT_EQ(base64.size(), 4 * ((gz->size() + 2) / 3) + 1);
        EXPECT_EQ(text_of(std::span{*gz}.first(3)), "\x1F\x8B\x08");
    }
}

TEST(Seal, KeyAndIvTextsGiveTheirBytes) {
    const struct {
        const char *key_text, *iv_text;
        std::string_view key, iv_hex;  // the bytes they stand for, zero-filled to 32 and 16
    } cases[] = {
        {"0123456789abcdef0123456789ABCDEF-tail", kIv, "0123456789abcdef0123456789ABCDEF", kIv},
        {"cm", "", "cm", ""},
        {"", "010", "", "01"},
        {kKey, "zz11", kKey, "0011"},
        {kKey, "0g12", kKey, "0012"},  // "%2hhx" takes what it can of a pair
        {kKey, "A1b2C3", kKey, "a1b2c3"},
        {kKey, "00112233445566778899aabbccddeeff12", kKey, "00112233445566778899aabbccddeeff"},
    };
    const std::string data = "some Base64 layer\n";
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string{"key \""} + c.key_text + "\", IV \"" + c.iv_text + "\"");
        std::array<std::uint8_t, 32> key{};
        std::copy(c.key.begin(), c.key.end(), key.begin());
        Bytes iv = unhex(c.iv_hex);
        iv.resize(16);
        EXPECT_EQ(aes(0, bytes_of(data), c.key_text, c.iv_text),
                  evp_encrypt(bytes_of(data), key.data(), iv.data()));
    }
}

TEST(Unseal, FailuresReportTheirStep) {
    const std::string base64_error = "haa_decrypt_cloud_message: Error base64 decod\n";
    const std::string decrypt_error =
        "Aes_EncryptDecrypt: Failed to finalize decryption\n"
        "haa_decrypt_cloud_message: Error decrypt\n";
    const std::pair<std::string, std::string> cases[] = {
        {seal_layer("H4sIAAA\n"), base64_error},  // 7 characters
        {seal_layer("H===\n"), base64_error},
        {seal_layer(base64_encode(bytes_of("a plain text, not gzip")).value()),
         "haa_decompress: inflate failed (err=" + std::to_string(Z_DATA_ERROR) +
             ").haa_decrypt_cloud_message: Error decompression\n"},
        {"0", decrypt_error},
        {"00112233445566778899", decrypt_error},
    };
    for (const auto& [sealed, expected] : cases) {
        SCOPED_TRACE(expected);
        const auto [plaintext, printed] = unseal_printing(kIv, sealed, kKey);
        EXPECT_FALSE(plaintext.has_value());
        EXPECT_EQ(printed, expected);
    }
}

TEST(Unseal, PlaintextMayBeTenTimesItsGzipLayer) {
    const std::string plaintext(1000, 'a');
    auto [unsealed, printed] = unseal_printing(kIv, seal_gzip_of_size(plaintext, 100), kKey);
    EXPECT_EQ(unsealed, plaintext);
    EXPECT_EQ(printed, "haa_decompress: compressed size=100, decompressed size=1000");

    std::tie(unsealed, printed) =
        unseal_printing(kIv, seal_gzip_of_size(plaintext + "a", 100), kKey);
    EXPECT_FALSE(unsealed.has_value());
    EXPECT_EQ(printed, "haa_decompress: inflate failed (err=" + std::to_string(Z_BUF_ERROR) +
                           ").haa_decrypt_cloud_message: Error decompression\n");
}

TEST(Seal, MissingTextIsIncorrectParameter) {
    using Operation = std::optional<std::string> (*)(const char*, const char*, const char*);
    const std::pair<const char*, Operation> operations[] = {
        {"haa_encrypt_cloud_message", &haa_encrypt_cloud_message},
        {"haa_decrypt_cloud_message", &haa_decrypt_cloud_message},
    };
    const std::array<std::array<const char*, 3>, 3> argument_sets = {{
        {nullptr, "text", kKey},
        {kIv, nullptr, kKey},
        {kIv, "text", nullptr},
    }};
    for (const auto& [name, operation] : operations) {
        for (const auto& args : argument_sets) {
            const auto [result, printed] =
                captured([&, op = operation] { return op(args[0], args[1], args[2]); });
            EXPECT_FALSE(result.has_value()) << name;
            EXPECT_EQ(printed, std::string{name} + ": " + name + "(" + pointer_text(args[0]) +
                                   ", " + pointer_text(args[1]) + ", " + pointer_text(args[2]) +
                                   "): Incorrect parameter \n");
        }
    }
}

TEST(AesEncryptDecrypt, CapacityRule) {
    const struct {
        int direction;
        std::size_t input, capacity;
        bool fits;
    } cases[] = {
        {0, 0, 31, false}, {0, 0, 32, true},   {0, 31, 32, true},  {0, 32, 63, false},
        {0, 32, 64, true}, {1, 32, 31, false}, {-3, 32, 32, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("direction " + std::to_string(c.direction) + ", input " +
                     std::to_string(c.input) + ", capacity " + std::to_string(c.capacity));
        // Decrypting needs a real cipher text of that length.
        const Bytes input =
            c.direction == 0 ? Bytes(c.input, 'x') : aes(0, Bytes(c.input - 16, 'x'), kKey, kIv);
        Bytes output;
        std::size_t length = c.capacity;
        const auto [result, printed] = captured(
            [&] { return Aes_EncryptDecrypt(c.direction, input, output, length, kKey, kIv); });
        EXPECT_EQ(result, c.fits ? 1 : 0);
        if (c.fits) {
            EXPECT_EQ(printed, "");
            EXPECT_EQ(length, output.size());
            EXPECT_EQ(length, c.direction == 0 ? (c.input / 16 + 1) * 16 : c.input - 16);
        } else {
            const std::size_t needed = c.direction == 0 ? (c.input / 32 + 1) * 32 : c.input;
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
    cipher[31] ^= 0x01;  // spoils the padding in the last block
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

TEST(AesEncryptDecrypt, MissingKeyOrIvTextIsReported) {
    const Bytes input(16, 'x');
    for (const auto& [key, iv] : {std::pair{std::string_view{}, std::string_view{kIv}},
                                  std::pair{std::string_view{kKey}, std::string_view{}}}) {
        Bytes output;
        std::size_t length = 64;
        const auto [result, printed] = captured(
            [&, k = key, i = iv] { return Aes_EncryptDecrypt(0, input, output, length, k, i); });
        EXPECT_EQ(result, 0);
        EXPECT_EQ(printed, "Aes_EncryptDecrypt: One pointers is null (" +
                               pointer_text(input.data()) + ", " + pointer_text(key.data()) + ", " +
                               pointer_text(iv.data()) + ", " + pointer_text(output.data()) + ", " +
                               pointer_text(&length) + ")\n");
    }
}

TEST(Base64, Tables) {
    const auto decode = [](std::string_view text) -> std::optional<std::string> {
        const std::optional<Bytes> bytes = base64_decode(bytes_of(text));
        return bytes ? std::optional{text_of(*bytes)} : std::nullopt;
    };
    EXPECT_EQ(base64_encode({}), "");
    const std::pair<std::string, std::string> both_ways[] = {
        {"f", "Zg==\n"},
        {"fo", "Zm8=\n"},
        {"fooba", "Zm9vYmE=\n"},
        {std::string{"\xFF\xFE\x00", 3}, "//4A\n"},
        {"\xFB\xEF\xBE", "++++\n"},
    };
    for (const auto& [bytes, text] : both_ways) {
        EXPECT_EQ(base64_encode(bytes_of(bytes)), text);
        EXPECT_EQ(decode(text), bytes) << text;
    }
    const std::pair<std::string, std::optional<std::string>> decode_only[] = {
        {"Z m\t9\nv*", "foo"},  // characters outside the alphabet are skipped
        {"Zg==Zm9v", "f"},      // decoding stops after the first group holding "="
        {"Zg=A", std::string{"f\0", 2}},
        {"\n", std::nullopt},
        {"Zm9vY", std::nullopt},
        {"Zm9vYg=", std::nullopt},
        {"Z===", std::nullopt},
        {"====", std::nullopt},
    };
    for (const auto& [text, bytes] : decode_only) {
        EXPECT_EQ(decode(text), bytes) << '"' << text << '"';
    }
}

TEST(Base64, RandomBytesRoundTrip) {
    std::mt19937 rng{99};
    std::uniform_int_distribution<std::size_t> length{1, 200};
    for (int round = 0; round < 1000; ++round) {
        const std::string bytes = random_text(rng, length(rng), 0, 255);
        const std::optional<std::string> text = base64_encode(bytes_of(bytes));
        ASSERT_TRUE(text.has_value());
        EXPECT_EQ(text->size(), 4 * ((bytes.size() + 2) / 3) + 1);
        const std::optional<Bytes> decoded = base64_decode(bytes_of(*text));
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(text_of(*decoded), bytes);
    }
}

// --- against the openssl, base64 and gzip command-line tools ---

void write_file(const std::string& path, std::span<const std::uint8_t> bytes) {
    std::ofstream{path, std::ios::binary}.write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

std::string read_file(const std::string& path) {
    std::ifstream in{path, std::ios::binary};
    return {std::istreambuf_iterator<char>{in}, std::istreambuf_iterator<char>{}};
}

struct CliCase {
    const char* iv_text;
    const char* iv_hex;  // the IV the text stands for
    const char* key_text;
    const char* key_hex;  // the key the text stands for: 32 bytes, zero-filled
    std::string plaintext;
};

TEST(SealCommandLine, AgreesWithOpensslBase64AndGzipBothWays) {
    if (shell().run("command -v openssl >/dev/null && command -v gzip >/dev/null") != 0) {
        GTEST_SKIP() << "the openssl or gzip command is not installed";
    }
    const test::TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const auto file = [&](const char* name) { return "'" + dir / name + "'"; };
    std::mt19937 rng{4242};
    const CliCase cases[] = {
        {kIv, kIv, "gw-7f3a9c0d11e2b4a5c6d7e8f901234-ignored",
         "67772d3766336139633064313165326234613563366437653866393031323334",
         random_text(rng, 20000, 1, 255)},
        {"A1B2", "a1b20000000000000000000000000000", "D8:B6:B7:12:34:56",
         "44383a42363a42373a31323a33343a3536000000000000000000000000000000",
         "Grüße aus dem Kabelnetz\n\ttab"},
        {"zz0102030", "00010203000000000000000000000000", "k",
         "6b00000000000000000000000000000000000000000000000000000000000000", ""},
    };
    for (const CliCase& c : cases) {
        SCOPED_TRACE(std::string{"IV text "} + c.iv_text);
        const std::string openssl =
            std::string{"openssl enc -aes-256-cbc -K "} + c.key_hex + " -iv " + c.iv_hex;
        // Sealed here, opened by the tools.
        const std::optional<std::string> sealed = seal(c.iv_text, c.plaintext, c.key_text);
        ASSERT_TRUE(sealed.has_value());
        write_file(dir / "sealed.bin", unhex(*sealed));
        std::string command = openssl + " -d -in " + file("sealed.bin") + " -out " +
                              file("layer.b64") + " && base64 -d " + file("layer.b64") + " > " +
                              file("layer.gz") + " && gunzip -c " + file("layer.gz") + " > " +
                              file("opened.txt");
        ASSERT_EQ(shell().run(command), 0) << command;
        EXPECT_EQ(read_file(dir / "opened.txt"), c.plaintext);
        const std::string base64 = read_file(dir / "layer.b64");
        EXPECT_EQ(base64.find('\n'), base64.size() - 1);
        // Sealed by the tools, opened here.
        write_file(dir / "plain.txt", bytes_of(c.plaintext));
        command = "gzip -c < " + file("plain.txt") + " | base64 -w0 > " + file("layer.b64") +
                  " && echo >> " + file("layer.b64") + " && " + openssl + " -in " +
                  file("layer.b64") + " -out " + file("sealed.bin");
        ASSERT_EQ(shell().run(command), 0) << command;
        const std::string cipher = read_file(dir / "sealed.bin");
        EXPECT_EQ(unseal(c.iv_text, hex_of(bytes_of(cipher)), c.key_text), c.plaintext);
        EXPECT_EQ(unseal(c.iv_text, hex_of(bytes_of(cipher), true), c.key_text), c.plaintext);
    }
}

}  // namespace
}  // namespace lld
