#include "app/log.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace lld {
namespace {

TEST(LogThreshold, FirstMatchingWordDecides) {
    const struct {
        const char* value;
        int threshold;
    } cases[] = {
        {nullptr, -1},      {"", -1},       {"verbose", -1},    {"DEBUG", -1}, {"debug", 3},
        {"error,debug", 3}, {"info", 1},    {"warn", 2},        {"error", 0},  {"info+warn", 1},
        {"mydebugging", 3}, {"warning", 2}, {"errors only", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(log_threshold(c.value), c.threshold) << (c.value ? c.value : "(unset)");
    }
}

std::string logged(const char* level_env, int level) {
    if (level_env) {
        setenv("LLD_DBG_LVL", level_env, 1);
    } else {
        unsetenv("LLD_DBG_LVL");
    }
    testing::internal::CaptureStdout();
    lld_log(level, "[ZEZ-UDERED] [DBG] value %d\n", 42);
    std::fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    unsetenv("LLD_DBG_LVL");
    return out;
}

TEST(LogOutput, LevelsAgainstThresholdAndThreadPrefix) {
    EXPECT_EQ(logged(nullptr, LLD_LOG_ERROR), "");
    EXPECT_EQ(logged("warn", LLD_LOG_DEBUG), "");
    EXPECT_NE(logged("warn", LLD_LOG_INFO), "");
    EXPECT_EQ(logged("info", LLD_LOG_WARN), "");
    EXPECT_EQ(logged("error", LLD_LOG_INFO), "");

    const std::string line = logged("debug", LLD_LOG_DEBUG);
    const std::string expected_prefix =
        "[" + std::to_string(static_cast<unsigned long>(pthread_self())) + "] ";
    EXPECT_EQ(line, expected_prefix + "[ZEZ-UDERED] [DBG] value 42\n");
}

TEST(LogOutput, LongMessagesAreWrittenWhole) {
    setenv("LLD_DBG_LVL", "debug", 1);
    const std::string big(10000, 'x');
    testing::internal::CaptureStdout();
    lld_log(LLD_LOG_DEBUG, "%s|\n", big.c_str());
    std::fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    unsetenv("LLD_DBG_LVL");
    EXPECT_NE(out.find(big + "|\n"), std::string::npos);
}

std::string dumped(const void* block, int length) {
    testing::internal::CaptureStdout();
    lld_hexdump(block, length);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(Hexdump, RowsOf32WithPaddingAndPrintableRange) {
    char address[32];
    std::snprintf(address, sizeof address, "%p:\n", static_cast<const void*>("x"));
    const char* empty_block = "x";
    EXPECT_EQ(dumped(empty_block, 0), std::string{address} + "\n");

    unsigned char bytes[33];
    for (int i = 0; i < 33; ++i) {
        bytes[i] = static_cast<unsigned char>(0x61 + i);  // 'a' .. past '}' and '~'
    }
    const std::string out = dumped(bytes, 33);
    const std::size_t first = out.find('\n') + 1;
    const std::string row1 = out.substr(first, out.find('\n', first) - first);
    std::string expected1;
    for (int i = 0; i < 32; ++i) {
        char cell[4];
        std::snprintf(cell, sizeof cell, "%02X ", bytes[i]);
        expected1 += cell;
    }
    // 0x7E '~' and 0x7F are shown as dots, 0x7D '}' as itself.
    expected1 += "abcdefghijklmnopqrstuvwxyz{|}...";
    EXPECT_EQ(row1, expected1);
    const std::size_t second = first + row1.size() + 1;
    const std::string rest = out.substr(second);
    EXPECT_EQ(rest, "81 " + std::string(31 * 3, ' ') + ".\n\n");
}

}  // namespace
}  // namespace lld
