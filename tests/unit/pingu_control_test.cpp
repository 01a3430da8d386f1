#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/json.hpp"
#include "pingu/control.hpp"
#include "pingu/probe.hpp"
#include "pingu/registry.hpp"

namespace lld {
namespace {

std::optional<std::string> parsed(const char* json, std::int32_t kind, tPinguArgs& args) {
    const JsonPtr request = json_parse(json);
    return parse_pingu_members(request.get(), kind, args);
}

TEST(PinguRequest, UserRequestsAndTheirRefusals) {
    tPinguArgs args;
    EXPECT_EQ(parsed(R"({"command":"stop"})", PINGU_USER, args), std::nullopt);
    EXPECT_EQ(args.start, 0);
    EXPECT_EQ(args.name, "user_pingu");

    ASSERT_EQ(parsed(R"({"command":"start","reflector_url":"r","reflector_port":7,)"
                     R"("refresh_period":5})",
                     PINGU_USER, args),
              std::nullopt);
    EXPECT_EQ(args.interval, 250);
    EXPECT_EQ(args.duration, 10);
    EXPECT_TRUE(pingu_timing_valid(args));
    args.refresh_period = 10;
    EXPECT_FALSE(pingu_timing_valid(args));  // the refresh period must be below the duration

    const struct {
        const char* json;
        const char* line;
    } refusals[] = {
        {R"({})", "command is missing"},
        {R"({"command":""})", "command is missing"},
        {R"({"command":"pause"})", "command is incorrect"},
        {R"({"command":"start"})", "reflector_url is missing"},
        {R"({"command":"start","reflector_url":"r"})", "reflector_port is missing"},
        {R"({"command":"start","reflector_url":"r","reflector_port":"7"})",
         "reflector_port is missing"},
        {R"({"command":"start","reflector_url":"r","reflector_port":7})",
         "reflector_period is missing"},
        {R"({"Command":"start"})", "command is missing"},  // members are matched exactly
    };
    for (const auto& refusal : refusals) {
        const auto line = parsed(refusal.json, PINGU_USER, args);
        ASSERT_TRUE(line) << refusal.json;
        EXPECT_NE(line->find(refusal.line), std::string::npos) << *line;
        EXPECT_EQ(line->rfind("[ZEZ-UDERED] [ERR] ", 0), 0u);
    }
}

TEST(PinguRequest, MonitorRequestsAlwaysStartAndCutTheirNames) {
    tPinguArgs args;
    ASSERT_EQ(parsed(R"({"command":"stop","name":"0123456789012345678901234567890123456789",)"
                     R"("reflector_url":"r","reflector_port":7,"refresh_period":1,)"
                     R"("interval":1000,"duration":99})",
                     PINGU_MONITOR, args),
              std::nullopt);
    EXPECT_EQ(args.start, 1);
    EXPECT_EQ(args.name, "0123456789012345678901234567890");
    EXPECT_EQ(args.duration, 0);
    EXPECT_TRUE(pingu_timing_valid(args));
    args.interval = 1500;
    EXPECT_FALSE(pingu_timing_valid(args));
    EXPECT_TRUE(parsed(R"({"reflector_url":"r"})", PINGU_MONITOR, args));  // no name
}

TEST(PinguPorts, RotationThroughTheClassifierRange) {
    const struct {
        const char* range;
        std::vector<std::pair<int, int>> ports;  // (port_lld, port_classic) per request
    } cases[] = {
        {"5000-5002", {{5001, 10101}, {5002, 10102}, {5000, 10100}, {5001, 10101}}},
        {"0-0", {{1, 10101}, {1, 10101}}},
        {"7000-7000", {{7000, 10100}, {7000, 10100}}},
        {"", {{1, 10101}}},
    };
    for (const auto& c : cases) {
        std::int32_t rotation = 0;
        for (const auto& [lld, classic] : c.ports) {
            tPinguArgs args;
            EXPECT_EQ(assign_probe_ports(c.range, rotation, args), std::nullopt);
            EXPECT_EQ(args.port_lld, lld) << c.range;
            EXPECT_EQ(args.port_classic, classic) << c.range;
        }
    }
    std::int32_t rotation = 3;
    tPinguArgs args;
    EXPECT_TRUE(assign_probe_ports("6000-5000", rotation, args));
}

TEST(PinguState, Payloads) {
    EXPECT_EQ(pingu_state_payload(PINGU_USER, PINGU_STATE_STARTED),
              R"({"user_pingu_state":"started"})");
    EXPECT_EQ(pingu_state_payload(PINGU_USER, PINGU_STATE_INTERRUPTED),
              R"({"user_pingu_state":"interrupted"})");
    EXPECT_EQ(pingu_state_payload(PINGU_MONITOR, PINGU_STATE_REJECTED),
              R"({"monitor_pingu_state":"rejected"})");
    EXPECT_EQ(pingu_state_payload(7, PINGU_STATE_COMPLETED), "");
}

TEST(PinguRegistry, NamesAreExactCutAndNewestFirst) {
    PinguRegistry registry;
    EXPECT_FALSE(registry.find("user_pingu"));
    setenv("LLD_DBG_LVL", "error", 1);
    testing::internal::CaptureStdout();
    registry.remove("nobody");
    std::fflush(stdout);
    EXPECT_NE(testing::internal::GetCapturedStdout().find(
                  "[ZEZ-UDERED] [ERR] PINGU_ACTIVE 'nobody' at NULL error\n"),
              std::string::npos);
    unsetenv("LLD_DBG_LVL");

    registry.add("probe", 1, nullptr);
    registry.add("probe", 2, nullptr);
    registry.remove("probe");
    ASSERT_TRUE(registry.find("probe"));
    EXPECT_EQ(registry.find("probe")->thread, 1u);  // the older entry is left

    const std::string long_name(40, 'n');
    registry.add(long_name, 3, nullptr);
    EXPECT_FALSE(registry.find(long_name));
    EXPECT_TRUE(registry.find(long_name.substr(0, 31)));
    registry.add("user_pingu", 4, nullptr);
    EXPECT_FALSE(registry.find("User_Pingu"));
    EXPECT_TRUE(registry.wait_gone("absent", std::chrono::milliseconds{1}));
    EXPECT_FALSE(registry.wait_gone("user_pingu", std::chrono::milliseconds{1}));
}

TEST(ProbeDatagram, LayoutAndDelays) {
    ProbeDatagram datagram{};
    write_probe_text(datagram, PINGU_MONITOR);
    write_probe_header(datagram, 0x01020304, 1000, 999999);
    EXPECT_EQ(datagram[0], 0x04);
    EXPECT_EQ(datagram[3], 0x01);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(datagram.data() + 12)),
              "pingu version: flea");
    write_probe_text(datagram, PINGU_USER);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(datagram.data() + 12)),
              "pingu version: pingu");

    EXPECT_EQ(probe_delay(datagram, 1001, 1500), 1501u);  // across a second boundary
    EXPECT_EQ(probe_delay(datagram, 1000, 999999), 0u);
    EXPECT_FALSE(probe_delay(std::span{datagram}.first(75), 1001, 0));
    std::array<std::uint8_t, 77> longer{};
    EXPECT_FALSE(probe_delay(longer, 1001, 0));
}

}  // namespace
}  // namespace lld
