#include <gtest/gtest.h>

#include <numeric>
#include <random>

#include "common/json.hpp"
#include "pingu/report.hpp"
#include "pingu/request.hpp"
#include "pingu/samples.hpp"
#include "pingu/wire.hpp"
#include "test_support.hpp"

namespace lld {
namespace {

TEST(ProbeRequest, MonitorRequestsAlwaysStartAndCutTheirNames) {
    ProbeRequest request;
    const auto parsed = [&request](const char* json) {
        return parse_probe_members(json_parse(json).get(), ProbeKind::Monitor, request);
    };
    EXPECT_TRUE(parsed(R"({"reflector_url":"r"})"));  // no name
    ASSERT_EQ(parsed(R"({"command":"stop","name":"0123456789012345678901234567890123456789",)"
                     R"("reflector_url":"r","reflector_port":7,"refresh_period":1,)"
                     R"("interval":1000,"duration":99})"),
              std::nullopt);
    EXPECT_TRUE(request.start);
    EXPECT_EQ(request.name, "0123456789012345678901234567890");
    EXPECT_EQ(request.duration, 0);
    EXPECT_TRUE(probe_timing_valid(request));
    request.interval = 1001;
    EXPECT_FALSE(probe_timing_valid(request));
}

TEST(ProbeDatagram, LayoutAndDelaysIn32BitArithmetic) {
    ProbeDatagram datagram{};
    const auto text = [&] { return std::string{reinterpret_cast<const char*>(&datagram[12])}; };
    write_probe_text(datagram, ProbeKind::Monitor);
    EXPECT_EQ(text(), "pingu version: flea");
    write_probe_text(datagram, ProbeKind::User);
    EXPECT_EQ(text(), "pingu version: pingu");
    write_probe_header(datagram, 0x01020304, 1000, 999999);
    EXPECT_EQ(datagram[0] * 256 + datagram[3], 4 * 256 + 1);  // little-endian
    EXPECT_EQ(probe_delay(datagram, 1001, 1500), 1501u);      // across a second boundary
    EXPECT_EQ(probe_delay(datagram, 1000, 999999), 0u);
    write_probe_header(datagram, 1, 0xFFFFFFFF, 999999);  // the seconds wrap in 32 bits
    EXPECT_EQ(probe_delay(datagram, 0, 1), 2u);
    EXPECT_FALSE(probe_delay(std::span{datagram}.first(75), 1001, 0));
    EXPECT_FALSE(probe_delay(std::array<std::uint8_t, 77>{}, 1001, 0));
}

Samples sorted(Samples values) {
    sort_samples(values);
    return values;
}

std::string zeros(int bins) {
    std::string out;
    for (int i = 0; i < bins; ++i) {
        out += ",0";
    }
    return out;
}

const Samples example_path = {500, 1500, 1500, 2500, 25000};
const std::string example_figures = "5,0.500,1.000,1.500,2.500,25.000,6.200,7.520";
const std::string example_field = example_figures + ",1,2,1" + zeros(17) + ",1\"";

TEST(ProbeReport, SamplesOrderBySignedDifferenceAndTheMedianByPosition) {
    EXPECT_EQ(sorted({3, 1, 2}), (Samples{1, 2, 3}));
    // 2^31 + 1 apart, the signed difference puts the larger value first.
    EXPECT_EQ(sorted({0, 0x80000001U}), (Samples{0x80000001U, 0}));
    EXPECT_EQ(sorted({5, 0xFFFFFFFFU}), (Samples{0xFFFFFFFFU, 5}));  // wrapped past zero
    const struct {
        Samples samples;
        int from, to;
        std::uint32_t median;
        int a, b;  // the middle positions handed back
    } rows[] = {
        {{1, 2, 3, 4, 5}, 0, 5, 3, 2, 2},
        {{7, 9}, 1, 1, 9, 1, 1},                      // empty: (k - 1) / 2 truncates toward zero
        {{0x7FFFFFF0U, 0x80000010U}, 0, 2, 0, 0, 1},  // the two middle samples add in 32 bits
        {{1, 2, 3}, 3, 5, 0, 3, 4},                   // positions outside the list count as 0
    };
    for (auto row : rows) {
        EXPECT_EQ(sample_median(row.samples, row.from, row.to), row.median);
        EXPECT_EQ(std::pair(row.from, row.to), std::pair(row.a, row.b));
    }
}

TEST(ProbeReport, PathStatsFields) {
    const std::tuple<Samples, HistogramShape, std::string> rows[] = {
        {example_path, {}, example_field},
        {{999, 999, 1005, 1005, 1005}, {}, "5,0.999,0.999,1.005,1.005,1.005,1.002,0.003,2,3\""},
        {{600000, 600000, 700000, 800000, 1000000},  // all past the last bin
         {},
         "5,600.000,600.000,700.000,800.000,1000.000,740.000,128.000" + zeros(67) + ",5\""},
        {Samples(5, 2000000000),  // the sum for the mean needs 64 bits
         {},
         "5,2000000.000,2000000.000,2000000.000,2000000.000,2000000.000,2000000.000,0.000" +
             zeros(67) + ",5\""},
        {{0, 0, 0, 0, 2000000000},  // the deviation total wraps as a signed 32-bit value
         {},
         "5,0.000,0.000,0.000,0.000,2000000.000,400000.000,-218993.-459,4" + zeros(66) + ",1\""},
        {{}, {}, "0,0.000,0.000,0.000,0.000,0.000,0.000,0.000\""},
        {{0, 1000, 3000, 4500, 12000},
         {2, 5, 4, 10},
         "5,0.000,0.500,3.000,4.500,12.000,4.100,3.320,2,1,1,1\""},
        {example_path, {0, 10, 20, 500}, example_figures + ",5\""},  // steps of zero end the bins
        {example_path, {1, 0, 2, 500}, example_figures + ",1,2,2\""},
    };
    for (auto [samples, shape, field] : rows) {
        EXPECT_EQ(format_path_stats(samples, shape), field);
        EXPECT_TRUE(samples.empty());
    }
}

// The figures computed the obvious way on a sorted copy, for the default shape.
std::string model_stats(Samples v) {
    std::ranges::sort(v);
    const std::span<const std::uint32_t> all{v};
    const auto median = [](std::span<const std::uint32_t> s) {
        return s.size() % 2 == 1 ? s[s.size() / 2] : (s[s.size() / 2 - 1] + s[s.size() / 2]) / 2;
    };
    const auto n = static_cast<std::int64_t>(v.size());
    const std::int64_t mean = std::accumulate(v.begin(), v.end(), std::int64_t{0}) / n;
    std::int64_t deviation = 0;
    std::vector<int> bins(68, 0);  // 20 of 1 ms, 47 of 10 ms, then the count past the last
    for (const std::uint32_t x : v) {
        deviation += std::llabs(x - mean);
        ++bins[x < 20000 ? x / 1000 : x < 490000 ? 18 + x / 10000 : 67];
    }
    std::string out = std::to_string(n);
    for (const std::int64_t us :
         {std::int64_t{v.front()}, std::int64_t{median(all.first((n - 1) / 2))},
          std::int64_t{median(all)}, std::int64_t{median(all.subspan(n / 2))},
          std::int64_t{v.back()}, mean, deviation / n}) {
        out += "," + std::to_string(us / 1000) + "." + std::to_string(1000 + us % 1000).substr(1);
    }
    const std::size_t last =
        v.back() < 20000 ? v.back() / 1000 : std::min(18 + v.back() / 10000, 66u);
    for (std::size_t b = 0; b <= last; ++b) {
        out += "," + std::to_string(bins[b]);
    }
    return out + (bins[67] > 0 ? "," + std::to_string(bins[67]) : "") + "\"";
}

TEST(ProbeReport, PathStatsMatchASortedModel) {
    std::mt19937 random{20240611};
    for (int round = 0; round < 200; ++round) {
        Samples samples(5 + random() % 400);
        for (auto& s : samples) {
            const auto k = random() % 100;
            s = random() % (k < 55 ? 20000 : k < 85 ? 490000 : 2000000);
            s -= k % 10 == 0 ? s % 1000 : 0;  // right on a bin edge
        }
        Samples list = sorted(samples);
        ASSERT_EQ(format_path_stats(list, {}), model_stats(samples)) << "round " << round;
    }
}

TEST(ProbeReport, UserReportsListEverySampleEscapedNeverCutAndEmptyTheirPaths) {
    Samples classic = {800, 950, 1210};
    Samples lld;
    Samples unreached = {1};
    const std::array<Samples*, 4> paths{&classic, &lld, nullptr, &unreached};
    EXPECT_EQ(format_user_report("user_pingu", 4294967295U, paths, "192.0.2.10"),
              R"({"pingu_user":{"name":"user_pingu","a":4294967295,"p0":"800,950,1210","p1":)"
              R"("","s":"192.0.2.10"}})");
    EXPECT_EQ(classic.size() + unreached.size(), 1u);
    EXPECT_EQ(format_user_report("u\"\n", 0, {}, std::string_view{"\\\0\x01}", 4}),
              R"({"pingu_user":{"name":"u\"\n","a":0,"s":"\\\u0000\u0001}"}})");
    std::string expected;
    for (std::uint32_t i = 0; i < 3000; ++i) {
        classic.push_back(1000000 + i);
        expected += (i == 0 ? "" : ",") + std::to_string(1000000 + i);
    }
    EXPECT_EQ(format_user_report("u", 1, std::span{paths}.first(1), "a"),
              R"({"pingu_user":{"name":"u","a":1,"p0":")" + expected + R"(","s":"a"}})");
}

TEST(ProbeReport, ALongPeriodGoesOutInPartsThatHoldEverySampleInOrder) {
    Samples classic;
    Samples lld = {7, 5};
    for (std::uint32_t i = 300; i > 0; --i) {
        classic.push_back(1000 + i);
    }
    const std::array<Samples*, 2> paths{&classic, &lld};
    const auto parts = format_user_reports("u", 9, paths, "a", 400);
    ASSERT_GT(parts.size(), 3u);
    std::string p0;
    std::string p1;
    for (std::size_t k = 0; k < parts.size(); ++k) {
        SCOPED_TRACE(parts[k]);
        EXPECT_LE(parts[k].size(), 400u);
        const JsonPtr part = json_parse(parts[k]);
        const cJSON* report = cJSON_GetObjectItem(part.get(), "pingu_user");
        EXPECT_EQ(cJSON_GetObjectItem(report, "a")->valueint, 9);
        EXPECT_EQ(cJSON_GetObjectItem(report, "part")->valueint, static_cast<int>(k + 1));
        EXPECT_EQ(cJSON_GetObjectItem(report, "parts")->valueint, static_cast<int>(parts.size()));
        for (auto [name, all] : {std::pair{"p0", &p0}, std::pair{"p1", &p1}}) {
            const std::string list{*json_string_member(report, name)};
            *all += all->empty() || list.empty() ? list : "," + list;
        }
    }
    std::string expected;
    for (std::uint32_t i = 1; i <= 300; ++i) {
        expected += (i == 1 ? "" : ",") + std::to_string(1000 + i);
    }
    EXPECT_EQ(p0, expected);
    EXPECT_EQ(p1, "5,7");
    EXPECT_TRUE(classic.empty() && lld.empty());
}

TEST(ProbeReport, MonitorLeavesOutShortPathsUntilTheyFillAndStopsAtANull) {
    const std::string head = R"({"pingu_monitor":{ "name":"flea","s":"192.0.2.10",)"
                             R"("a":"100,0,30000,30001,1,10,20,500")";
    Samples classic = example_path;
    Samples lld = {1000, 2000, 3000, 4000};
    Samples unreached = example_path;
    const std::array<Samples*, 4> paths{&classic, &lld, nullptr, &unreached};
    const auto report = [&] {
        return format_monitor_report("flea", "192.0.2.10", {100, 0, 30000, 30001, {}}, paths);
    };
    EXPECT_EQ(report(), head + R"(,"p0":")" + example_field + "}}");
    EXPECT_EQ(classic.size() * 10 + lld.size(), 4u);
    lld.insert(lld.end(), {5000, 6000, 7000});
    EXPECT_EQ(report(),
              head + R"(,"p1":"7,1.000,2.000,4.000,5.500,7.000,4.000,1.714,0,1,1,1,1,1,1,1"}})");
    EXPECT_EQ(report(), head + "}}");
    EXPECT_EQ(unreached.size(), 5u);
}

}  // namespace
}  // namespace lld
