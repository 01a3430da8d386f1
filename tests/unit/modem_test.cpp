#include "docsis/modem.hpp"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>
#include <utility>

#include "common/shell.hpp"

namespace lld {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Call = std::pair<std::string, std::size_t>;

template <typename T>
void append(Bytes& out, const T& record) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&record);
    out.insert(out.end(), bytes, bytes + sizeof record);
}

// The records' bytes one after the other, as the tool writes them.
template <typename... Records>
Bytes table(const Records&... records) {
    Bytes out;
    (append(out, records), ...);
    return out;
}

// `count` records of 0x01 bytes, which neither end a table nor carry SFID 7, then `last`.
template <typename Record>
Bytes after_filler(std::size_t count, const Record& last) {
    Bytes out(count * sizeof last, 0x01);
    append(out, last);
    return out;
}

Bytes text(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

Bytes aggregate(std::uint32_t ll_sfid) {
    Bytes out(16, 0xFF);
    std::memcpy(out.data() + 8, &ll_sfid, sizeof ll_sfid);
    return out;
}

pktclass_entry classifier(std::uint32_t class_id, std::uint32_t sfid, std::int32_t low = 0,
                          std::int32_t high = 0) {
    return {class_id, sfid, 0xFFFFFFFF, 0xFFFFFFFF, low, high, 0xFFFFFFFF, 0xFFFFFFFF};
}

serflow_entry flow(std::uint32_t sfid) {
    return {sfid, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 1, 2, 3, 4, 5};
}

// The statistics JSON as cJSON_Print lays it out.
std::string stats_json(const std::string& field) {
    return "{\n\t\"docsis\":\t[\"" + field + "\"]\n}";
}

TEST(ModemFormat, StatsText) {
    EXPECT_EQ(format_sf_stats(7, flow(7)), stats_json("7,DS,1,2,3,4"));
    // Any non-zero direction is upstream; the SFID and the 32-bit counters print signed, the
    // 64-bit ones unsigned; the record's own SFID is not printed.
    const serflow_entry extremes{5,          0x80000000, 0,          0, 0, 0x8000000000000000,
                                 UINT64_MAX, 0xFFFFFFFF, 0x80000000, 0};
    EXPECT_EQ(format_sf_stats(0xFFFFFFFF, extremes),
              stats_json("-1,US,9223372036854775808,18446744073709551615,-1,-2147483648"));
}

// Answers each command line with prepared bytes, cut to the caller's limit as a pipe read
// would be; a command without an answer is a pipe that can't be opened.
class ModemQuery : public testing::Test, public Shell {
  protected:
    void SetUp() override { setenv("LLD_DBG_LVL", "debug", 1); }
    void TearDown() override { unsetenv("LLD_DBG_LVL"); }

    std::optional<Bytes> read_output(const std::string& command, std::size_t limit) override {
        calls_.emplace_back(command, limit);
        const auto it = outputs_.find(command);
        if (it == outputs_.end() || !it->second) {
            return std::nullopt;
        }
        const auto end = static_cast<std::ptrdiff_t>(std::min(limit, it->second->size()));
        return Bytes(it->second->begin(), it->second->begin() + end);
    }
    int run(const std::string&) override { return 0; }

    // Forgets earlier answers and calls; from now on answers each command given.
    void answer(std::map<std::string_view, std::optional<Bytes>> outputs) {
        outputs_ = std::move(outputs);
        calls_.clear();
    }

    // Debug lines written while `body` runs, without their thread prefix.
    static std::vector<std::string> logged(const std::function<void()>& body) {
        testing::internal::CaptureStdout();
        body();
        std::fflush(stdout);
        std::istringstream out{testing::internal::GetCapturedStdout()};
        std::vector<std::string> lines;
        for (std::string line; std::getline(out, line);) {
            lines.push_back(line.substr(line.find("] ") + 2));
        }
        return lines;
    }

    std::map<std::string_view, std::optional<Bytes>> outputs_;
    std::vector<Call> calls_;
    ScopedShell guard_{*this};
};

TEST_F(ModemQuery, GetAsfInfo) {
    Bytes long_output = aggregate(42);
    long_output.resize(600, 0);
    // Only bytes 8-11 of 16 or more count; aggregate() fills the rest with 0xFF.
    const std::pair<std::optional<Bytes>, int> cases[] = {
        {std::nullopt, -1}, {Bytes(15, 0), -1}, {aggregate(42), 0}, {long_output, 0}};
    for (const auto& [output, rc] : cases) {
        answer({{kAggServFlowCommand, output}});
        asf_info info{0, 0, 99, 0};
        EXPECT_EQ(get_asf_info(&info), rc);
        EXPECT_EQ(info.ll_sfid, rc == 0 ? 42u : 99u);
        EXPECT_EQ(calls_, (std::vector<Call>{{"ondrel_rpc_client arm cm_aggserflow", 512}}));
    }
    EXPECT_EQ(get_asf_info(nullptr), -1);
}

TEST_F(ModemQuery, GetPktclassEntryTakesTheFirstMatchBeforeTheTableEnds) {
    Bytes partial = table(classifier(1, 5), classifier(2, 7));
    partial.pop_back();
    const std::pair<std::optional<Bytes>, std::uint32_t> cases[] = {
        {std::nullopt, 0},
        {table(classifier(0, 7)), 0},
        {table(classifier(1, 5), classifier(2, 7)), 2},
        {table(classifier(3, 7), classifier(4, 7)), 3},
        {table(classifier(1, 5), classifier(0, 0), classifier(2, 7)), 0},
        {after_filler(15, classifier(16, 7)), 16},
        {after_filler(16, classifier(17, 7)), 0},  // beyond the 512 bytes read
        {partial, 0},
    };
    for (const auto& [output, class_id] : cases) {
        answer({{kPktClassCommand, output}});
        pktclass_entry entry{};
        EXPECT_EQ(get_pktclass_entry(7, &entry), class_id != 0 ? 0 : -1) << class_id;
        EXPECT_EQ(entry.class_id, class_id);
        EXPECT_EQ(calls_, (std::vector<Call>{{"ondrel_rpc_client arm cm_pktclass", 512}}));
    }
    EXPECT_EQ(get_pktclass_entry(7, nullptr), -1);
}

TEST_F(ModemQuery, GetWanServiceStatus) {
    const struct {
        std::optional<Bytes> output;
        int rc, started;
    } cases[] = {
        {std::nullopt, -1, 0},     {text(""), -1, 0},     {text("started\n"), 0, 1},
        {text("Started\n"), 0, 0}, {text("start"), 0, 0}, {text("started and a long tail"), 0, 1},
    };
    for (const auto& c : cases) {
        answer({{kWanServiceCommand, c.output}});
        int started = 5;
        EXPECT_EQ(get_wan_service_status(&started), c.rc);
        EXPECT_EQ(started, c.started);
        EXPECT_EQ(calls_, (std::vector<Call>{{"sysevent get wan_service-status", 15}}));
    }
    EXPECT_EQ(get_wan_service_status(nullptr), -1);
}

TEST_F(ModemQuery, PortRange) {
    const struct {
        std::optional<Bytes> aggregate_output, classifier_output;
        std::size_t size;
        const char* expected;
    } cases[] = {
        {aggregate(42), table(classifier(1, 9, 1, 2), classifier(2, 42, 1024, 2047)), 16,
         "1024-2047"},
        {aggregate(42), table(classifier(0, 42, 1, 2)), 16, "0-0"},
        {std::nullopt, table(classifier(1, 0, 5, 6)), 16, "5-6"},  // asks for SFID 0
        {aggregate(42), table(classifier(1, 42, INT_MIN, INT_MAX)), 16, "-2147483648-214"},
        {aggregate(42), table(classifier(1, 42, 1, 2)), 1, ""},
    };
    for (const auto& c : cases) {
        answer(
            {{kAggServFlowCommand, c.aggregate_output}, {kPktClassCommand, c.classifier_output}});
        std::array<char, 32> backing;
        backing.fill('X');
        EXPECT_EQ(lld_get_port_range(std::span{backing}.first(c.size)), 0) << c.expected;
        EXPECT_STREQ(backing.data(), c.expected);
        EXPECT_EQ(backing[c.size], 'X') << c.expected;
        EXPECT_EQ(calls_, (std::vector<Call>{{"ondrel_rpc_client arm cm_aggserflow", 512},
                                             {"ondrel_rpc_client arm cm_pktclass", 512}}));
    }
    answer({});
    EXPECT_EQ(lld_get_port_range({}), -1);
    EXPECT_TRUE(calls_.empty());
}

constexpr const char* kAsfFailed = "[ZEZ-UDERED] [DBG] LLD: get_asf_info failed ";
constexpr const char* kPipeFailed = "[ZEZ-UDERED] [DBG] LLD: Failed to get GET_SF_STATS ";
constexpr const char* kStatsFailed = "[ZEZ-UDERED] [DBG] LLD: lld_get_sf_stats failed ";
constexpr const char* kMatching = "[ZEZ-UDERED] [DBG] LLD SFID(7) matching, returning the stats...";

std::string visited(std::uint32_t sfid) {
    return "[ZEZ-UDERED] [DBG] LLD : LowLatencySFID=7, FlowSID=" + std::to_string(sfid) + " ";
}

TEST_F(ModemQuery, SfStats) {
    const Bytes terminated = table(flow(1), flow(2), flow(0), flow(7));
    Bytes partial_match = table(flow(1), flow(2), flow(7));  // the last record lacks a byte
    partial_match.pop_back();
    const struct {
        std::optional<Bytes> aggregate_output, table;
        std::vector<std::string> lines;
    } cases[] = {
        {std::nullopt, table(flow(7)), {kAsfFailed}},
        {aggregate(7), std::nullopt, {kPipeFailed, kStatsFailed}},
        {aggregate(7), Bytes(47, 7), {kStatsFailed}},
        {aggregate(7), table(flow(7), flow(8)), {visited(7), kMatching}},
        {aggregate(7),
         table(flow(5), flow(6), flow(7)),
         {visited(5), visited(6), visited(7), kMatching}},
        {aggregate(7), terminated, {visited(1), visited(2), kStatsFailed}},
        {aggregate(7), partial_match, {visited(1), visited(2), kStatsFailed}},
    };
    for (const auto& c : cases) {
        answer({{kAggServFlowCommand, c.aggregate_output}, {kServFlowCommand, c.table}});
        std::optional<std::string> stats;
        EXPECT_EQ(logged([&] { stats = lld_get_sf_stats(); }), c.lines);
        EXPECT_EQ(stats, c.lines.back() == kMatching ? std::optional{stats_json("7,DS,1,2,3,4")}
                                                     : std::nullopt);
    }
}

TEST_F(ModemQuery, SfStatsSearchesTheWholeBufferOnly) {
    // 8096 bytes hold 168 whole records; a 169th lies beyond what is read.
    for (const std::uint32_t count : {168u, 169u}) {
        answer({{kAggServFlowCommand, aggregate(7)},
                {kServFlowCommand, after_filler(count - 1, flow(7))}});
        std::optional<std::string> stats;
        const auto lines = logged([&] { stats = lld_get_sf_stats(); });
        EXPECT_EQ(stats.has_value(), count == 168);
        ASSERT_EQ(lines.size(), 169u);
        EXPECT_EQ(lines.back(), count == 168 ? kMatching : kStatsFailed);
        EXPECT_EQ(calls_, (std::vector<Call>{{"ondrel_rpc_client arm cm_aggserflow", 512},
                                             {"ondrel_rpc_client arm cm_serflow", 8096}}));
    }
}

}  // namespace
}  // namespace lld
