#include "iptsetter/cmd_ring.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

namespace lld {
namespace {

TEST(CmdRing, HoldsOneLessThanItsSlotsInOrderAcrossTheWrap) {
    cmdRing<std::unique_ptr<int>, 32> ring;
    int pushed = 0;
    int popped = 0;
    const auto fill = [&](int count) {
        for (int i = 0; i < count; ++i, ++pushed) {
            auto item = std::make_unique<int>(pushed);
            ASSERT_TRUE(ring.push(item)) << pushed;
            EXPECT_EQ(item, nullptr);
        }
    };
    const auto drain = [&](int count) {
        for (int i = 0; i < count; ++i, ++popped) {
            const auto item = ring.pop();
            ASSERT_TRUE(item && *item) << popped;
            EXPECT_EQ(**item, popped);
        }
    };
    fill(31);
    // A refused item stays with the caller, untouched.
    auto extra = std::make_unique<int>(-1);
    setenv("LLD_DBG_LVL", "debug", 1);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ring.push(extra));
    std::fflush(stdout);
    const std::string log = testing::internal::GetCapturedStdout();
    unsetenv("LLD_DBG_LVL");
    ASSERT_NE(extra, nullptr);
    EXPECT_EQ(*extra, -1);
    EXPECT_NE(log.find("] [ZEZ-UDERED] [DBG] full @ 31/0\n"), std::string::npos) << log;

    drain(20);
    fill(20);  // the write index wraps past the last slot
    drain(31);
    EXPECT_FALSE(ring.pop());
}

// Also meant for -fsanitize=thread: slots and indices must be ordered between the threads.
TEST(CmdRing, ProducerAndConsumerThreadsLoseNothing) {
    constexpr std::uint32_t kItems = 100000;
    cmdRing<std::unique_ptr<std::uint32_t>, 32> ring;
    std::thread producer{[&ring] {
        for (std::uint32_t i = 0; i < kItems; ++i) {
            auto item = std::make_unique<std::uint32_t>(i);
            while (!ring.push(item)) {
                std::this_thread::yield();
            }
        }
    }};
    std::uint32_t received = 0;
    std::uint32_t out_of_order = 0;
    while (received < kItems) {
        if (const auto item = ring.pop()) {
            out_of_order += (*item == nullptr || **item != received) ? 1 : 0;
            ++received;
        } else {
            std::this_thread::yield();
        }
    }
    producer.join();
    EXPECT_EQ(out_of_order, 0u);
    EXPECT_FALSE(ring.pop());
}

}  // namespace
}  // namespace lld
