#include "cloud/seal.hpp"

#include <gtest/gtest.h>

#include <numeric>
#include <random>

#include "cloud/cipher.hpp"
#include "cloud/compression.hpp"
#include "cloud/encoding.hpp"
#include "cloud/link.hpp"
#include "test_support.hpp"

namespace lld {
namespace {

using test::Bytes;
using test::bytes_of;

constexpr const char* kIv = "000102030405060708090a0b0c0d0e0f";
constexpr const char* kKey = "D8:B6:B7:12:34:56";

std::string text_of(std::span<const std::uint8_t> bytes) {
    return {bytes.begin(), bytes.end()};
}

std::string random_text(std::mt19937& rng, std::size_t length, int lowest, int highest) {
    std::uniform_int_distribution<int> byte{lowest, highest};
    std::string text(length, '\0');
    std::ranges::generate(text, [&] { return static_cast<char>(byte(rng)); });
    return text;
}

// A sealed text around layers of our own making.
std::string sealed_layer(std::string_view layer) {
    return to_hex(aes_256_cbc(CipherDirection::Encrypt, bytes_of(layer), kKey, kIv).value());
}

TEST(Seal, RandomRoundTripsAreLowerCaseHexInWhole32DigitUnits) {
    std::mt19937 rng{1234567};
    const auto round_trip = [](const std::string& plaintext, const std::string& key,
                               const std::string& iv) {
        const std::string sealed = seal_text(plaintext, key, iv).value_or("?");
        EXPECT_TRUE(std::ranges::all_of(
            sealed, [](char c) { return std::isxdigit(c) && !std::isupper(c); }));
        EXPECT_EQ(sealed.size() % 32, 0u);
        EXPECT_EQ(unseal_text(sealed, key, iv), plaintext);
        // Unsealing takes upper-case digits too and ignores an odd last one.
        std::string upper = sealed + "F";
        std::ranges::transform(upper, upper.begin(), [](char c) { return std::toupper(c); });
        EXPECT_EQ(unseal_text(upper, key, iv), plaintext);
    };
    std::string every_byte(256, '\0');
    std::iota(every_byte.begin(), every_byte.end(), '\0');
    for (const std::string& plaintext :
         {std::string{}, every_byte, random_text(rng, 200000, 0, 255)}) {
        round_trip(plaintext, kKey, kIv);
    }
    EXPECT_EQ(seal_text("", kKey, kIv).value_or("").size(), 64u);
    // Any bytes, printable ones and four letters; random key and IV texts.
    const std::pair<int, int> ranges[] = {{0, 255}, {0x20, 0x7E}, {'a', 'd'}};
    std::uniform_int_distribution<std::size_t> length{0, 3000};
    for (int round = 0; round < 150; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const auto [lowest, highest] = ranges[round % 3];
        round_trip(random_text(rng, length(rng), lowest, highest),
                   random_text(rng, length(rng) % 49, 0, 255),
                   random_text(rng, length(rng) % 41, '0', 'g'));
    }
}

TEST(Unseal, EachLayerRefusesWhatIsNotItsForm) {
    Bytes spoiled = from_hex(sealed_layer(std::string(32, 'd')));
    spoiled[31] ^= 0x01;  // the padding in the last block no longer holds
    const std::pair<std::string, std::string> cases[] = {
        {sealed_layer("H4sIAAA\n"), "Error base64 decod"},  // 7 characters
        {sealed_layer("H===\n"), "Error base64 decod"},
        {sealed_layer(base64_encode(bytes_of("a plain text")).value()), "Error decompression"},
        {"0", "Error decrypt"},
        {"00112233445566778899", "Error decrypt"},
        {to_hex(spoiled), "Error decrypt"},
    };
    for (const auto& [sealed, step] : cases) {
        test::LogCapture log{"error"};
        EXPECT_FALSE(unseal_text(sealed, kKey, kIv)) << step;
        EXPECT_TRUE(test::contains(log.text(), "[ERR] haa_decrypt_cloud_message: " + step)) << step;
    }
    // The plaintext may be ten times its gzip layer (zero bytes after the stream fill it up).
    for (const std::size_t size : {1000, 1001}) {
        Bytes gz = gzip_compress(std::string(size, 'a')).value();
        gz.resize(100);
        EXPECT_EQ(gzip_decompress(gz).has_value(), size == 1000);
    }
}

TEST(Seal, NeitherThePasswordNorItsBase64LayerIsLogged) {
    const std::string password = "correct horse battery staple";
    const std::string base64 = base64_encode(gzip_compress(password).value()).value();
    test::LogCapture log;
    EXPECT_EQ(unseal_text(seal_text(password, kKey, kIv).value(), kKey, kIv), password);
    const std::string text = log.text();
    EXPECT_FALSE(test::contains(text, password) ||
                 test::contains(text, base64.substr(0, base64.size() - 1)))
        << text;
}

TEST(Base64, TablesAndRandomRoundTrips) {
    const auto decode = [](std::string_view text) -> std::optional<std::string> {
        const auto bytes = base64_decode(bytes_of(text));
        return bytes ? std::optional{text_of(*bytes)} : std::nullopt;
    };
    EXPECT_EQ(base64_encode({}), "");
    const std::pair<std::string, std::string> both_ways[] = {
        {"f", "Zg==\n"},
        {"fo", "Zm8=\n"},
        {"fooba", "Zm9vYmE=\n"},
        {std::string{"\xFF\xFE\x00", 3}, "//4A\n"},
        {"\xFB\xEF\xBE", "++++\n"}};
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
    std::mt19937 rng{99};
    for (int round = 0; round < 1000; ++round) {
        const std::string bytes = random_text(rng, 1 + rng() % 200, 0, 255);
        const std::string text = base64_encode(bytes_of(bytes)).value();
        EXPECT_EQ(text.size(), 4 * ((bytes.size() + 2) / 3) + 1);
        EXPECT_EQ(decode(text), bytes);
    }
}

TEST(ProxyLink, TopicsTakeTheDeviceIdVerbatimCutAt63AndDatagramsOnlyTheirBytes) {
    EXPECT_EQ(format_topic(Topic::Registration, "%s%n%x"), "CS/%s%n%x/LLD/registration");
    EXPECT_EQ(format_topic(Topic::Status, std::string(63, 'd')), "CS/" + std::string(60, 'd'));
    const std::string_view text = R"({"type":1,"payload":"abc"})";
    EXPECT_EQ(parse_datagram(text).value_or(Datagram{}).payload, "abc");
    EXPECT_FALSE(parse_datagram(text.substr(0, text.size() - 1)));
}

// Sealed here and opened by the openssl, base64 and gzip command lines, then the other way.
TEST(Seal, AgreesWithTheOpensslBase64AndGzipCommandLinesBothWays) {
    ProcessRunner runner{std::chrono::seconds{60}};
    const auto shell = [&runner](const std::string& command) {
        return runner.run(Argv{"sh", "-c", command}, 0).status;
    };
    if (shell("for c in openssl gzip base64; do command -v $c >/dev/null || exit 1; done") != 0) {
        GTEST_SKIP() << "the openssl, gzip or base64 command is missing";
    }
    const test::TempDir dir;
    const std::string in = "'" + dir / "in" + "'";
    const std::string out = "'" + dir / "out" + "'";
    std::mt19937 rng{4242};
    const struct {
        const char *iv_text, *iv_hex, *key_text, *key_hex;  // the hex stands for the text
        std::string plaintext;
    } cases[] = {
        {kIv, kIv, "gw-7f3a9c0d11e2b4a5c6d7e8f901234-ignored",
         "67772d3766336139633064313165326234613563366437653866393031323334",
         random_text(rng, 20000, 0, 255)},
        {"A1b2", "a1b20000000000000000000000000000", kKey,
         "44383a42363a42373a31323a33343a3536000000000000000000000000000000",
         "Grüße aus dem Kabelnetz\n\ttab"},
        {"zz0g12030", "00001203000000000000000000000000", "k",  // "%2hhx" takes what it can
         "6b00000000000000000000000000000000000000000000000000000000000000", ""},
        {"00112233445566778899aabbccddeeff12", "00112233445566778899aabbccddeeff", "",
         "0000000000000000000000000000000000000000000000000000000000000000", "x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string{"IV text "} + c.iv_text);
        const std::string openssl =
            std::string{"openssl enc -aes-256-cbc -K "} + c.key_hex + " -iv " + c.iv_hex;
        ASSERT_TRUE(replace_file(
            dir / "in", text_of(from_hex(seal_text(c.plaintext, c.key_text, c.iv_text).value()))));
        ASSERT_EQ(shell(openssl + " -d -in " + in + " -out " + out), 0);
        const std::string base64 = test::file_text(dir / "out");
        EXPECT_EQ(base64.find('\n'), base64.size() - 1);  // one line feed, at the end
        ASSERT_EQ(shell("base64 -d " + out + " | gunzip -c > " + in), 0);
        EXPECT_EQ(test::file_text(dir / "in"), c.plaintext);

        ASSERT_EQ(shell("gzip -c < " + in + " | base64 -w0 > " + out + " && echo >> " + out +
                        " && " + openssl + " -in " + out + " -out " + in),
                  0);
        const std::string cipher = test::file_text(dir / "in");
        EXPECT_EQ(unseal_text(to_hex(bytes_of(cipher)), c.key_text, c.iv_text), c.plaintext);
    }
}

}  // namespace
}  // namespace lld
