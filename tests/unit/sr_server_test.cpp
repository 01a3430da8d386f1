#include "docsis/sr_server.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/fd.hpp"
#include "common/shell.hpp"

namespace lld {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

// Counters apart from each other, with the padding of the modem's own records.
serflow_entry flow(std::uint32_t sfid, std::uint32_t base) {
    return {sfid, 1, 2, 0xF10A, 0xF111000C, base, base + 1u, base + 2u, base + 3u, base + 4u};
}

Bytes table(std::initializer_list<serflow_entry> records, bool terminated = true) {
    Bytes out;
    for (const serflow_entry& record : records) {
        const auto at = out.size();
        out.resize(at + sizeof record);
        std::memcpy(out.data() + at, &record, sizeof record);
    }
    if (terminated) {
        out.resize(out.size() + sizeof(serflow_entry), 0);
    }
    return out;
}

sockaddr_in address(const char* host, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, host, &a.sin_addr);
    return a;
}

TEST(SrServer, ParsesStatsRequests) {
    const struct {
        std::string_view datagram;
        std::optional<std::int32_t> count;
    } cases[] = {
        {"stats 3", 3},
        {"stats \t\n 7 and more", 7},
        {"stats 5abc", 5},
        {"stats +4", 4},
        {"stats 007", 7},
        {"stats 2147483647", INT32_MAX},
        {std::string_view{"stats 9\0junk", 12}, 9},
        {"stats 0", std::nullopt},
        {"stats -2", std::nullopt},
        {"stats ", std::nullopt},
        {"stats", std::nullopt},
        {"stats x", std::nullopt},
        {"stats + 4", std::nullopt},
        {"stats +-4", std::nullopt},
        {"stats ++4", std::nullopt},
        {"stats 2147483648", std::nullopt},
        {std::string_view{"stats \0 9", 9}, std::nullopt},
        {"Stats 3", std::nullopt},
        {"statsx3", std::nullopt},
        {"count 3", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse_stats_request(bytes(c.datagram)), c.count) << c.datagram;
    }
}

TEST(SrServer, FormatsWrappingDeltas) {
    serflow_entry before = flow(7, 1000);
    serflow_entry after = flow(7, 1010);
    EXPECT_EQ(format_flow_delta(after, after), "7,1,2,0,0,0,0,0,");
    EXPECT_EQ(format_flow_delta(after, before), "7,1,2,10,10,10,10,10,");
    // Counters that went back wrap in their own width.
    before = {UINT32_MAX, 9, 0xFFFF, 0, 0, UINT64_MAX - 4, 6, UINT32_MAX - 1, 3, 1};
    after = {UINT32_MAX, 9, 0xFFFF, 0, 0, 5, 5, 3, 2, 0};
    EXPECT_EQ(format_flow_delta(after, before),
              "4294967295,9,65535,10,18446744073709551615,5,4294967295,18446744073709551615,");
}

TEST(SrServer, ReportsChangesSinceThePreviousSample) {
    srSamples samples;
    // Only a terminator: just the prefix, whose last character is already the quote.
    EXPECT_EQ(build_sr_report(table({}), samples), "\"stats\":\"");
    EXPECT_EQ(build_sr_report(table({flow(3, 100), flow(7, 1000)}), samples),
              "\"stats\":\"3,1,2,0,0,0,0,0,7,1,2,0,0,0,0,0\"");
    // Samples follow the sfid, not the position; a partial trailing record is no flow.
    Bytes later = table({flow(7, 1010), flow(3, 101), flow(9, 5)}, false);
    later.resize(later.size() - 1);
    EXPECT_EQ(build_sr_report(later, samples),
              "\"stats\":\"7,1,2,10,10,10,10,10,3,1,2,1,1,1,1,1\"");
    EXPECT_EQ(build_sr_report(table({flow(7, 1015)}), samples), "\"stats\":\"7,1,2,5,5,5,5,5\"");
    EXPECT_EQ(samples.count(), 2);
}

TEST(SrServer, ReportNeverOutgrowsItsDatagram) {
    // 170 flows whose texts are short at first and too long for one datagram later.
    std::vector<serflow_entry> flows(170);
    for (std::uint32_t i = 0; i < flows.size(); ++i) {
        flows[i].sfid = 4000000000u + i;
        flows[i].direction = 4000000000u;
        flows[i].tag16 = 65535;
        flows[i].count64_a = UINT64_MAX;
    }
    const auto raw = [](std::span<const serflow_entry> records) {
        const auto* first = reinterpret_cast<const std::uint8_t*>(records.data());
        return Bytes(first, first + records.size_bytes());
    };
    srSamples samples;
    std::vector<std::string> reports{build_sr_report(raw(flows), samples)};
    for (auto& record : flows) {
        record.count64_a -= 1;  // a change of 2^64 - 1
    }
    reports.push_back(build_sr_report(raw(flows), samples));
    for (const std::string& report : reports) {
        EXPECT_LE(report.size(), kSrReplySize);
        EXPECT_EQ(report.back(), '"');
        EXPECT_EQ(std::count(report.begin(), report.end(), ',') % 8, 7) << "a flow cut short";
    }
    EXPECT_EQ(std::count(reports[0].begin(), reports[0].end(), ','), 170 * 8 - 1);
    EXPECT_LT(std::count(reports[1].begin(), reports[1].end(), ','), 170 * 8 - 1);
    // The last flow was left out, so its change still spans from the first poll.
    flows.back().count64_a -= 1;
    EXPECT_EQ(build_sr_report(raw(std::span{flows}.last(1)), samples),
              "\"stats\":\"4000000169,4000000000,65535,18446744073709551614,0,0,0,0\"");
}

// Replays sessions against the subscriber state; each tick records who got what.
class SrSession : public ::testing::Test {
  protected:
    struct Sent {
        std::string to;
        std::string datagram;
    };

    std::vector<Sent> tick(const Bytes& output) {
        std::vector<Sent> sent;
        state.tick(output, [&sent](const sockaddr_in& to, std::string_view datagram) {
            std::array<char, INET_ADDRSTRLEN> host{};
            inet_ntop(AF_INET, &to.sin_addr, host.data(), host.size());
            sent.push_back({std::string{host.data()} + ":" + std::to_string(ntohs(to.sin_port)),
                            std::string{datagram}});
        });
        return sent;
    }
    std::vector<std::string> recipients(const Bytes& output) {
        std::vector<std::string> to;
        for (const Sent& s : tick(output)) {
            to.push_back(s.to);
        }
        return to;
    }

    srServerState state;
    const Bytes modem = table({flow(7, 1000)});
};

TEST_F(SrSession, CountNGivesNPlusOneReportsNewestFirst) {
    EXPECT_TRUE(state.request(address("10.0.0.1", 4000), 3));
    EXPECT_FALSE(state.request(address("10.0.0.2", 5000), 1));
    // The known address renews its count but keeps its first port.
    EXPECT_FALSE(state.request(address("10.0.0.1", 4001), 2));
    using V = std::vector<std::string>;
    EXPECT_EQ(recipients(modem), (V{"10.0.0.2:5000", "10.0.0.1:4000"}));
    EXPECT_EQ(recipients(modem), (V{"10.0.0.2:5000", "10.0.0.1:4000"}));
    EXPECT_EQ(recipients(modem), (V{"10.0.0.1:4000"}));
    EXPECT_FALSE(state.active());
    EXPECT_TRUE(tick(modem).empty());
}

TEST_F(SrSession, ShortModemOutputSendsErrAndDropsEveryone) {
    state.request(address("10.0.0.1", 4000), 5);
    tick(table({flow(7, 1000)}));
    for (const std::size_t size : {std::size_t{0}, sizeof(serflow_entry) - 1}) {
        state.request(address("10.0.0.1", 4000), 5);
        state.request(address("10.0.0.2", 4000), 5);
        const Bytes cut(modem.begin(), modem.begin() + static_cast<std::ptrdiff_t>(size));
        const auto sent = tick(cut);
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(sent[0].datagram, "err");
        EXPECT_EQ(sent[1].datagram, "err");
        EXPECT_FALSE(state.active());
    }
    // A new session starts from fresh samples: its first report is all zeros.
    EXPECT_TRUE(state.request(address("10.0.0.1", 4000), 1));
    EXPECT_EQ(tick(table({flow(7, 5000)}))[0].datagram, "\"stats\":\"7,1,2,0,0,0,0,0\"");
    EXPECT_EQ(tick(table({flow(7, 5003)}))[0].datagram, "\"stats\":\"7,1,2,3,3,3,3,3\"");
}

TEST_F(SrSession, SubscribersAreLimited) {
    for (int i = 0; i < kSrMaxSubscribers; ++i) {
        state.request(address(("10.0.1." + std::to_string(i)).c_str(), 4000), 1);
    }
    state.request(address("10.0.2.1", 4000), 5);  // one too many: ignored
    state.request(address("10.0.1.0", 4000), 3);  // known: still renewed
    EXPECT_EQ(state.subscribers().count(), kSrMaxSubscribers);
    EXPECT_EQ(tick(modem).size(), 64u);
    EXPECT_EQ(tick(modem).size(), 64u);
    EXPECT_EQ(recipients(modem), std::vector<std::string>{"10.0.1.0:4000"});
    state.request(address("10.0.2.1", 4000), 1);  // room again
    EXPECT_EQ(recipients(modem), (std::vector<std::string>{"10.0.2.1:4000", "10.0.1.0:4000"}));
}

// Answers the flow command with a table whose counters grow by 10 per poll.
class GrowingModem final : public Shell {
  public:
    std::optional<Bytes> read_output(const std::string& command, std::size_t limit) override {
        const std::lock_guard lock{mutex_};
        if (command != kServFlowCommand || limit != kSrTableSize || failing) {
            return std::nullopt;
        }
        polls_ += 1;
        return table({flow(7, 1000 + 10 * polls_)});
    }
    int run(const std::string&) override { return 0; }
    void fail() {
        const std::lock_guard lock{mutex_};
        failing = true;
    }

  private:
    std::mutex mutex_;
    std::uint32_t polls_ = 0;
    bool failing = false;
};

// The whole server over loopback: the reports arrive one a second.
TEST(SrServerThread, ServesOverUdpAndStops) {
    GrowingModem modem;
    ScopedShell shell{modem};
    const struct Stopper {
        ~Stopper() { srServerShutdown(); }
    } stopper;
    ASSERT_EQ(srServerInit(), 0);
    EXPECT_EQ(srServerInit(), EBUSY);

    const UniqueFd client{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    const timeval hang_guard{30, 0};
    setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, &hang_guard, sizeof hang_guard);
    const sockaddr_in server = address("127.0.0.1", kSrServerPort);
    const auto ask = [&](std::string_view request) {
        sendto(client.get(), request.data(), request.size(), 0,
               reinterpret_cast<const sockaddr*>(&server), sizeof server);
    };
    const auto receive = [&] {
        std::array<char, kSrReplySize + 1> reply{};
        const ssize_t got = recv(client.get(), reply.data(), reply.size(), 0);
        return got < 0 ? std::string{"(nothing)"}
                       : std::string{reply.data(), static_cast<std::size_t>(got)};
    };

    ask("stats 1");
    EXPECT_EQ(receive(), "\"stats\":\"7,1,2,0,0,0,0,0\"");
    EXPECT_EQ(receive(), "\"stats\":\"7,1,2,10,10,10,10,10\"");
    modem.fail();
    ask("stats 4");
    EXPECT_EQ(receive(), "err");

    srServerShutdown();
    srServerShutdown();
    ASSERT_EQ(srServerInit(), 0) << "a stopped server starts again";
    srServerShutdown();
}

}  // namespace
}  // namespace lld
