#include "iptsetter/rule_setter.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "device/interfaces.hpp"
#include "test_support.hpp"

namespace lld {
namespace {

using test::contains;

// Rules in short: P (--dports of the LAN), S (SNAT to the WAN), C (catch-all --sport of the
// LAN) and M (multicast return), each with its family.
std::string shorten(std::string text) {
    static constexpr std::pair<std::string_view, std::string_view> kWords[] = {
        {" -s 192.0.2.1/24 --match multiport --dports ", " P4 "},
        {" -s 2001:db8:1::1/64 --match multiport --dports ", " P6 "},
        {" ! -d 192.0.2.1/24 -j SNAT --to-source 198.51.100.2:", " S4 "},
        {" ! -d 2001:db8:1::1/64 -j SNAT --to-source [2001:db8:2::2]:", " S6 "},
        {" -s 192.0.2.1/24 --sport ", " C4 "},
        {" -s 2001:db8:1::1/64 --sport ", " C6 "},
        {" -d 224.0.0.0/4 -j RETURN", " M4"},
        {" -d ff00::/8 -j RETURN", " M6"},
        {"ip6tables -t nat -", "6"},
        {"iptables -t nat -", "4"},
        {" POSTROUTING -p ", " "},
        {"sh /etc/atom/conntrack_extract.sh ", "ct "},
        {"sysevent set firewall-restart", "restart"}};
    for (const auto& [from, to] : kWords) {
        for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
            text.replace(at, from.size(), to);
        }
    }
    return text;
}

// The rules that move other traffic out of the range.
std::string base(char action, const std::string& sport, const std::string& classic,
                 bool v6 = true) {
    std::string text;
    for (const char* family : {"4", "6"}) {
        if (*family == '4' || v6) {
            const std::string f = std::string{family} + action;
            text += f + " udp M" + family + "\n";
            for (const char* protocol : {" tcp C", " udp C"}) {
                text += f + protocol + family + " " + sport + " S" + family + " " + classic + "\n";
            }
        }
    }
    return text;
}

class RuleSetterTest : public testing::Test {
  protected:
    std::unique_ptr<RuleSetter> make(bool ipv4, bool ipv6) {
        const IpMode mode = ipv4 && ipv6 ? IpMode::Dualstack : ipv4 ? IpMode::Ipv4 : IpMode::Ipv6;
        return std::make_unique<RuleSetter>(
            RuleSetterSettings{{"brlan0", "erouter0", "192.0.2.1/24", "198.51.100.2",
                                "2001:db8:1::1/64", "2001:db8:2::2"},
                               ipv4,
                               ipv6,
                               rule_paths(dir_.path(), std::nullopt, mode),
                               false,
                               mode},
            runner_);
    }
    static void apply(RuleSetter& setter, const std::string& json) {
        setter.apply(json_parse(json).get());
    }
    // The command lines run since the last look, each followed by a line feed.
    std::string take() {
        std::string text;
        for (const std::string& line : runner_.take()) {
            text += line + "\n";
        }
        return shorten(text);
    }

    test::TempDir dir_;
    test::FakeRunner runner_;
};

TEST_F(RuleSetterTest, RulesOfBothFamiliesInTheirOrderOnceARangeIsKnown) {
    const auto setter = make(true, true);
    test::LogCapture log;
    apply(*setter, R"([{"cmd":"multi-add","name":"g","data":"3074,T"}])");
    EXPECT_TRUE(contains(shorten(log.text()),
                         "] [DBG] 4I tcp P4 3074 ! -d 192.0.2.1/24 -j SNAT --to-source \n"));
    EXPECT_EQ(take(), "ct 3074\n");  // no range yet: the rules are only logged
    ASSERT_EQ(setter->set_port_range("1024-2047"), 0);
    EXPECT_EQ(take(), "4I tcp P4 3074 S4 1024-2047\n6I tcp P6 3074 S6 1024-2047\n" +
                          base('A', "1024:2047", "2048-65535"));
    apply(*setter, R"([{"cmd":"multi-add","name":"g","data":"3478:3480,B"}])");
    EXPECT_EQ(take(),
              "ct 3074\n4I tcp P4 3478:3480 S4 1024-2047\n4I udp P4 3478:3480 S4 1024-2047\n"
              "6I tcp P6 3478:3480 S6 1024-2047\n6I udp P6 3478:3480 S6 1024-2047\n"
              "restart\nct 3478:3480\n");
    // Connection tracking is flushed for IPv4 only.
    apply(*make(false, true), R"([{"cmd":"multi-add","name":"g","data":"3074,T"}])");
    EXPECT_EQ(take(), "");
}

TEST_F(RuleSetterTest, RangeChangesDeleteWithTheOldTextsAndReissue) {
    const auto setter = make(true, false);
    apply(*setter, R"([{"cmd":"multi-add","name":"game","data":"3074,T"},
                       {"cmd":"device-add","name":"pc","data":"192.0.2.7"},
                       {"cmd":"multi-del","name":"gone","data":"4000,T"}])");
    take();
    // The stored device (newest) and port entries, then the base rules.
    const auto issued = [](char a, const std::string& range, const std::string& sport,
                           const std::string& classic) {
        return std::string{"4"} + a + " tcp -s 192.0.2.7 S4 " + range + "\n4" + a +
               " udp -s 192.0.2.7 S4 " + range + "\n4" + a + " tcp P4 3074 S4 " + range + "\n" +
               base(a == 'I' ? 'A' : a, sport, classic, false);
    };
    const std::string high = issued('I', "60000-65535", "60000:65535", "1024-59999");
    ASSERT_EQ(setter->set_port_range("5000-5010"), 0);
    EXPECT_EQ(take(), issued('I', "5000-5010", "5000:5010", "5011-65535"));
    ASSERT_EQ(setter->set_port_range("60000-65535"), 0);
    EXPECT_EQ(take(), issued('D', "5000-5010", "5000:5010", "5011-65535") + high);
    ASSERT_EQ(setter->set_port_range("60000-65535"), 0);
    EXPECT_EQ(take(), issued('D', "60000-65535", "60000:65535", "1024-59999") + high);
    for (const char* refused : {"2000-1000", "0-100", "100-70000", "5000-5010;reboot", "+5-9"}) {
        EXPECT_EQ(setter->set_port_range(refused), -1) << refused;
    }
    EXPECT_EQ(take(), "");
    EXPECT_EQ(setter->targets().lld_snat_v4, "198.51.100.2:60000-65535");
}

TEST_F(RuleSetterTest, DscpSettingsChangeOnlyOnANewValueOrFlags) {
    const auto setter = make(true, true);
    const std::tuple<const char*, const char*, int, int> steps[] = {
        {R"("value":46)", "dscp no update res(-1)", 46, 0},
        {R"("value":0,"lw_app_dscp":true)", "dscp error res(-1)", 46, 0},
        {R"("lw_app_dscp":1)", "dscp error res(-1)", 46, 0},
        {R"("value":46,"lw_app_dscp":true,"lw_dscp_to_ll":false)", "dscp update res(0)", 46, 2},
        {R"("value":46,"lw_app_dscp":true)", "dscp no update", 46, 2},
        {R"("VALUE":100,"LW_DSCP_TO_LL":2,"wl_dscp_set":true)", "[ERR] dscp-settings value 100", 46,
         2},
        {R"("VALUE":63,"LW_DSCP_TO_LL":2,"wl_dscp_set":true)", "dscp update res(0)", 63, 5}};
    for (const auto& [members, line, value, flags] : steps) {
        test::LogCapture log;
        apply(*setter, std::string{R"([{"Cmd":"dscp-settings",)"} + members + "}]");
        const std::string tagged = line[0] == '[' ? line : std::string{"[DBG] "} + line;
        EXPECT_TRUE(contains(log.text(), "] " + tagged)) << members;
        EXPECT_EQ(std::pair(setter->dscp_value(), setter->dscp_flags()), std::pair(value, flags));
    }
}

TEST_F(RuleSetterTest, PostedArraysRunInOrderAndAtMost31Wait) {
    auto setter = make(true, false);
    runner_.hold("sh /etc/atom/conntrack_extract.sh 1111");
    ASSERT_TRUE(setter->post(json_parse(R"([{"cmd":"multi-add","name":"a","data":"1111,T"}])")));
    ASSERT_TRUE(setter->post(json_parse(R"([{"cmd":"multi-add","name":"b","data":"2222,U"}])")));
    ASSERT_TRUE(runner_.saw("sh /etc/atom/conntrack_extract.sh 1111"));  // held in the first
    for (int queued = 1; queued < 31; ++queued) {
        EXPECT_TRUE(setter->post(json_parse("[]"))) << queued;
    }
    EXPECT_FALSE(setter->post(json_parse("[]")));  // and freed: the leak checker sees to it
    std::atomic<bool> done{false};
    setter->post_port_range("x", [&done] { done = true; });  // runs after everything before it
    runner_.hold(std::nullopt);
    for (int i = 0; i < 2000 && !done; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds{10});
    }
    ASSERT_TRUE(done);
    // a's port list is new, then stale before b; b's is new, then stale before the first [].
    EXPECT_EQ(take(), "ct 1111\nct 1111\nct 2222\nct 2222\n");
}

TEST_F(RuleSetterTest, TrackerEnablesIpv4OnceItsAddressesAppear) {
    if (interface_ipv4("lo", true) != "127.0.0.1/8") {
        GTEST_SKIP() << "lo is not 127.0.0.1/8";
    }
    // IPv4 is down and its LAN address unknown, as when the LAN came up late.
    RuleSetter setter{{{"lo", "lo", "", "", "2001:db8:1::1/64", "2001:db8:2::2"},
                       false,
                       true,
                       rule_paths(dir_.path(), std::nullopt, IpMode::Dualstack),
                       false,
                       IpMode::Dualstack},
                      runner_};
    setter.post_port_range("5000-5010", [] {});  // the worker's, as the tracker's news is
    EXPECT_TRUE(runner_.saw(
        "iptables -t nat -A POSTROUTING -p tcp -s 127.0.0.1/8 --sport 5000:5010 ! -d 127.0.0.1/8 "
        "-j SNAT --to-source 127.0.0.1:5011-65535"));
    EXPECT_EQ(setter.wan_address(Family::V4), "127.0.0.1");
}

}  // namespace
}  // namespace lld
