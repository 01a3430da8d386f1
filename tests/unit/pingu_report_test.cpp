#include "pingu/report.hpp"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

std::string member(const cJSON* object, const char* name) {
    const auto text = json_string_member(object, name);
    return text ? std::string{*text} : "<missing>";
}

// The example from the monitor report layout, and its 4-sample companion.
const Samples kExamplePath = {500, 1500, 1500, 2500, 25000};
const std::string kExampleField =
    "5,0.500,1.000,1.500,2.500,25.000,6.200,7.520,1,2,1" + zeros(17) + ",1\"";

TEST(PinguReportTest, SamplesSortBySignedDifference) {
    const struct {
        Samples inserted, expected;
    } rows[] = {
        {{1210, 800, 950, 800}, {800, 800, 950, 1210}},
        {{7}, {7}},
        // 2^31 + 1 apart: the signed difference puts the larger value first.
        {{0, 0x80000001U}, {0x80000001U, 0}},
        {{0xFFFFFFFFU, 5}, {0xFFFFFFFFU, 5}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(contents(list_of(row.inserted)), row.expected);
    }
}

TEST(PinguReportTest, MedianAndItsMiddlePositions) {
    const struct {
        Samples samples;
        int from, to;
        std::uint32_t value;
        int a, b;
    } rows[] = {
        {{1, 2, 3, 4, 5}, 0, 5, 3, 2, 2},
        {{1, 2, 3, 4, 5}, 0, 2, 1, 0, 1},
        {{1, 2, 3, 4, 5}, 2, 5, 4, 3, 3},
        {{10, 20, 30, 40, 50, 60}, 0, 6, 35, 2, 3},
        {{10, 20, 30, 40, 50, 60}, 0, 2, 15, 0, 1},
        {{10, 20, 30, 40, 50, 60}, 3, 6, 50, 4, 4},
        {{7}, 0, 1, 7, 0, 0},
        // An empty range truncates (k - 1) / 2 toward zero: the sample at `from`.
        {{7, 9}, 1, 1, 9, 1, 1},
        // Two middle samples add in 32 bits: 2^32 wraps to 0.
        {{0x7FFFFFF0U, 0x80000010U}, 0, 2, 0, 0, 1},
        {{1, 2, 3}, 3, 5, 0, 3, 4},
    };
    for (const auto& row : rows) {
        const tSampleList list = list_of(row.samples);
        int from = row.from;
        int to = row.to;
        EXPECT_EQ(pingu_median(list, from, to), row.value) << row.from << ".." << row.to;
        EXPECT_EQ(from, row.a);
        EXPECT_EQ(to, row.b);
        EXPECT_EQ(list.count(), static_cast<int>(row.samples.size()));
    }
}

TEST(PinguReportTest, SampleListText) {
    const struct {
        Samples samples;
        std::string expected;
    } rows[] = {
        {{}, "\"\""},
        {{800, 950, 1210}, "\"800,950,1210\""},
        {{1210, 800, 950}, "\"800,950,1210\""},
        {{5, 5}, "\"5,5\""},
        {{0}, "\"0\""},
        {{4294967295U}, "\"4294967295\""},
    };
    for (const auto& row : rows) {
        tSampleList list = list_of(row.samples);
        EXPECT_EQ(pingu_sample_list(list), row.expected);
        EXPECT_TRUE(list.empty());
    }
}

TEST(PinguReportTest, StatsFields) {
    const struct {
        const char* what;
        Samples samples;
        HistogramShape shape;
        std::string expected;
    } rows[] = {
        {"layout example", kExamplePath, {}, kExampleField},
        {"three decimals",
         {1005, 999, 1005, 999, 1005},
         {},
         "5,0.999,0.999,1.005,1.005,1.005,1.002,0.003,2,3\""},
        {"even count, samples on bin edges",
         {1000, 2000, 3000, 4000, 5000, 6000},
         {},
         "6,1.000,1.500,3.500,5.000,6.000,3.500,1.500,0,1,1,1,1,1,1\""},
        {"fine to coarse bins",
         {19999, 20000, 29999, 30000, 489999},
         {},
         "5,19.999,19.999,29.999,30.000,489.999,117.999,148.799" + zeros(19) + ",1,2,1" +
             zeros(44) + ",1\""},
        {"490 ms and over",
         {100, 200, 300, 490000, 495000},
         {},
         "5,0.100,0.150,0.300,490.000,495.000,197.120,236.304,3" + zeros(66) + ",2\""},
        {"all 600 ms or more",
         {600000, 600000, 700000, 800000, 1000000},
         {},
         "5,600.000,600.000,700.000,800.000,1000.000,740.000,128.000" + zeros(67) + ",5\""},
        {"sum for the mean needs 64 bits",
         {2000000000, 2000000000, 2000000000, 2000000000, 2000000000},
         {},
         "5,2000000.000,2000000.000,2000000.000,2000000.000,2000000.000,2000000.000,0.000" +
             zeros(67) + ",5\""},
        {"middle samples add in 32 bits",
         Samples(6, 2200000000U),
         {},
         "6,2200000.000,52516.352,52516.352,2200000.000,2200000.000,2200000.000,0.000" + zeros(67) +
             ",6\""},
        {"deviation total wraps as signed 32-bit",
         {0, 0, 0, 0, 2000000000},
         {},
         "5,0.000,0.000,0.000,0.000,2000000.000,400000.000,-218993.-459,4" + zeros(66) + ",1\""},
        {"other shape",
         {0, 1000, 3000, 4500, 12000},
         {2, 5, 4, 10},
         "5,0.000,0.500,3.000,4.500,12.000,4.100,3.320,2,1,1,1\""},
        {"step of zero makes no bins",
         kExamplePath,
         {0, 10, 20, 500},
         "5,0.500,1.000,1.500,2.500,25.000,6.200,7.520,5\""},
        {"no samples", {}, {}, "0,0.000,0.000,0.000,0.000,0.000,0.000,0.000\""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        tSampleList list = list_of(row.samples);
        EXPECT_EQ(pingu_stats(list, row.shape), row.expected);
        EXPECT_TRUE(list.empty());
    }
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

    std::vector<std::uint32_t> upper_edges;
    for (std::uint32_t e = 1000; e <= 20000; e += 1000) {
        upper_edges.push_back(e);
    }
    for (std::uint32_t e = 30000; e <= 490000; e += 10000) {
        upper_edges.push_back(e);
    }
    std::vector<int> counts(upper_edges.size() + 1, 0);  // the last one past every bin
    for (const std::uint32_t x : v) {
        ++counts[std::upper_bound(upper_edges.begin(), upper_edges.end(), x) - upper_edges.begin()];
    }
    const auto max_bin = static_cast<std::size_t>(
        std::upper_bound(upper_edges.begin(), upper_edges.end(), v.back()) - upper_edges.begin());
    const auto last_written = std::min(max_bin, upper_edges.size() - 1);
    for (std::size_t bin = 0; bin <= last_written; ++bin) {
        out += "," + std::to_string(counts[bin]);
    }
    if (counts.back() > 0) {
        out += "," + std::to_string(counts.back());
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

struct UserRow {
    std::string name;
    std::uint32_t seq;
    std::vector<Samples> paths;
    std::string wan, expected;
};

TEST(PinguReportTest, UserReports) {
    const UserRow rows[] = {
        {"user_pingu",
         8,
         {{1500, 2500}},
         "192.0.2.10",
         R"({"pingu_user":{"name":"user_pingu","a":8,"p0":"1500,2500","s":"192.0.2.10"}})"},
        {"user_pingu",
         40,
         {{}, {}},
         "192.0.2.10",
         R"({"pingu_user":{"name":"user_pingu","a":40,"p0":"","p1":"","s":"192.0.2.10"}})"},
        {"user_pingu",
         4294967295U,
         {{950, 800, 1210}, {300}},
         "2001:db8::1",
         R"({"pingu_user":{"name":"user_pingu","a":4294967295,"p0":"800,950,1210","p1":"300",)"
         R"("s":"2001:db8::1"}})"},
        {"u", 0, {}, "", R"({"pingu_user":{"name":"u","a":0,"s":""}})"},
    };
    for (const auto& row : rows) {
        std::vector<tSampleList> lists;
        for (const auto& p : row.paths) {
            lists.push_back(list_of(p));
        }
        std::vector<tSampleList*> paths;
        for (auto& l : lists) {
            paths.push_back(&l);
        }
        const std::string report = format_user_report(row.name, row.seq, paths, row.wan);
        EXPECT_EQ(report, row.expected);
        EXPECT_NE(json_parse(report), nullptr) << report;
        for (const auto& l : lists) {
            EXPECT_TRUE(l.empty());
        }
    }
}

TEST(PinguReportTest, MonitorLeavesOutShortPathsUntilTheyFill) {
    const MonitorFigures figures{100, 0, 30000, 30001, {}};
    const std::string head =
        R"({"pingu_monitor":{ "name":"flea","s":"192.0.2.10","a":"100,0,30000,30001,1,10,20,500")";
    tSampleList classic = list_of(kExamplePath);
    tSampleList lld = list_of({1000, 2000, 3000, 4000});
    const std::array paths{&classic, &lld};

    std::string report = format_monitor_report("flea", "192.0.2.10", figures, paths);
    EXPECT_EQ(report, head + R"(,"p0":")" + kExampleField + "}}");
    EXPECT_NE(json_parse(report), nullptr) << report;
    EXPECT_TRUE(classic.empty());
    EXPECT_EQ(contents(lld), (Samples{1000, 2000, 3000, 4000}));

    for (const std::uint32_t s : {7000, 5000, 6000}) {
        lld.insert_sorted(s);
    }
    report = format_monitor_report("flea", "192.0.2.10", figures, paths);
    EXPECT_EQ(report,
              head + R"(,"p1":"7,1.000,2.000,4.000,5.500,7.000,4.000,1.714,0,1,1,1,1,1,1,1"}})");
    EXPECT_NE(json_parse(report), nullptr) << report;
    EXPECT_TRUE(lld.empty());

    report = format_monitor_report("flea", "192.0.2.10", figures, paths);
    EXPECT_EQ(report, head + "}}");
    EXPECT_NE(json_parse(report), nullptr) << report;
}

TEST(PinguReportTest, PathsEndAtFirstNull) {
    tSampleList first = list_of(kExamplePath);
    tSampleList after = list_of(kExamplePath);
    const std::array<tSampleList*, 3> paths{&first, nullptr, &after};

    const std::string monitor =
        format_monitor_report("m", "a", {1, 2, 3, 4, {}}, std::span<tSampleList* const>{paths});
    EXPECT_EQ(monitor, R"({"pingu_monitor":{ "name":"m","s":"a","a":"1,2,3,4,1,10,20,500","p0":")" +
                           kExampleField + "}}");
    EXPECT_EQ(after.count(), 5);

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
        tSampleList path = list_of({1, 2});
        const std::array paths{&path};
        const std::string user = format_user_report(row.name, 3, paths, row.wan);
        EXPECT_EQ(user, R"({"pingu_user":{"name":)" + row.name_json + R"(,"a":3,"p0":"1,2","s":)" +
                            row.wan_json + "}}");
        const JsonPtr user_tree = json_parse(user);
        ASSERT_NE(user_tree, nullptr) << user;
        const cJSON* inner = cJSON_GetObjectItem(user_tree.get(), "pingu_user");
        EXPECT_EQ(member(inner, "p0"), "1,2");

        const std::string monitor =
            format_monitor_report(row.name, row.wan, {1, 0, 2, 3, {}}, paths);
        EXPECT_EQ(monitor, R"({"pingu_monitor":{ "name":)" + row.name_json + R"(,"s":)" +
                               row.wan_json + R"(,"a":"1,0,2,3,1,10,20,500"}})");
        const JsonPtr monitor_tree = json_parse(monitor);
        ASSERT_NE(monitor_tree, nullptr) << monitor;
        inner = cJSON_GetObjectItem(monitor_tree.get(), "pingu_monitor");
        EXPECT_EQ(member(inner, "a"), "1,0,2,3,1,10,20,500");
        // cJSON keeps strings NUL-terminated, so compare names without embedded NULs only.
        if (row.name.find('\0') == std::string::npos) {
            EXPECT_EQ(member(inner, "name"), row.name);
        }
        if (row.wan.find('\0') == std::string::npos) {
            EXPECT_EQ(member(inner, "s"), row.wan);
        }
    }
}

TEST(PinguReportTest, LongUserReportIsNeverCut) {
    Samples samples(3000);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::uint32_t>(1000000 + (i * 7919) % 9000000);
    }
    tSampleList path = list_of(samples);
    const std::array paths{&path};
    const std::string report = format_user_report("user_pingu", 1, paths, "192.0.2.10");
    EXPECT_GT(report.size(), 8192U);
    EXPECT_TRUE(report.ends_with(R"(","s":"192.0.2.10"}})")) << report.substr(report.size() - 40);
    const JsonPtr tree = json_parse(report);
    ASSERT_NE(tree, nullptr);
    std::string listed = member(cJSON_GetObjectItem(tree.get(), "pingu_user"), "p0");
    std::sort(samples.begin(), samples.end());
    std::string expected;
    for (const std::uint32_t s : samples) {
        expected += (expected.empty() ? "" : ",") + std::to_string(s);
    }
    EXPECT_EQ(listed, expected);
}

}  // namespace
}  // namespace lld
