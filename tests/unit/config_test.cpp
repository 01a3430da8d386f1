#include "app/config.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "app/device_mac.hpp"
#include "test_support.hpp"

namespace lld {
namespace {

TEST(FindArg, ExactNamesFirstMatchAndTrailingOption) {
    const std::array<const char*, 8> argv{"-ifl", "prog", "-ifl", "lan0",
                                          "-ifw", "-ifl", "wan0", "-config"};
    EXPECT_EQ(find_arg(argv, "-ifl"), "prog");  // the program name position counts too
    EXPECT_EQ(find_arg(argv, "-ifw"), "-ifl");
    EXPECT_FALSE(find_arg(argv, "-config"));  // last, with no value
    EXPECT_FALSE(find_arg(argv, "-if"));
    EXPECT_FALSE(find_arg(std::span<const char* const>{}, "-ifl"));
}

TEST(StrStartsWith, Prefixes) {
    EXPECT_TRUE(str_starts_with("start 60", "start"));
    EXPECT_TRUE(str_starts_with("anything", ""));
    EXPECT_FALSE(str_starts_with("sta", "start"));
    EXPECT_FALSE(str_starts_with("Start", "start"));
}

std::unique_ptr<client_config> filled(const char* json) {
    const JsonPtr tree = json_parse(json);
    EXPECT_TRUE(tree) << json;
    auto config = std::make_unique<client_config>();
    fill_client_config(tree.get(), *config);
    return config;
}

constexpr const char* kComplete =
    R"({"BROKER_URL":"b","broker_port":1883,"public_cert":"p","device_cert":"c",)"
    R"("device_key":"k","username":"u","password":"pw","Device_ID":"id"})";

TEST(ClientConfig, KeysWithoutLetterCaseAndOptionalMembers) {
    const auto config = filled(kComplete);
    EXPECT_TRUE(client_config_complete(*config));
    EXPECT_EQ(config->broker_url, "b");
    EXPECT_EQ(config->broker_port, 1883);
    EXPECT_EQ(config->device_id, "id");
    EXPECT_FALSE(config->dgw_ip);
    EXPECT_FALSE(config->ha_IV);
    EXPECT_EQ(ip_mode_of(config->device_mode), IP_MODE_NONE);
}

TEST(ClientConfig, IncompleteConfigurations) {
    const char* cases[] = {
        R"({"broker_url":"b","broker_port":"1883","public_cert":"p","device_cert":"c",)"
        R"("device_key":"k","username":"u","password":"pw","device_id":"id"})",
        R"({"broker_url":"b","broker_port":0,"public_cert":"p","device_cert":"c",)"
        R"("device_key":"k","username":"u","password":"pw","device_id":"id"})",
        R"({"broker_url":"b","broker_port":1,"public_cert":"p","device_cert":"c",)"
        R"("device_key":"k","username":"u","password":7,"device_id":"id"})",
        R"({"broker_port":1,"public_cert":"p","device_cert":"c",)"
        R"("device_key":"k","username":"u","password":"pw","device_id":"id"})",
        R"([1,2,3])",
    };
    for (const char* json : cases) {
        EXPECT_FALSE(client_config_complete(*filled(json))) << json;
    }
}

TEST(ClientConfig, IpModeIsExact) {
    EXPECT_EQ(ip_mode_of(std::string{"Ipv4"}), IP_MODE_IPV4);
    EXPECT_EQ(ip_mode_of(std::string{"Ipv6"}), IP_MODE_IPV6);
    EXPECT_EQ(ip_mode_of(std::string{"Dualstack"}), IP_MODE_DUALSTACK);
    EXPECT_EQ(ip_mode_of(std::string{"IPV4"}), IP_MODE_NONE);
    EXPECT_EQ(ip_mode_of(std::string{"Ipv4 "}), IP_MODE_NONE);
    EXPECT_EQ(ip_mode_of(std::nullopt), IP_MODE_NONE);
}

TEST(CloudPortRange, KeepsAtMost15Characters) {
    CloudPortRange range;
    EXPECT_EQ(range.get(), "");
    range.set("5000-5010");
    EXPECT_EQ(range.get(), "5000-5010");
    range.set("123456789012345678");
    EXPECT_EQ(range.get(), "123456789012345");
}

class TempFile {
  public:
    explicit TempFile(const std::string& content) : path_{dir_ / "file"} {
        std::ofstream{path_, std::ios::binary} << content;
    }
    const std::string& path() const { return path_; }

  private:
    test::TempDir dir_;
    std::string path_;
};

std::string captured_read(const std::string& path, bool* parsed) {
    setenv("LLD_DBG_LVL", "debug", 1);
    testing::internal::CaptureStdout();
    *parsed = static_cast<bool>(read_config_file(path));
    std::fflush(stdout);
    unsetenv("LLD_DBG_LVL");
    return testing::internal::GetCapturedStdout();
}

TEST(ReadConfigFile, MissingEmptyBrokenAndGood) {
    bool parsed = true;
    EXPECT_NE(captured_read("/nonexistent/lld.json", &parsed)
                  .find("[ZEZ-UDERED] [ERR] File /nonexistent/lld.json not found\n"),
              std::string::npos);
    EXPECT_FALSE(parsed);

    const TempFile empty{""};
    EXPECT_NE(captured_read(empty.path(), &parsed).find("[ZEZ-UDERED] [DBG] confiLen = 0\n"),
              std::string::npos);
    EXPECT_FALSE(parsed);

    const TempFile broken{"{\"a\":"};
    captured_read(broken.path(), &parsed);
    EXPECT_FALSE(parsed);

    const TempFile good{kComplete};
    EXPECT_EQ(captured_read(good.path(), &parsed), "");
    EXPECT_TRUE(parsed);
}

TEST(ReadFile, WholeFileFollowedByZeros) {
    const TempFile file{"abc"};
    std::size_t length = 99;
    const auto buffer = read_file(file.path(), &length, 4);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(std::string(buffer->data(), buffer->size()), std::string("abc\0\0\0\0", 7));
    EXPECT_FALSE(read_file("/nonexistent/x", &length, 1));
}

TEST(MacDigits, ModemOutputForms) {
    const struct {
        std::string text;
        std::optional<std::string> digits;
    } cases[] = {
        {"AA:BB:CC:DD:EE:FF\n", "aabbccddeeff"},
        {"aabb.ccdd.eeff", "aabbccddeeff"},
        {"0123456789abcdef", "0123456789ab"},
        {"zz 11-22-33-44-55-66", "112233445566"},
        {"AA:BB:CC:DD:EE", std::nullopt},
        {std::string("AABBCC\0DDEEFF", 13), std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        const std::span bytes{reinterpret_cast<const std::uint8_t*>(c.text.data()), c.text.size()};
        EXPECT_EQ(extract_mac_digits(bytes), c.digits) << c.text;
    }
}

}  // namespace
}  // namespace lld
