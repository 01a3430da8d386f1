#include "iptsetter/rules.hpp"

#include "iptsetter/rule_setter.hpp"

#include <gtest/gtest.h>

namespace lld {
namespace {

TEST(PortRange, OnlyDigitsDashDigitsInOrder) {
    EXPECT_EQ(PortRange::parse("5000-5010"), (PortRange{5000, 5010}));
    EXPECT_EQ(PortRange::parse("05000-5010").value_or(PortRange{}).text(), "5000-5010");
    EXPECT_EQ(PortRange::parse("1-65535"), (PortRange{1, 65535}));
    for (const char* text : {"2000-1000", "5000-5000", "0-100", "100-70000", "5000-5010;reboot",
                             " 5000-5010", "5000-5010 ", "+5-9", "-5-9", "5-9-10", "5000", "",
                             "abc-def", "99999999999-5", "5-99999999999999999999"}) {
        EXPECT_FALSE(PortRange::parse(text)) << '"' << text << '"';
    }
}

TEST(RulePaths, RulesFilesOnlyInTheirModeAndForTheFamiliesOfTheGateway) {
    EXPECT_FALSE(rule_paths("/nv", std::nullopt, IpMode::Dualstack).ipv4_rules);
    EXPECT_EQ(rule_paths("/nv", "r", IpMode::Ipv4).ipv4_rules, "/nv/r");
    EXPECT_FALSE(rule_paths("/nv", "r", IpMode::Ipv4).ipv6_rules);  // staged, never put in place
    EXPECT_EQ(rule_paths("/nv", "r", IpMode::Ipv6).ipv6_rules, "/nv/rules6.wr");
    EXPECT_FALSE(rule_paths("/nv", "r", IpMode::None).ipv4_rules);
}

TEST(PortRange, ClassicTrafficTakesTheLargerFreeSide) {
    // low, high, then the classic range (0-0: none); the sides of the middle two differ by
    // one port; the last ones leave one side without a port, or both.
    const int cases[][4] = {{1024, 2047, 2048, 65535},   {60000, 65535, 1024, 59999},
                            {30000, 40000, 1024, 29999}, {11022, 55535, 55536, 65535},
                            {11023, 55535, 1024, 11022}, {1025, 65535, 1024, 1024},
                            {1024, 65534, 65535, 65535}, {1023, 65534, 65535, 65535},
                            {1024, 65535, 0, 0},         {1, 65535, 0, 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(classic_port_range({c[0], c[1]}).value_or(PortRange{}), (PortRange{c[2], c[3]}))
            << c[0] << "-" << c[1];
    }
}

TEST(RuleValidation, PortListsAreDecimalPortsAndRangesTheFirewallTakes) {
    // At most 15 ports, a range counting two.
    const std::string fifteen = "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15";
    const std::string ranges = "1:2,3:4,5:6,7:8,9:10,11:12,13:14,65535";
    using List = std::vector<std::string>;
    for (const std::string& ports :
         List{"80", "1", "65535", "3074,3478:3480", "1:65535", fifteen, ranges}) {
        EXPECT_TRUE(valid_port_list(ports)) << ports;
    }
    for (const std::string& ports : List{fifteen + ",16",
                                         ranges + ",1",
                                         "1:2,3:4,5:6,7:8,9:10,11:12,13:14,15:16",
                                         "",
                                         "0",
                                         "65536",
                                         "80,",
                                         ",80",
                                         "80,,81",
                                         "1:",
                                         ":2",
                                         "1:2:3",
                                         "80;reboot",
                                         "80 81",
                                         "$(reboot)",
                                         "80|sh",
                                         "80\n81",
                                         "-1",
                                         "+80",
                                         "80:0"}) {
        EXPECT_FALSE(valid_port_list(ports)) << '"' << ports << '"';
    }
    // A protocol letter other than T, U or B, or none at all, forms no rule.
    const FamilyRules v4{Family::V4, "192.0.2.1/24", "198.51.100.2:5000-5010"};
    EXPECT_EQ(entry_rules(v4, RuleAction::Insert, "multi-add", "3074,B").size(), 2u);
    for (const char* data : {"3074,X", "3074,", "3074"}) {
        EXPECT_TRUE(entry_rules(v4, RuleAction::Insert, "multi-add", data).empty()) << data;
    }
}

TEST(RuleValidation, DevicesAreOneAddressWithOptionalPrefix) {
    for (const char* device : {"192.0.2.7", "192.0.2.0/24", "192.0.2.1/32", "0.0.0.0/0",
                               "2001:db8::5", "2001:db8::/128", "::ffff:192.0.2.1"}) {
        EXPECT_TRUE(valid_device_address(device)) << device;
    }
    for (const char* device :
         {"", "192.0.2.1/33", "192.0.2.1/-1", "192.0.2.1/", "2001:db8::/129", "192.0.2.1;reboot",
          " 192.0.2.1", "192.0.2.1 ", "192.0.2.1\n", "192.0.2.256", "gateway.example",
          "192.0.2.0/24/8", "fe80::1%eth0", "192.0.2.0/0024", "$(reboot)"}) {
        EXPECT_FALSE(valid_device_address(device)) << '"' << device << '"';
    }
    // A NUL must not hide what follows it from the check.
    EXPECT_FALSE(valid_device_address(std::string_view{"192.0.2.1\0;reboot", 17}));
    // A device's rules go only to the tool of its own family.
    const FamilyRules v4{Family::V4, "192.0.2.1/24", "198.51.100.2:5000-5010"};
    const FamilyRules v6{Family::V6, "2001:db8:1::1/64", "[2001:db8:2::2]:5000-5010"};
    for (const char* device : {"192.0.2.7", "2001:db8:1::7/128"}) {
        const bool is_v6 = std::string_view{device}.find(':') != std::string_view::npos;
        EXPECT_EQ(entry_rules(v4, RuleAction::Insert, "device-add", device).size(),
                  is_v6 ? 0u : 2u);
        EXPECT_EQ(entry_rules(v6, RuleAction::Delete, "device-del", device).size(),
                  is_v6 ? 2u : 0u);
    }
}

}  // namespace
}  // namespace lld
