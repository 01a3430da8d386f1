#include "pingu/report.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <numeric>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "common/json.hpp"

namespace lld {
namespace {

using Samples = std::vector<std::uint32_t>;

tSampleList list_of(const Samples& values) {
    tSampleList list = make_sample_list();
    for (const std::uint32_t v : values) {
        list.insert_sorted(v);
    }
    return list;
}

Samples contents(const tSampleList& list) {
    return {list.begin(), list.end()};
}

std::string zeros(int bins) {
    std::string out;
    for (int i = 0; i < bins; ++i) {
        out += ",0";
    }
    return out;
}

// The example path of the monitor report layout and its field.
const Samples kExamplePath = {500, 1500, 1500, 2500, 25000};
const std::string kExampleField =
    "5,0.500,1.000,1.500,2.500,25.000,6.200,7.520,1,2,1" + zeros(17) + ",1\"";

TEST(PinguReportTest, SamplesSortBySignedDifference) {
    // 2^31 + 1 apart, the signed difference puts the larger value first.
    EXPECT_EQ(contents(list_of({0, 0x80000001U})), (Samples{0x80000001U, 0}));
    EXPECT_EQ(contents(list_of({0xFFFFFFFFU, 5})), (Samples{0xFFFFFFFFU, 5}));
}

TEST(PinguReportTest, MedianAndItsMiddlePositions) {
    const struct {
        Samples samples;
        int from, to;
        std::uint32_t value;
        int a, b;
    } rows[] = {
        {{1, 2, 3, 4, 5}, 0, 5, 3, 2, 2},
        {{7, 9}, 1, 1, 9, 1, 1},  // an empty range: (k - 1) / 2 truncates toward zero
        {{0x7FFFFFF0U, 0x80000010U}, 0, 2, 0, 0, 1},  // the two middle samples add in 32 bits
        {{1, 2, 3}, 3, 5, 0, 3, 4},                   // positions outside the list count as 0
    };
    for (const auto& row : rows) {
        const tSampleList list = list_of(row.samples);
        int from = row.from, to = row.to;
        EXPECT_EQ(pingu_median(list, from, to), row.value) << row.from << ".." << row.to;
        EXPECT_EQ(std::pair(from, to), std::pair(row.a, row.b));
    }
}

TEST(PinguReportTest, StatsFields) {
    const std::pair<Samples, std::string> rows[] = {
        {kExamplePath, kExampleField},
        {{1005, 999, 1005, 999, 1005}, "5,0.999,0.999,1.005,1.005,1.005,1.002,0.003,2,3\""},
        {{600000, 600000, 700000, 800000, 1000000},  // all past the last bin
         "5,600.000,600.000,700.000,800.000,1000.000,740.000,128.000" + zeros(67) + ",5\""},
        {Samples(5, 2000000000),  // the sum for the mean needs 64 bits
         "5,2000000.000,2000000.000,2000000.000,2000000.000,2000000.000,2000000.000,0.000" +
             zeros(67) + ",5\""},
        {{0, 0, 0, 0, 2000000000},  // the deviation total wraps as a signed 32-bit value
         "5,0.000,0.000,0.000,0.000,2000000.000,400000.000,-218993.-459,4" + zeros(66) + ",1\""},
        {{}, "0,0.000,0.000,0.000,0.000,0.000,0.000,0.000\""},
    };
    for (const auto& [samples, expected] : rows) {
        tSampleList list = list_of(samples);
        EXPECT_EQ(pingu_stats(list, {}), expected);
        EXPECT_TRUE(list.empty());
    }
    // Another shape, and one whose step of zero makes no bins.
    tSampleList list = list_of({0, 1000, 3000, 4500, 12000});
    EXPECT_EQ(pingu_stats(list, {2, 5, 4, 10}),
              "5,0.000,0.500,3.000,4.500,12.000,4.100,3.320,2,1,1,1\"");
    list = list_of(kExamplePath);
    EXPECT_EQ(pingu_stats(list, {0, 10, 20, 500}),
              "5,0.500,1.000,1.500,2.500,25.000,6.200,7.520,5\"");
}

// The figures computed the obvious way on a sorted copy.
std::string model_stats(Samples v) {
    std::sort(v.begin(), v.end());
    const std::span<const std::uint32_t> all{v};
    const auto n = v.size();
    const auto median = [](std::span<const std::uint32_t> s) -> std::uint32_t {
        const auto m = s.size() / 2;
        return s.size() % 2 == 1 ? s[m] : (s[m - 1] + s[m]) / 2;
    };
    const std::uint64_t mean = std::accumulate(v.begin(), v.end(), std::uint64_t{0}) / n;
    std::int64_t deviation = 0;
    for (const std::uint32_t x : v) {
        deviation += std::llabs(std::int64_t{x} - static_cast<std::int64_t>(mean));
    }
    const std::int64_t figures[] = {v.front(),
                                    median(all.first((n - 1) / 2)),
                                    median(all),
                                    median(all.subspan(n / 2)),
                                    v.back(),
                                    static_cast<std::int64_t>(mean),
                                    deviation / static_cast<std::int64_t>(n)};
    std::string out = std::to_string(n);
    for (const std::int64_t us : figures) {
        std::array<char, 40> text{};
        std::snprintf(text.data(), text.size(), ",%d.%03d", static_cast<int>(us / 1000),
                      static_cast<int>(us % 1000));
        out += text.data();
    }

    // 20 bins of 1 ms, 47 of 10 ms, then the count past the last bin.
    const auto bin = [](std::uint32_t x) -> std::size_t {
        return x < 20000 ? x / 1000 : x < 490000 ? 18 + x / 10000 : 67;
    };
    std::vector<int> counts(68, 0);
    for (const std::uint32_t x : v) {
        ++counts[bin(x)];
    }
    for (std::size_t b = 0; b <= std::min<std::size_t>(bin(v.back()), 66); ++b) {
        out += "," + std::to_string(counts[b]);
    }
    if (counts[67] > 0) {
        out += "," + std::to_string(counts[67]);
    }
    return out + "\"";
}

TEST(PinguReportTest, StatsMatchSortedModel) {
    std::mt19937 random{20240611};
    std::uniform_int_distribution<int> size{5, 400};
    std::uniform_int_distribution<int> kind{0, 99};
    for (int round = 0; round < 300; ++round) {
        Samples samples(static_cast<std::size_t>(size(random)));
        for (auto& s : samples) {
            const int k = kind(random);
            const std::uint32_t limit = k < 55 ? 20000 : k < 85 ? 490000 : 2000000;
            s = std::uniform_int_distribution<std::uint32_t>{0, limit}(random);
            if (k % 10 == 0) {
                s -= s % 1000;  // right on a bin edge
            }
        }
        tSampleList list = list_of(samples);
        ASSERT_EQ(pingu_stats(list, {}), model_stats(samples)) << "round " << round;
        EXPECT_TRUE(list.empty());
    }
}

// The user report of probe "user_pingu" at 192.0.2.10 over these paths; every list must be
// emptied.
std::string user_report(std::uint32_t seq, const std::vector<Samples>& samples) {
    std::vector<tSampleList> lists;
    std::ranges::transform(samples, std::back_inserter(lists), list_of);
    std::vector<tSampleList*> paths(lists.size());
    std::ranges::transform(lists, paths.begin(), [](tSampleList& l) { return &l; });
    const std::string report = format_user_report("user_pingu", seq, paths, "192.0.2.10");
    EXPECT_TRUE(std::ranges::all_of(lists, &tSampleList::empty));
    return report;
}

TEST(PinguReportTest, UserReportsListEverySample) {
    EXPECT_EQ(user_report(8, {{1500, 2500}}),
              R"({"pingu_user":{"name":"user_pingu","a":8,"p0":"1500,2500","s":"192.0.2.10"}})");
    EXPECT_EQ(user_report(40, {{}, {}}),
              R"({"pingu_user":{"name":"user_pingu","a":40,"p0":"","p1":"","s":"192.0.2.10"}})");
    EXPECT_EQ(user_report(4294967295U, {{950, 800, 1210}, {4294967295U}}),
              R"({"pingu_user":{"name":"user_pingu","a":4294967295,"p0":"800,950,1210","p1":)"
              R"("4294967295","s":"192.0.2.10"}})");
    EXPECT_EQ(user_report(0, {}), R"({"pingu_user":{"name":"user_pingu","a":0,"s":"192.0.2.10"}})");
}

TEST(PinguReportTest, MonitorLeavesOutShortPathsUntilTheyFill) {
    const MonitorFigures figures{100, 0, 30000, 30001, {}};
    const std::string head =
        R"({"pingu_monitor":{ "name":"flea","s":"192.0.2.10","a":"100,0,30000,30001,1,10,20,500")";
    tSampleList classic = list_of(kExamplePath);
    tSampleList lld = list_of({1000, 2000, 3000, 4000});
    const std::array paths{&classic, &lld};

    EXPECT_EQ(format_monitor_report("flea", "192.0.2.10", figures, paths),
              head + R"(,"p0":")" + kExampleField + "}}");
    EXPECT_TRUE(classic.empty());
    EXPECT_EQ(contents(lld), (Samples{1000, 2000, 3000, 4000}));

    for (const std::uint32_t s : {7000, 5000, 6000}) {
        lld.insert_sorted(s);
    }
    EXPECT_EQ(format_monitor_report("flea", "192.0.2.10", figures, paths),
              head + R"(,"p1":"7,1.000,2.000,4.000,5.500,7.000,4.000,1.714,0,1,1,1,1,1,1,1"}})");
    EXPECT_TRUE(lld.empty());
    EXPECT_EQ(format_monitor_report("flea", "192.0.2.10", figures, paths), head + "}}");
}

TEST(PinguReportTest, PathsEndAtFirstNull) {
    tSampleList first = list_of(kExamplePath);
    tSampleList after = list_of(kExamplePath);
    const std::array<tSampleList*, 3> paths{&first, nullptr, &after};
    EXPECT_EQ(format_monitor_report("m", "a", {1, 2, 3, 4, {}}, paths),
              R"({"pingu_monitor":{ "name":"m","s":"a","a":"1,2,3,4,1,10,20,500","p0":")" +
                  kExampleField + "}}");
    first = list_of({1, 2});
    EXPECT_EQ(format_user_report("u", 1, paths, "a"),
              R"({"pingu_user":{"name":"u","a":1,"p0":"1,2","s":"a"}})");
    EXPECT_EQ(after.count(), 5);
}

TEST(PinguReportTest, NameAndAddressAreEscaped) {
    const struct {
        std::string name, wan, name_json, wan_json;
    } rows[] = {
        {"a\"b", "x\\y", R"("a\"b")", R"("x\\y")"},
        {"line\nbreak\ttab", std::string{"nul\0one\x01", 8}, R"("line\nbreak\ttab")",
         R"("nul\u0000one\u0001")"},
        {"caf\xC3\xA9", "}}", "\"caf\xC3\xA9\"", R"("}}")"},
    };
    for (const auto& row : rows) {
        const std::string user = format_user_report(row.name, 3, {}, row.wan);
        EXPECT_EQ(user, R"({"pingu_user":{"name":)" + row.name_json + R"(,"a":3,"s":)" +
                            row.wan_json + "}}");
        EXPECT_NE(json_parse(user), nullptr) << user;
        EXPECT_EQ(format_monitor_report(row.name, row.wan, {1, 0, 2, 3, {}}, {}),
                  R"({"pingu_monitor":{ "name":)" + row.name_json + R"(,"s":)" + row.wan_json +
                      R"(,"a":"1,0,2,3,1,10,20,500"}})");
    }
}

TEST(PinguReportTest, LongUserReportIsNeverCut) {
    Samples samples(3000);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::uint32_t>(1000000 + (i * 7919) % 9000000);
    }
    const std::string report = user_report(1, {samples});
    std::ranges::sort(samples);
    std::string expected;
    for (const std::uint32_t s : samples) {
        expected += (expected.empty() ? "" : ",") + std::to_string(s);
    }
    EXPECT_GT(expected.size(), 8192U);
    EXPECT_EQ(report, R"({"pingu_user":{"name":"user_pingu","a":1,"p0":")" + expected +
                          R"(","s":"192.0.2.10"}})");
}

}  // namespace
}  // namespace lld
