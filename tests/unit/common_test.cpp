#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "common/child.hpp"
#include "common/worker.hpp"
#include "test_support.hpp"

namespace lld {
namespace {

TEST(ProcessRunner, StatusAndOutputUpToTheLimit) {
    struct Case {
        Argv argv;
        std::size_t limit;
        int status;
        std::string output;
    };
    const Case cases[] = {
        {{"sh", "-c", "printf hello; exit 3"}, 64, 3 << 8, "hello"},
        {{"sh", "-c", "printf 0123456789"}, 4, 0, "0123"},
        {{"sh", "-c", "printf 'a\\0b'"}, 64, 0, std::string("a\0b", 3)},
        {{"true"}, 0, 0, ""},
        {{"no-such-command-anywhere"}, 16, kNotStarted, ""},
        {{"/proc"}, 16, kNotStarted, ""},
        // The child runs with the client's signal mask, not the one of its start.
        {{"sh", "-c", "kill -TERM $$; printf survived"}, 64, SIGTERM, ""},
    };
    ProcessRunner runner;
    for (const Case& c : cases) {
        SCOPED_TRACE(command_text(c.argv));
        const ChildResult result = runner.run(c.argv, c.limit);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(std::string(result.output.begin(), result.output.end()), c.output);
    }
}

TEST(ProcessRunner, WhatAChildLeftHoldingItsOutputIsKilledAtTheTimeOut) {
    // A child that waits for what it started overruns; one that ended leaves
    // only its background job, which holds the output to the time-out.
    for (const bool waits : {true, false}) {
        SCOPED_TRACE(waits ? "waits" : "ended");
        const test::TempDir dir;
        const std::string pid_file = dir / "grandchild";
        test::LogCapture log{"error"};
        const Argv hung{
            "sh", "-c",
            "sleep 60 & echo $! >" + pid_file + "; printf partial" + (waits ? "; wait" : "")};
        const ChildResult result = ProcessRunner{std::chrono::milliseconds{300}}.run(hung, 64);
        EXPECT_EQ(result.status, waits ? -1 : 0);
        // What an overrun query printed is not believed.
        EXPECT_EQ(std::string(result.output.begin(), result.output.end()), waits ? "" : "partial");
        EXPECT_EQ(test::contains(log.text(), "[ERR] sh -c sleep 60 & echo"), waits) << log.text();
        const pid_t grandchild = std::stoi(test::file_text(pid_file));
        // Killed with its group; its reaper (init) collects it soon after.
        for (int i = 0; i < 500 && ::kill(grandchild, 0) == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds{10});
        }
        EXPECT_EQ(::kill(grandchild, 0), -1);
    }
}

TEST(Worker, StopsAWaitingBodyAndJoinsIt) {
    std::atomic<int> rounds{0};
    std::atomic<bool> saw_stop{false};
    {
        const Worker worker{[&](const StopSignal& stop) {
            while (!stop.wait_for(std::chrono::hours{24})) {
                ++rounds;
            }
            saw_stop = stop.requested();
        }};
        EXPECT_TRUE(worker.running());
    }  // the destructor asks it to stop and joins it
    EXPECT_TRUE(saw_stop);
    EXPECT_EQ(rounds, 0);
    Worker moved{[](const StopSignal& stop) { stop.wait_for(std::chrono::hours{24}); }, 256 * 1024};
    Worker target = std::move(moved);
    EXPECT_FALSE(moved.running());  // NOLINT(bugprone-use-after-move): moved-from is empty
    target.stop();
    EXPECT_FALSE(target.running());
}

}  // namespace
}  // namespace lld
