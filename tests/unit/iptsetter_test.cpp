#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "app/config.hpp"
#include "common/json.hpp"
#include "common/shell.hpp"
#include "iptsetter/addresses.hpp"
#include "iptsetter/ipt_setter.hpp"
#include "iptsetter/rule_text.hpp"
#include "test_support.hpp"

namespace lld {
namespace {

using Commands = std::vector<std::string>;

// Records every command instead of running it.
class FakeShell final : public Shell {
  public:
    std::optional<std::vector<std::uint8_t>> read_output(const std::string&, std::size_t) override {
        return std::nullopt;
    }
    int run(const std::string& command) override {
        const std::lock_guard lock{mutex_};
        runs_.push_back(command);
        ran_.notify_all();
        return 0;
    }
    Commands take() {
        const std::lock_guard lock{mutex_};
        return std::exchange(runs_, {});
    }
    // The deadline only turns a lost wake-up into a failure instead of a hang.
    bool wait_for_run(const std::string& command) {
        std::unique_lock lock{mutex_};
        return ran_.wait_for(lock, std::chrono::minutes{1}, [&] {
            return std::find(runs_.begin(), runs_.end(), command) != runs_.end();
        });
    }

  private:
    std::mutex mutex_;
    std::condition_variable ran_;
    Commands runs_;
};

template <typename Action>
std::string logged(Action action) {
    setenv("LLD_DBG_LVL", "debug", 1);
    testing::internal::CaptureStdout();
    action();
    std::fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    unsetenv("LLD_DBG_LVL");
    return out;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string file_text(const std::string& path) {
    std::ifstream in{path, std::ios::binary};
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_text(const std::string& path, const std::string& text) {
    std::ofstream{path, std::ios::binary} << text;
}

void carry_out(iptSetterState& state, const std::string& json) {
    const JsonPtr tree = json_parse(json);
    ASSERT_NE(tree, nullptr) << json;
    state.natApiJson(tree.get());
}

// "1,1,...,1" of exactly `length` characters (a final "10" when it is even).
std::string port_list(std::size_t length) {
    std::string ports = "1";
    while (ports.size() + 2 <= length) {
        ports += ",1";
    }
    return ports.size() < length ? ports + "0" : ports;
}

Commands joined(Commands first, const Commands& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// Expected command lines are built from these literal pieces.
std::string v4(char letter, const std::string& rest) {
    return std::string{"iptables -t nat -"} + letter + " POSTROUTING -p " + rest;
}
std::string v6(char letter, const std::string& rest) {
    return std::string{"ip6tables -t nat -"} + letter + " POSTROUTING -p " + rest;
}
const std::string kPorts4 = " -s 192.0.2.1/24 --match multiport --dports ";
const std::string kPorts6 = " -s 2001:db8:1::1/64 --match multiport --dports ";
const std::string kSnat4 = " ! -d 192.0.2.1/24 -j SNAT --to-source ";
const std::string kSnat6 = " ! -d 2001:db8:1::1/64 -j SNAT --to-source ";
const std::string kWan4 = "198.51.100.2:";
const std::string kWan6 = "[2001:db8:2::2]:";
const std::string kConntrack = "sh /etc/atom/conntrack_extract.sh ";
const std::string kRestart = "sysevent set firewall-restart";
const std::string kDefaultNatJson =
    "[\n{\"cmd\":\"dscp-settings\",\"value\":46,\"lw_dscp_to_ll\":0,\"lw_app_dscp\":0,"
    "\"wl_dscp_set\":0}\n]";

class IptSetter : public testing::Test {
  protected:
    std::unique_ptr<iptSetterState> make(bool ipv4, bool ipv6, bool by_file,
                                         int ip_mode = IP_MODE_DUALSTACK) {
        const auto file = by_file ? std::optional<std::string>{"rules.wr"} : std::nullopt;
        return std::make_unique<iptSetterState>(
            IptInterfaces{"brlan0", "erouter0", "192.0.2.1/24", "198.51.100.2", "2001:db8:1::1/64",
                          "2001:db8:2::2"},
            ipv4, ipv6, ipt_paths(dir.path(), file, ip_mode), by_file, ip_mode);
    }
    std::string path(const char* name) const { return dir / name; }

    test::TempDir dir;
    FakeShell fake;
    ScopedShell guard{fake};
};

using NatApi = IptSetter;
using NatQueue = IptSetter;

TEST(RulePortRange, OnlyDigitsDashDigitsInOrder) {
    EXPECT_EQ(parse_port_range("5000-5010"), std::pair(5000, 5010));
    EXPECT_EQ(parse_port_range("05000-5010"), std::pair(5000, 5010));
    EXPECT_EQ(parse_port_range("1-65535"), std::pair(1, 65535));
    for (const char* text : {"2000-1000", "5000-5000", "0-100", "100-70000", "5000-5010;reboot",
                             " 5000-5010", "5000-5010 ", "+5-9", "-5-9", "5-9-10", "5000", "",
                             "abc-def", "99999999999-5", "5-99999999999999999999"}) {
        EXPECT_FALSE(parse_port_range(text)) << '"' << text << '"';
    }
}

TEST(RulePortRange, ClassicTrafficTakesTheLargerFreeSide) {
    // low, high, then the classic range; the sides of the last two differ by one port.
    const int cases[][4] = {{1024, 2047, 2048, 65535},
                            {60000, 65535, 1024, 59999},
                            {30000, 40000, 1024, 29999},
                            {11022, 55535, 55536, 65535},
                            {11023, 55535, 1024, 11022}};
    for (const auto& c : cases) {
        EXPECT_EQ(classic_port_range(c[0], c[1]), std::pair(c[2], c[3])) << c[0] << "-" << c[1];
    }
}

TEST(RuleValidation, PortListsAreDecimalPortsAndRanges) {
    for (const char* ports : {"80", "1", "65535", "3074,3478:3480", "1:65535"}) {
        EXPECT_TRUE(valid_port_list(ports)) << ports;
    }
    EXPECT_TRUE(valid_port_list(port_list(255)));
    EXPECT_FALSE(valid_port_list(port_list(256)));
    for (const char* ports :
         {"", "0", "65536", "80,", ",80", "80,,81", "1:", ":2", "1:2:3", "80;reboot", "80 81",
          "$(reboot)", "80|sh", "80\n81", "-1", "+80", "80:0"}) {
        EXPECT_FALSE(valid_port_list(ports)) << '"' << ports << '"';
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
}

TEST_F(IptSetter, CommandsForBothFamiliesInTheirOrder) {
    const auto state = make(true, true, false);
    const std::string log = logged([&] { state->iptMultiRule('I', "3074,T"); });
    EXPECT_TRUE(contains(log, "] [DBG] " + v4('I', "tcp" + kPorts4 + "3074" + kSnat4) + "\n"))
        << log;
    EXPECT_TRUE(fake.take().empty());  // no range yet: logged only

    ASSERT_EQ(state->iptSetPortRange("1024-2047"), 0);
    const std::string c4 = " -s 192.0.2.1/24 --sport 1024:2047" + kSnat4 + kWan4 + "2048-65535";
    const std::string c6 = " -s 2001:db8:1::1/64 --sport 1024:2047" + kSnat6 + kWan6 + "2048-65535";
    EXPECT_EQ(fake.take(), (Commands{v4('A', "udp -d 224.0.0.0/4 -j RETURN"), v4('A', "tcp" + c4),
                                     v4('A', "udp" + c4), v6('A', "udp -d ff00::/8 -j RETURN"),
                                     v6('A', "tcp" + c6), v6('A', "udp" + c6)}));

    state->iptMultiRule('I', "3074,3478:3480,B");
    const std::string m4 = kPorts4 + "3074,3478:3480" + kSnat4 + kWan4 + "1024-2047";
    const std::string m6 = kPorts6 + "3074,3478:3480" + kSnat6 + kWan6 + "1024-2047";
    EXPECT_EQ(fake.take(), (Commands{v4('I', "tcp" + m4), v6('I', "tcp" + m6), v4('I', "udp" + m4),
                                     v6('I', "udp" + m6)}));

    state->iptDeviceRule('D', "2001:db8:1::7");
    const std::string d4 = " -s 2001:db8:1::7" + kSnat4 + kWan4 + "1024-2047\n";
    const std::string d6 = " -s 2001:db8:1::7" + kSnat6 + kWan6 + "1024-2047\n";
    EXPECT_EQ(fake.take(), (Commands{v4('D', "tcp" + d4), v4('D', "udp" + d4), v6('D', "tcp" + d6),
                                     v6('D', "udp" + d6)}));

    state->iptMultiRule('I', "3074,X");
    state->iptMultiRule('I', "3074");
    EXPECT_TRUE(fake.take().empty());
}

// A device entry (newest) and a tcp port entry, IPv4 only, as a range change issues them.
Commands reissued(char letter, const std::string& range, const std::string& sport,
                  const std::string& classic) {
    const char base = letter == 'I' ? 'A' : letter;
    const std::string catch_all = " -s 192.0.2.1/24 --sport " + sport + kSnat4 + kWan4 + classic;
    return {v4(letter, "tcp -s 192.0.2.7" + kSnat4 + kWan4 + range + "\n"),
            v4(letter, "udp -s 192.0.2.7" + kSnat4 + kWan4 + range + "\n"),
            v4(letter, "tcp" + kPorts4 + "3074" + kSnat4 + kWan4 + range),
            v4(base, "udp -d 224.0.0.0/4 -j RETURN"),
            v4(base, "tcp" + catch_all),
            v4(base, "udp" + catch_all)};
}

TEST_F(IptSetter, RangeChangesDeleteWithTheOldTextsAndReissue) {
    const auto state = make(true, false, false);
    state->natEntryAdd("game", "3074,T", "multi-add");
    state->natEntryAdd("pc", "192.0.2.7", "device-add");
    state->natEntryAdd("gone", "4000,T", "multi-del");
    const auto high = reissued('I', "60000-65535", "60000:65535", "1024-59999");

    ASSERT_EQ(state->iptSetPortRange("5000-5010"), 0);
    EXPECT_EQ(fake.take(), reissued('I', "5000-5010", "5000:5010", "5011-65535"));
    ASSERT_EQ(state->iptSetPortRange("60000-65535"), 0);
    EXPECT_EQ(fake.take(), joined(reissued('D', "5000-5010", "5000:5010", "5011-65535"), high));
    ASSERT_EQ(state->iptSetPortRange("60000-65535"), 0);
    EXPECT_EQ(fake.take(), joined(reissued('D', "60000-65535", "60000:65535", "1024-59999"), high));

    for (const char* refused :
         {"2000-1000", "0-100", "100-70000", "5000-5010;reboot", " 5000-5010", "+5-9"}) {
        EXPECT_EQ(state->iptSetPortRange(refused), -1) << refused;
    }
    EXPECT_TRUE(fake.take().empty());
    EXPECT_EQ(state->targets().lldSnatV4, kWan4 + "60000-65535");
}

TEST_F(NatApi, EachArrayReplacesTheStoredEntries) {
    const auto state = make(true, true, false);
    ASSERT_EQ(state->iptSetPortRange("5000-5010"), 0);
    fake.take();
    carry_out(*state, R"([{"cmd":"multi-add","name":"g1","data":"3074,T"},
                          {"CMD":"device-add","Name":"d1","DATA":"192.0.2.7"}])");
    EXPECT_EQ(state->nat_entry_count(), 2u);
    const Commands first = fake.take();
    ASSERT_EQ(first.size(), 8u);  // 2 port rules, 4 device rules
    EXPECT_EQ(Commands(first.begin() + 6, first.end()), (Commands{kRestart, kConntrack + "3074"}));

    // Deletes the rules of its own data; the entry went with the array that stored it.
    const std::string log =
        logged([&] { carry_out(*state, R"([{"cmd":"multi-del","name":"g1","data":"3075,U"}])"); });
    EXPECT_TRUE(contains(log, "] [ZEZ-UDERED] [INF] g1 was not present\n")) << log;
    EXPECT_EQ(state->nat_entry_count(), 0u);
    EXPECT_EQ(
        fake.take(),
        (Commands{kConntrack + "3074",
                  v4('D', "udp" + kPorts4 + "3075" + kSnat4 + kWan4 + "5000-5010"),
                  v6('D', "udp" + kPorts6 + "3075" + kSnat6 + kWan6 + "5000-5010"), kRestart}));

    carry_out(*state, R"([{"cmd":"device-add","name":"x","data":"192.0.2.8"},
                          {"cmd":"device-del","name":"x","data":"192.0.2.8"}])");
    EXPECT_EQ(state->nat_entry_count(), 0u);
}

TEST_F(NatApi, ConntrackOnlyForNewAndStaleValidPortLists) {
    const auto state = make(true, false, false);
    carry_out(*state, R"([{"cmd":"multi-add","name":"a","data":"1000,1001:1002,U"},
                          {"cmd":"multi-add","name":"plain","data":"3074"},
                          {"cmd":"multi-add","name":"long","data":")" +
                          port_list(256) + R"(,T"}])");
    EXPECT_EQ(fake.take(), Commands{kConntrack + "1000,1001:1002"});
    EXPECT_EQ(state->nat_entry_count(), 2u);

    carry_out(*state, R"([{"cmd":"multi-add","name":"b","data":"2000,T"}])");
    EXPECT_EQ(fake.take(), (Commands{kConntrack + "1000,1001:1002", kConntrack + "2000"}));

    const auto v6_only = make(false, true, false);
    carry_out(*v6_only, R"([{"cmd":"multi-add","name":"b","data":"2000,T"}])");
    EXPECT_TRUE(fake.take().empty());
}

TEST_F(NatApi, HostileDataFormsNoRuleAndNoEntry) {
    const auto state = make(true, true, false);
    ASSERT_EQ(state->iptSetPortRange("5000-5010"), 0);
    // The validation tables hold the variety; one of each command kind here.
    const std::pair<const char*, std::string> cases[] = {
        {"multi-add", "80;reboot,T"},   {"multi-add", port_list(256) + ",B"},
        {"multi-del", ":2,U"},          {"device-add", "192.0.2.7;reboot"},
        {"device-add", "192.0.2.7\\n"}, {"device-del", "192.0.2.1/33"}};
    for (const auto& [cmd, data] : cases) {
        fake.take();
        const std::string log = logged([&] {
            carry_out(*state, std::string{R"([{"cmd":")"} + cmd + R"(","name":"evil","data":")" +
                                  data + R"("}])");
        });
        EXPECT_TRUE(contains(log, std::string{"] [ZEZ-UDERED] [ERR] "} + cmd + " \"evil\" refused"))
            << log;
        EXPECT_TRUE(contains(log, "] [ZEZ-UDERED] [DBG] res = -1\n")) << data;
        EXPECT_EQ(fake.take(), Commands{kRestart}) << data;
        EXPECT_EQ(state->nat_entry_count(), 0u) << data;
    }
}

TEST_F(NatApi, DscpSettingsChangeOnlyOnANewValueOrFlags) {
    const auto state = make(true, true, false);
    const struct {
        const char* element;
        const char* log;
        int value, flags;
    } steps[] = {
        {R"({"cmd":"dscp-settings","value":46})", "dscp no update res(-1)", 46, 0},
        {R"({"cmd":"dscp-settings","value":0,"lw_app_dscp":true})", "dscp error res(-1)", 46, 0},
        {R"({"cmd":"dscp-settings","lw_app_dscp":1})", "dscp error res(-1)", 46, 0},
        {R"({"cmd":"dscp-settings","value":46,"lw_app_dscp":true,"lw_dscp_to_ll":false})",
         "dscp update res(0)", 46, 2},
        {R"({"cmd":"dscp-settings","value":46,"lw_app_dscp":true})", "dscp no update", 46, 2},
        {R"({"Cmd":"dscp-settings","VALUE":100,"LW_DSCP_TO_LL":2,"wl_dscp_set":true})",
         "dscp update res(0)", 0, 5}};
    for (const auto& step : steps) {
        const std::string log =
            logged([&] { carry_out(*state, std::string{"["} + step.element + "]"); });
        EXPECT_TRUE(contains(log, std::string{"] [ZEZ-UDERED] [DBG] "} + step.log)) << log;
        EXPECT_EQ(state->dscp_value(), step.value) << step.element;
        EXPECT_EQ(state->dscp_flags(), step.flags) << step.element;
    }
}

TEST_F(NatApi, PortrangeUnknownCommandsAndTheFirewallRestart) {
    const auto state = make(true, true, false);
    const std::string log = logged([&] {
        carry_out(*state, R"([{"cmd":"portrange","data":"5000-5010"},
                              {"cmd":"portrange","name":"r","data":"5000-5010;reboot"},
                              {"cmd":"reboot","name":"x","data":"y"}, 7, {"name":"x"}])");
    });
    EXPECT_TRUE(contains(log, "] [ZEZ-UDERED] [DBG] data else res(-1) \n")) << log;
    EXPECT_EQ(state->targets().lldPortRange, "");
    EXPECT_TRUE(fake.take().empty());  // no range: not even the firewall restart

    carry_out(*state, R"([{"cmd":"portrange","name":"r","data":"5000-5010"}])");
    EXPECT_EQ(state->targets().lldPortRange, "5000-5010");
    EXPECT_EQ(process_config().cloud_port_range.get(), "5000-5010");
    const Commands runs = fake.take();
    EXPECT_EQ(runs.size(), 7u);  // 6 base rules
    EXPECT_EQ(runs.back(), kRestart);
    process_config().cloud_port_range.set("");
}

TEST_F(NatApi, NonArraysAreIgnored) {
    const auto state = make(true, true, true);
    ASSERT_EQ(state->iptSetPortRange("5000-5010"), 0);
    write_text(path("iptables-nat.json"), "old");
    write_text(path("rules.wr"), "old");
    const std::string log = logged([&] {
        carry_out(*state, R"({"cmd":"multi-add","name":"a","data":"80,T"})");
        state->natApiJson(nullptr);
    });
    EXPECT_TRUE(contains(log, "] [ZEZ-UDERED] [DBG] *** natApiJson awake!\n")) << log;
    EXPECT_EQ(file_text(path("iptables-nat.json")) + file_text(path("rules.wr")), "oldold");
    EXPECT_TRUE(fake.take().empty());
}

TEST_F(IptSetter, RulesFilesAndNatConfigurationByteForByte) {
    const auto state = make(true, true, true);
    ASSERT_EQ(state->iptSetPortRange("05000-5010"), 0);  // the target keeps the text given
    carry_out(*state, R"([{"cmd":"dscp-settings","value":46,"lw_app_dscp":true},
                          {"cmd":"multi-add","name":"game","data":"3074,3478:3480,B"},
                          {"cmd":"multi-add","name":"odd","data":"no \"comma\" \\"},
                          {"cmd":"device-add","name":"pc \"2\" \\ x","data":"192.0.2.7"}])");
    const std::string lld4 = kSnat4 + kWan4 + "05000-5010\n";
    const std::string ports4 = kPorts4 + "3074,3478:3480" + lld4;
    const std::string catch4 =
        " -s 192.0.2.1/24 --sport 5000:5010" + kSnat4 + kWan4 + "5011-65535\n";
    const std::string head4 = v4('I', "udp" + catch4) + v4('I', "tcp" + catch4);
    const std::string game4 = v4('I', "tcp" + ports4) + v4('I', "udp" + ports4);
    const std::string tail4 = v4('I', "udp -d 224.0.0.0/4 -j RETURN\n");
    EXPECT_EQ(file_text(path("rules.wr")), head4 + v4('I', "tcp -s 192.0.2.7" + lld4) +
                                               v4('I', "udp -s 192.0.2.7" + lld4) + game4 + tail4);
    const std::string dev6 = " -s 192.0.2.7" + kSnat6 + kWan6 + "05000-5010\n";
    const std::string dscp6 =
        " -s 2001:db8:1::1/64 --match multiport --dports 3074,3478:3480 ! -d "
        "2001:db8:1::1/64 -j DSCP --set-dscp 46\n";
    EXPECT_EQ(file_text(path("rules6.wr")),
              v6('I', "tcp" + dev6) + v6('I', "udp" + dev6) +
                  "ip6tables -t mangle -I POSTROUTING -p tcp" + dscp6 +
                  "ip6tables -t mangle -I POSTROUTING -p udp" + dscp6);
    EXPECT_EQ(file_text(path("iptables-nat.json")), R"([
{"cmd":"dscp-settings","value":46,"lw_dscp_to_ll":0,"lw_app_dscp":1,"wl_dscp_set":0},
{"cmd":"device-add","name":"pc \"2\" \\ x","data":"192.0.2.7"},
{"cmd":"multi-add","name":"odd","data":"no \"comma\" \\"},
{"cmd":"multi-add","name":"game","data":"3074,3478:3480,B"}
])");
    EXPECT_EQ(fake.take(), (Commands{kRestart, kConntrack + "3074,3478:3480"}));

    // Without "lw_app_dscp" the port entries mark nothing.
    carry_out(*state, R"([{"cmd":"dscp-settings","value":46},
                          {"cmd":"multi-add","name":"game","data":"3074,3478:3480,B"}])");
    EXPECT_EQ(file_text(path("rules.wr")), head4 + game4 + tail4);
    EXPECT_EQ(file_text(path("rules6.wr")), "");

    carry_out(*state, "[]");
    EXPECT_EQ(file_text(path("rules.wr")), head4 + tail4);
    EXPECT_EQ(file_text(path("iptables-nat.json")), kDefaultNatJson);
}

TEST_F(IptSetter, WhichFilesAreWrittenFollowsRangeAndModes) {
    const auto immediate = make(true, true, false);
    ASSERT_EQ(immediate->iptSetPortRange("5000-5010"), 0);
    immediate->IPT_SET_BY_FILE();
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

    const auto no_range = make(true, true, true);
    write_text(path("rules.wr"), "old4");
    write_text(path("rules6.wr"), "old6");
    no_range->IPT_SET_BY_FILE();
    EXPECT_EQ(file_text(path("rules.wr")) + file_text(path("rules6.wr")), "old4old6");
    EXPECT_EQ(file_text(path("iptables-nat.json")), kDefaultNatJson);
    carry_out(*no_range, R"([{"cmd":"multi-add","name":"a","data":"80,T"}])");
    EXPECT_FALSE(std::filesystem::exists(path("rules.wr")));
    EXPECT_FALSE(std::filesystem::exists(path("rules6.wr")));
    EXPECT_TRUE(contains(file_text(path("iptables-nat.json")), R"("name":"a","data":"80,T")"));

    const auto ipv4_mode = make(true, true, true, IP_MODE_IPV4);
    ASSERT_EQ(ipv4_mode->iptSetPortRange("5000-5010"), 0);
    ipv4_mode->IPT_SET_BY_FILE();
    EXPECT_TRUE(std::filesystem::exists(path("rules.wr")));
    EXPECT_TRUE(std::filesystem::exists(path("ip6setter.tmp")));  // staged, never moved
    EXPECT_FALSE(std::filesystem::exists(path("rules6.wr")));
    EXPECT_FALSE(ipt_paths("/nv", "r", IP_MODE_NONE).iptRulesPath);
}

TEST_F(IptSetter, RestoreKeepsValidEntriesInReverseOrder) {
    for (const char* text : {R"([{"cmd":"multi-add","name":"a","data":"80,T"})",
                             R"({"cmd":"multi-add","name":"a","data":"80,T"})", "garbage", ""}) {
        write_text(path("iptables-nat.json"), text);
        const auto state = make(true, true, true);
        const std::string log = logged([&] { state->restore_nat_entries(); });
        EXPECT_TRUE(contains(log, "] [ZEZ-UDERED] [ERR] ")) << text;
        EXPECT_EQ(state->nat_entry_count(), 0u) << text;
    }

    write_text(path("iptables-nat.json"), R"([
{"cmd":"dscp-settings","value":10,"lw_dscp_to_ll":1,"lw_app_dscp":1,"wl_dscp_set":1},
{"cmd":"multi-add","name":"q\"b\\s","data":"3074,T"},
{"cmd":"device-add","name":"evil","data":"192.0.2.7;reboot"},
{"cmd":"multi-add","name":"evil2","data":"80$(reboot),T"},
{"cmd":"device-add","name":"pc","data":"192.0.2.7"}
])");
    const auto state = make(true, true, true);
    const std::string log = logged([&] { state->restore_nat_entries(); });
    EXPECT_TRUE(contains(log, "] [ZEZ-UDERED] [ERR] device-add \"evil\" refused")) << log;
    EXPECT_TRUE(contains(log, "] [ZEZ-UDERED] [ERR] multi-add \"evil2\" refused")) << log;
    EXPECT_EQ(state->dscp_value(), 46);
    EXPECT_EQ(state->dscp_flags(), 0);
    state->IPT_SET_BY_FILE();
    EXPECT_EQ(file_text(path("iptables-nat.json")), R"([
{"cmd":"dscp-settings","value":46,"lw_dscp_to_ll":0,"lw_app_dscp":0,"wl_dscp_set":0},
{"cmd":"device-add","name":"pc","data":"192.0.2.7"},
{"cmd":"multi-add","name":"q\"b\\s","data":"3074,T"}
])");
}

TEST_F(NatQueue, ThirtyOneArraysWaitAndTheNextIsRefused) {
    const auto state = make(true, true, false);
    for (int i = 0; i < 31; ++i) {
        EXPECT_TRUE(state->iptSetterPost(json_parse("[]"))) << i;
    }
    EXPECT_FALSE(state->iptSetterPost(json_parse("[]")));  // and freed: the leak checker sees it
}

TEST_F(NatQueue, ArraysPostedBeforeTheWorkerRunsAreAllCarriedOutInOrder) {
    const auto state = make(true, false, false);
    for (const char* array : {R"([{"cmd":"multi-add","name":"a","data":"1111,T"}])",
                              R"([{"cmd":"multi-add","name":"b","data":"2222,U"}])"}) {
        ASSERT_TRUE(state->iptSetterPost(json_parse(array)));
    }
    ASSERT_TRUE(state->start_worker());
    ASSERT_TRUE(fake.wait_for_run(kConntrack + "2222"));
    state->stop();
    // The second array finds the first one's entry stale, so the first ran before it.
    EXPECT_EQ(fake.take(),
              (Commands{kConntrack + "1111", kConntrack + "1111", kConntrack + "2222"}));
    EXPECT_EQ(state->nat_entry_count(), 1u);
}

TEST_F(IptSetter, TrackerLooksUpAnEmptyLanAddressAgain) {
    std::string loopback;
    if (getIfIpv4Addr("lo", loopback, true) != 0 || loopback != "127.0.0.1/8") {
        GTEST_SKIP() << "lo is not 127.0.0.1/8";
    }
    process_config().cloud_port_range.set("5000-5010");
    // IPv4 is down and its LAN address unknown, as when the LAN came up late.
    const IptInterfaces late{"lo", "lo", "", "", "", ""};
    const IptPaths paths = ipt_paths(dir.path(), std::nullopt, IP_MODE_DUALSTACK);
    iptSetterState state{late, false, true, paths, false, IP_MODE_DUALSTACK};
    state.start_wan_tracker();
    state.stop();  // the address is there, so the tracker never waits
    process_config().cloud_port_range.set("");
    EXPECT_TRUE(state.ipv4_up());
    EXPECT_EQ(state.lan_address(Family::V4), "127.0.0.1/8");
    const Commands runs = fake.take();
    EXPECT_NE(std::find(runs.begin(), runs.end(),
                        "iptables -t nat -A POSTROUTING -p tcp -s 127.0.0.1/8 --sport 5000:5010 "
                        "! -d 127.0.0.1/8 -j SNAT --to-source 127.0.0.1:5011-65535"),
              runs.end());
}

}  // namespace
}  // namespace lld
