#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "common/json.hpp"
#include "docsis/modem.hpp"
#include "docsis/stats_server.hpp"
#include "test_support.hpp"

namespace lld {
namespace {

using test::Bytes;
using test::Lines;

constexpr const char* kAggregate = "ondrel_rpc_client arm cm_aggserflow";
constexpr const char* kClassifiers = "ondrel_rpc_client arm cm_pktclass";
constexpr const char* kFlows = "ondrel_rpc_client arm cm_serflow";

template <typename Record>
void append(Bytes& out, const Record& record) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&record);
    out.insert(out.end(), bytes, bytes + sizeof record);
}

// The records' bytes one after the other, as the modem tool writes them.
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

Bytes aggregate(std::uint32_t ll_sfid) {
    Bytes out(16, 0xFF);
    std::memcpy(out.data() + 8, &ll_sfid, sizeof ll_sfid);
    return out;
}

ClassifierEntry classifier(std::uint32_t class_id, std::uint32_t sfid, std::int32_t low = 0,
                           std::int32_t high = 0) {
    return {class_id, sfid, 0xFFFFFFFF, 0xFFFFFFFF, low, high, 0xFFFFFFFF, 0xFFFFFFFF};
}

// Counters apart from each other, with the padding of the modem's own records.
ServiceFlowEntry flow(std::uint32_t sfid, std::uint32_t base = 1, std::uint32_t direction = 1) {
    return {sfid, direction, 2,         0xF10A,    0xF111000C,
            base, base + 1u, base + 2u, base + 3u, base + 4u};
}

// The statistics JSON as cJSON_Print lays it out.
std::string stats_json(const std::string& field) {
    return "{\n\t\"docsis\":\t[\"" + field + "\"]\n}";
}

TEST(ModemRecords, FlowStatsText) {
    EXPECT_EQ(format_flow_stats(7, flow(7, 1, 0)), stats_json("7,DS,1,2,3,4"));
    // Any non-zero direction is upstream; the SFID and the 32-bit counters print signed, the
    // 64-bit ones unsigned; the record's own SFID is not printed.
    const ServiceFlowEntry extremes{5,          0x80000000, 0,          0, 0, 0x8000000000000000,
                                    UINT64_MAX, 0xFFFFFFFF, 0x80000000, 0};
    EXPECT_EQ(format_flow_stats(0xFFFFFFFF, extremes),
              stats_json("-1,US,9223372036854775808,18446744073709551615,-1,-2147483648"));
}

class ModemTest : public testing::Test {
  protected:
    test::FakeRunner runner_;
    Modem modem_{runner_};
};

// Bytes 8-11 of the aggregate record name the flow; its first classifier has the range.
TEST_F(ModemTest, ClassifierRangeOfTheLowLatencyFlowAndTheWanService) {
    Bytes long_aggregate = aggregate(42);
    long_aggregate.resize(600, 0);
    Bytes partial = table(classifier(1, 5), classifier(2, 7, 1, 2));
    partial.pop_back();
    const std::tuple<std::optional<Bytes>, std::optional<Bytes>, PortRange> cases[] = {
        {aggregate(42), table(classifier(1, 9, 1, 2), classifier(2, 42, 1024, 2047)), {1024, 2047}},
        {long_aggregate, table(classifier(2, 42, 1024, 2047)), {1024, 2047}},
        {std::nullopt, table(classifier(1, 0, 5, 6)), {5, 6}},  // asks for SFID 0
        {Bytes(15, 7), table(classifier(1, 0, 5, 6)), {5, 6}},
        {aggregate(7), table(classifier(0, 7, 1, 2)), {0, 0}},  // class 0 ends the table
        {aggregate(7), table(classifier(3, 7, 1, 2), classifier(4, 7, 3, 4)), {1, 2}},
        {aggregate(7), table(classifier(1, 5), classifier(0, 0), classifier(2, 7, 1, 2)), {0, 0}},
        {aggregate(7), after_filler(15, classifier(16, 7, 1, 2)), {1, 2}},
        {aggregate(7), after_filler(16, classifier(17, 7, 1, 2)), {0, 0}},  // beyond 512 bytes
        {aggregate(7), partial, {0, 0}},
        {aggregate(42), table(classifier(1, 42, INT_MIN, INT_MAX)), {INT_MIN, INT_MAX}},
        {aggregate(42), std::nullopt, {0, 0}},
    };
    for (const auto& [aggregate_output, classifier_output, range] : cases) {
        runner_.answer(kAggregate, aggregate_output);
        runner_.answer(kClassifiers, classifier_output);
        EXPECT_EQ(modem_.classifier_range(), range) << range.text();
        EXPECT_EQ(runner_.take(),
                  (Lines{std::string{kAggregate} + " <512", std::string{kClassifiers} + " <512"}));
    }
    const std::pair<std::optional<std::string>, std::optional<bool>> wan_cases[] = {
        {std::nullopt, std::nullopt}, {"", std::nullopt}, {"started\n", true},
        {"Started\n", false},         {"start", false},   {"started and a long tail", true}};
    for (const auto& [output, started] : wan_cases) {
        runner_.answer(
            "sysevent get wan_service-status",
            output ? std::optional{Bytes(output->begin(), output->end())} : std::nullopt);
        EXPECT_EQ(modem_.wan_service_status(), started) << output.value_or("(nothing)");
        EXPECT_EQ(runner_.take(), Lines{"sysevent get wan_service-status <15"});
    }
}

TEST_F(ModemTest, LowLatencyStatsOfTheMatchingWholeRecordWithinTheLimit) {
    Bytes partial_match = table(flow(1), flow(2), flow(7));  // the last record lacks a byte
    partial_match.pop_back();
    const struct {
        std::optional<Bytes> aggregate_output, flows;
        bool found;
    } cases[] = {
        {std::nullopt, table(flow(7)), false},
        {aggregate(7), std::nullopt, false},
        {aggregate(7), Bytes(47, 7), false},
        {aggregate(7), table(flow(7), flow(8)), true},
        {aggregate(7), table(flow(5), flow(6), flow(7)), true},
        {aggregate(7), table(flow(1), flow(2), flow(0), flow(7)), false},
        {aggregate(7), partial_match, false},
        {aggregate(7), after_filler(167, flow(7)), true},   // 8096 bytes hold 168 whole records
        {aggregate(7), after_filler(168, flow(7)), false},  // the 169th is never read
    };
    for (const auto& c : cases) {
        runner_.answer(kAggregate, c.aggregate_output);
        runner_.answer(kFlows, c.flows);
        EXPECT_EQ(modem_.low_latency_stats(),
                  c.found ? std::optional{stats_json("7,US,1,2,3,4")} : std::nullopt);
        const Lines calls = runner_.take();
        EXPECT_EQ(calls.back(), c.aggregate_output ? std::string{kFlows} + " <8096"
                                                   : std::string{kAggregate} + " <512");
    }
}

TEST(StatsRequest, ParsesTheCountOfStatsN) {
    // "<datagram>|<count>", -1 for a datagram that is ignored; "~" stands for a NUL byte.
    // clang-format off
    for (const std::string row : {"stats 3|3", "stats \t\n 7 and more|7", "stats 5abc|5",
                                  "stats +4|4", "stats 007|7", "stats 3601|3600",
                                  "stats 2147483647|3600",
                                  "stats 9~junk|9", "stats 0|-1", "stats -2|-1", "stats |-1",
                                  "stats|-1", "stats x|-1", "stats + 4|-1", "stats +-4|-1",
                                  "stats ++4|-1", "stats 2147483648|-1", "stats ~ 9|-1",
                                  "Stats 3|-1", "statsx3|-1", "count 3|-1"}) {
        // clang-format on
        std::string datagram = row.substr(0, row.rfind('|'));
        std::ranges::replace(datagram, '~', '\0');
        EXPECT_EQ(parse_stats_request(test::bytes_of(datagram)).value_or(-1),
                  std::stoi(row.substr(row.rfind('|') + 1)))
            << row;
    }
}

TEST(StatsReport, DeltasWrapInTheirOwnWidth) {
    EXPECT_EQ(format_flow_delta(flow(7, 1010), flow(7, 1010)), "7,1,2,0,0,0,0,0,");
    EXPECT_EQ(format_flow_delta(flow(7, 1010), flow(7, 1000)), "7,1,2,10,10,10,10,10,");
    const ServiceFlowEntry before{UINT32_MAX,     9, 0xFFFF,         0, 0,
                                  UINT64_MAX - 4, 6, UINT32_MAX - 1, 3, 1};
    const ServiceFlowEntry after{UINT32_MAX, 9, 0xFFFF, 0, 0, 5, 5, 3, 2, 0};
    EXPECT_EQ(format_flow_delta(after, before),
              "4294967295,9,65535,10,18446744073709551615,5,4294967295,18446744073709551615,");
}

TEST(StatsReport, ChangesSinceEachFlowsPreviousSample) {
    FlowSamples samples;
    // Only a terminator: just the prefix, whose last character is already the quote.
    EXPECT_EQ(build_stats_report(table(flow(0)), samples), "\"stats\":\"");
    EXPECT_EQ(build_stats_report(table(flow(3, 100), flow(7, 1000), flow(0)), samples),
              "\"stats\":\"3,1,2,0,0,0,0,0,7,1,2,0,0,0,0,0\"");
    // Samples follow the sfid, not the position; a partial trailing record is no flow.
    Bytes later = table(flow(7, 1010), flow(3, 101), flow(9, 5));
    later.pop_back();
    EXPECT_EQ(build_stats_report(later, samples),
              "\"stats\":\"7,1,2,10,10,10,10,10,3,1,2,1,1,1,1,1\"");
    EXPECT_EQ(build_stats_report(table(flow(7, 1015)), samples), "\"stats\":\"7,1,2,5,5,5,5,5\"");
    EXPECT_EQ(samples.size(), 2u);
}

TEST(StatsReport, NeverOutgrowsItsDatagram) {
    // 170 flows whose texts take 38 characters at first, then 62: 131 of those fill 8131
    // characters and a 132nd would take the report one past its limit.
    std::vector<ServiceFlowEntry> flows(170);
    for (std::uint32_t i = 0; i < flows.size(); ++i) {
        flows[i] = {4000000000u + i, 4000000000u, 65535, 0, 0, UINT64_MAX, 0, 0, 0, 0};
    }
    const auto report = [&flows](FlowSamples& samples) {
        const auto* first = reinterpret_cast<const std::uint8_t*>(flows.data());
        return build_stats_report({first, flows.size() * sizeof flows[0]}, samples);
    };
    FlowSamples samples;
    const std::string all = report(samples);
    EXPECT_EQ(std::make_pair(all.size(), all.back()),
              std::make_pair(std::size_t{9 + 170 * 38}, '"'));
    for (auto& record : flows) {
        record.count64_a -= 1;  // changes of 2^64 - 1, 99999 and 10
        record.count32_a += 99999;
        record.count32_b += 10;
    }
    const std::string cut = report(samples);
    EXPECT_EQ(std::make_pair(cut.size(), cut.back()),
              std::make_pair(std::size_t{9 + 131 * 62}, '"'));
    // The first flow left out keeps its sample: its next change still spans both polls.
    flows.erase(flows.begin(), flows.begin() + 131);
    EXPECT_TRUE(report(samples).starts_with(
        "\"stats\":\"4000000131,4000000000,65535,18446744073709551615,0,99999,10,0,"));
}

}  // namespace
}  // namespace lld
