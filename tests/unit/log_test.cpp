#include "common/log.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <sstream>
#include <thread>

#include "test_support.hpp"

namespace lld {
namespace {

TEST(Log, ThresholdFromTheFirstMatchingWord) {
    const std::pair<const char*, int> cases[] = {
        {nullptr, -1},      {"", -1},       {"verbose", -1},    {"DEBUG", -1}, {"debug", 3},
        {"error,debug", 3}, {"info", 1},    {"warn", 2},        {"error", 0},  {"info+warn", 1},
        {"mydebugging", 3}, {"warning", 2}, {"errors only", 0},
    };
    for (const auto& [value, threshold] : cases) {
        EXPECT_EQ(log_threshold(value), threshold) << (value ? value : "(unset)");
    }
}

TEST(Log, WholeLinesWithThreadPrefixAndTagUpToTheThreshold) {
    const std::string prefix =
        "[" + std::to_string(static_cast<unsigned long>(pthread_self())) + "] [ZEZ-UDERED] ";
    const std::string error = prefix + "[ERR] e 1\n";
    const std::string info = error + prefix + "[INF] i 2\n";
    const std::pair<const char*, std::string> cases[] = {{"debug", info + prefix + "[DBG] d 3\n"},
                                                         {"warn", info},
                                                         {"info", info},
                                                         {"error", error},
                                                         {"none", ""}};
    for (const auto& [level, lines] : cases) {
        test::LogCapture log{level};
        log_error("e %d", 1);
        log_info("i %s", "2");
        log_debug("d %d", 3);
        EXPECT_EQ(log.text(), lines) << level;
    }
}

TEST(Log, LongLinesOfManyThreadsStayWhole) {
    const std::string big(10000, 'x');
    test::LogCapture log;
    {
        std::vector<std::jthread> threads(4);
        for (auto& thread : threads) {
            thread = std::jthread{[&big] {
                for (int i = 0; i < 50; ++i) {
                    log_info("%s|", big.c_str());
                }
            }};
        }
    }
    std::istringstream lines{log.text()};
    std::array<int, 2> whole_and_broken{};
    for (std::string line; std::getline(lines, line);) {
        ++whole_and_broken[line.ends_with("] [ZEZ-UDERED] [INF] " + big + "|") ? 0 : 1];
    }
    EXPECT_EQ(whole_and_broken, (std::array{200, 0}));
}

}  // namespace
}  // namespace lld
