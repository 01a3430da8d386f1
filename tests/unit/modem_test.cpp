#include "docsis/modem.hpp"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <utility>

#include "common/shell.hpp"

namespace lld {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Call = std::pair<std::string, std::size_t>;

template <typename T>
void append(Bytes& out, const T& value) {
    const auto at = out.size();
    out.resize(at + sizeof(T));
    std::memcpy(out.data() + at, &value, sizeof(T));
}

Bytes text(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

// Answers each command line with prepared bytes, cut to the caller's limit as a
// pipe read would be; a command without an answer is a pipe that can't be opened.
class FakeShell final : public Shell {
  public:
    std::map<std::string, Bytes> outputs;
    std::vector<Call> calls;

    std::optional<Bytes> read_output(const std::string& command, std::size_t limit) override {
        calls.emplace_back(command, limit);
        const auto it = outputs.find(command);
        if (it == outputs.end()) {
            return std::nullopt;
        }
        return Bytes(it->second.begin(), it->second.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                                  limit, it->second.size())));
    }
    int run(const std::string&) override { return 0; }
};

Bytes aggregate(std::uint32_t ll_sfid) {
    Bytes out(16, 0xFF);
    std::memcpy(out.data() + 8, &ll_sfid, sizeof ll_sfid);
    return out;
}

Bytes classifiers(std::initializer_list<pktclass_entry> entries) {
    Bytes out;
    for (const auto& e : entries) {
        append(out, e);
    }
    return out;
}

pktclass_entry classifier(std::uint32_t class_id, std::uint32_t sfid, std::int32_t low,
                          std::int32_t high) {
    return {class_id, sfid, 0xFFFFFFFF, 0xFFFFFFFF, low, high, 0xFFFFFFFF, 0xFFFFFFFF};
}

serflow_entry flow(std::uint32_t sfid, std::uint32_t direction = 0) {
    return {sfid, direction, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 1, 2, 3, 4, 5};
}

Bytes flows(std::uint32_t first_sfid, std::size_t count) {
    Bytes out;
    for (std::size_t i = 0; i < count; ++i) {
        append(out, flow(first_sfid + static_cast<std::uint32_t>(i)));
    }
    return out;
}

// The one string of the "docsis" array, or "" when the text has another shape.
std::string docsis_field(const std::string& json) {
    const std::unique_ptr<cJSON, decltype(&cJSON_Delete)> root{cJSON_Parse(json.c_str()),
                                                               &cJSON_Delete};
    const cJSON* array = cJSON_GetObjectItemCaseSensitive(root.get(), "docsis");
    if (cJSON_GetArraySize(root.get()) != 1 || cJSON_GetArraySize(array) != 1 ||
        !cJSON_IsString(cJSON_GetArrayItem(array, 0))) {
        return "";
    }
    return cJSON_GetArrayItem(array, 0)->valuestring;
}

TEST(ModemParse, AggregateNeedsSixteenBytesAndReadsOnlyTheSfidWord) {
    for (const std::size_t size : {0u, 15u, 16u, 17u, 512u}) {
        Bytes out = aggregate(0x0A0B0C0D);
        out.resize(size, 0xFF);
        const auto info = parse_asf_info(out);
        ASSERT_EQ(info.has_value(), size >= 16) << size;
        if (info) {
            EXPECT_EQ(info->ll_sfid, 0x0A0B0C0Du);
        }
    }
}

TEST(ModemParse, ClassifierSearch) {
    Bytes full;
    for (std::uint32_t i = 1; i <= 16; ++i) {
        append(full, classifier(i, i == 16 ? 7 : 5, 0, 0));
    }
    Bytes partial = classifiers({classifier(1, 5, 1, 2), classifier(2, 7, 3, 4)});
    partial.pop_back();
    const struct {
        const char* name;
        Bytes table;
        std::optional<std::uint32_t> class_id;
    } cases[] = {
        {"empty", {}, std::nullopt},
        {"first record ends the table", classifiers({classifier(0, 7, 1, 2)}), std::nullopt},
        {"later record", classifiers({classifier(1, 5, 1, 2), classifier(2, 7, 3, 4)}), 2},
        {"first of two wins", classifiers({classifier(3, 7, 1, 2), classifier(4, 7, 3, 4)}), 3},
        {"after the terminator",
         classifiers({classifier(1, 5, 1, 2), classifier(0, 0, 0, 0), classifier(2, 7, 3, 4)}),
         std::nullopt},
        {"no terminator, last record", full, 16},
        {"partial trailing record", partial, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto entry = find_pktclass_entry(c.table, 7);
        ASSERT_EQ(entry.has_value(), c.class_id.has_value()) << c.name;
        if (entry) {
            EXPECT_EQ(entry->class_id, *c.class_id) << c.name;
        }
    }
    const auto entry = find_pktclass_entry(classifiers({classifier(1, 7, -5, 65535)}), 7);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->port_low, -5);
    EXPECT_EQ(entry->port_high, 65535);
}

TEST(ModemParse, WanServiceStarted) {
    const std::pair<std::string_view, bool> cases[] = {
        {"started\n", true}, {"started", true}, {"startedanything", true}, {"Started\n", false},
        {"start", false},    {"", false},       {"stopped\n", false},
    };
    for (const auto& [output, started] : cases) {
        EXPECT_EQ(wan_service_started(text(output)), started) << output;
    }
}

TEST(ModemParse, ServiceFlowTableEndsAtTerminatorOrBufferEnd) {
    Bytes terminated = flows(1, 2);
    append(terminated, flow(0));
    append(terminated, flow(9));
    Bytes trailing = flows(1, 3);
    trailing.resize(trailing.size() + 47, 0xFF);
    const std::pair<Bytes, std::size_t> cases[] = {
        {{}, 0}, {Bytes(47, 1), 0}, {terminated, 2}, {trailing, 3}, {flows(0, 2), 0},
    };
    for (const auto& [table, count] : cases) {
        const auto entries = parse_serflow_table(table);
        ASSERT_EQ(entries.size(), count) << table.size();
        for (std::size_t i = 0; i < count; ++i) {
            EXPECT_EQ(entries[i].sfid, i + 1);
        }
    }
}

TEST(ModemFormat, StatsText) {
    const struct {
        std::uint32_t ll_sfid;
        serflow_entry entry;
        const char* field;
    } cases[] = {
        {7, {7, 0, 0, 0, 0, 1, 2, 3, 4, 0}, "7,DS,1,2,3,4"},
        {7, {7, 1, 0, 0, 0, 1, 2, 3, 4, 0}, "7,US,1,2,3,4"},
        {7, {7, 0x80000000, 0, 0, 0, 0, 0, 0, 0, 0}, "7,US,0,0,0,0"},
        {7, {7, 0, 0, 0, 0, 0, 0, 0xFFFFFFFF, 0x80000000, 0}, "7,DS,0,0,-1,-2147483648"},
        {7,
         {7, 0, 0, 0, 0, 0x8000000000000000, UINT64_MAX, 0x7FFFFFFF, 0, 0},
         "7,DS,9223372036854775808,18446744073709551615,2147483647,0"},
        {0xFFFFFFFF, {0xFFFFFFFF, 1, 0, 0, 0, 0, 0, 0, 0, 0}, "-1,US,0,0,0,0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(docsis_field(format_sf_stats(c.ll_sfid, c.entry)), c.field);
    }
    EXPECT_EQ(format_sf_stats(7, flow(7)), "{\n\t\"docsis\":\t[\"7,DS,1,2,3,4\"]\n}");
}

class ModemQuery : public testing::Test {
  protected:
    void SetUp() override { setenv("LLD_DBG_LVL", "debug", 1); }
    void TearDown() override { unsetenv("LLD_DBG_LVL"); }

    void answer(std::string_view command, std::optional<Bytes> output) {
        if (output) {
            fake_.outputs[std::string{command}] = std::move(*output);
        } else {
            fake_.outputs.erase(std::string{command});
        }
    }
    void reset() {
        fake_.outputs.clear();
        fake_.calls.clear();
    }

    // Debug lines written while `body` runs, without their thread prefix.
    static std::vector<std::string> logged(const std::function<void()>& body) {
        testing::internal::CaptureStdout();
        body();
        std::fflush(stdout);
        const std::string out = testing::internal::GetCapturedStdout();
        std::vector<std::string> lines;
        for (std::size_t at = 0; at < out.size();) {
            const std::size_t end = out.find('\n', at);
            std::string line = out.substr(at, end - at);
            const std::size_t text_at = line.find("] ");
            lines.push_back(line.substr(text_at == std::string::npos ? 0 : text_at + 2));
            at = end == std::string::npos ? out.size() : end + 1;
        }
        return lines;
    }

    FakeShell fake_;
    ScopedShell guard_{fake_};
};

TEST_F(ModemQuery, GetAsfInfo) {
    Bytes long_output = aggregate(42);
    long_output.resize(600, 0);
    const std::pair<std::optional<Bytes>, int> cases[] = {
        {std::nullopt, -1}, {Bytes(15, 0), -1}, {aggregate(42), 0}, {long_output, 0}};
    for (const auto& [output, rc] : cases) {
        reset();
        answer(kAggServFlowCommand, output);
        asf_info info{0, 0, 99, 0};
        EXPECT_EQ(get_asf_info(&info), rc);
        EXPECT_EQ(info.ll_sfid, rc == 0 ? 42u : 99u);
        EXPECT_EQ(fake_.calls, (std::vector<Call>{{"ondrel_rpc_client arm cm_aggserflow", 512}}));
    }
    EXPECT_EQ(get_asf_info(nullptr), -1);
}

TEST_F(ModemQuery, GetPktclassEntry) {
    Bytes seventeen;
    for (std::uint32_t i = 1; i <= 17; ++i) {
        append(seventeen, classifier(i, i == 17 ? 7 : 5, 0, 0));
    }
    const std::pair<std::optional<Bytes>, int> cases[] = {
        {std::nullopt, -1},
        {Bytes(31, 7), -1},
        {classifiers({classifier(1, 7, 1000, 1999)}), 0},
        {seventeen, -1},  // the match lies beyond the 512 bytes read
    };
    for (const auto& [output, rc] : cases) {
        reset();
        answer(kPktClassCommand, output);
        pktclass_entry entry{};
        EXPECT_EQ(get_pktclass_entry(7, &entry), rc);
        EXPECT_EQ(entry.port_high, rc == 0 ? 1999 : 0);
        EXPECT_EQ(fake_.calls, (std::vector<Call>{{"ondrel_rpc_client arm cm_pktclass", 512}}));
    }
    EXPECT_EQ(get_pktclass_entry(7, nullptr), -1);
}

TEST_F(ModemQuery, GetWanServiceStatus) {
    const struct {
        std::optional<Bytes> output;
        int rc;
        int started;
    } cases[] = {
        {std::nullopt, -1, 0},     {text(""), -1, 0},
        {text("started\n"), 0, 1}, {text("Started\n"), 0, 0},
        {text("stopped\n"), 0, 0}, {text("started and a long tail"), 0, 1},
    };
    for (const auto& c : cases) {
        reset();
        answer(kWanServiceCommand, c.output);
        int started = 5;
        EXPECT_EQ(get_wan_service_status(&started), c.rc);
        EXPECT_EQ(started, c.started);
        EXPECT_EQ(fake_.calls, (std::vector<Call>{{"sysevent get wan_service-status", 15}}));
    }
    EXPECT_EQ(get_wan_service_status(nullptr), -1);
}

TEST_F(ModemQuery, PortRange) {
    const struct {
        const char* name;
        std::optional<Bytes> aggregate_output;
        std::optional<Bytes> classifier_output;
        std::size_t size;
        const char* expected;
    } cases[] = {
        {"match", aggregate(42),
         classifiers({classifier(1, 9, 1, 2), classifier(2, 42, 1024, 2047)}), 16, "1024-2047"},
        {"class_id 0 first", aggregate(42), classifiers({classifier(0, 42, 1, 2)}), 16, "0-0"},
        {"no classifier output", aggregate(42), std::nullopt, 16, "0-0"},
        {"no aggregate asks for sfid 0", std::nullopt, classifiers({classifier(1, 0, 5, 6)}), 16,
         "5-6"},
        {"truncated", aggregate(42), classifiers({classifier(1, 42, INT_MIN, INT_MAX)}), 16,
         "-2147483648-214"},
        {"one byte", aggregate(42), classifiers({classifier(1, 42, 1, 2)}), 1, ""},
    };
    for (const auto& c : cases) {
        reset();
        answer(kAggServFlowCommand, c.aggregate_output);
        answer(kPktClassCommand, c.classifier_output);
        std::array<char, 32> backing;
        backing.fill('X');
        EXPECT_EQ(lld_get_port_range(std::span{backing}.first(c.size)), 0) << c.name;
        EXPECT_STREQ(backing.data(), c.expected) << c.name;
        EXPECT_EQ(backing[c.size], 'X') << c.name;
        EXPECT_EQ(fake_.calls, (std::vector<Call>{{"ondrel_rpc_client arm cm_aggserflow", 512},
                                                  {"ondrel_rpc_client arm cm_pktclass", 512}}))
            << c.name;
    }
    reset();
    EXPECT_EQ(lld_get_port_range({}), -1);
    EXPECT_TRUE(fake_.calls.empty());
}

constexpr const char* kAsfFailed = "[ZEZ-UDERED] [DBG] LLD: get_asf_info failed ";
constexpr const char* kPipeFailed = "[ZEZ-UDERED] [DBG] LLD: Failed to get GET_SF_STATS ";
constexpr const char* kStatsFailed = "[ZEZ-UDERED] [DBG] LLD: lld_get_sf_stats failed ";
constexpr const char* kMatching = "[ZEZ-UDERED] [DBG] LLD SFID(7) matching, returning the stats...";

std::string visited(std::uint32_t sfid) {
    return "[ZEZ-UDERED] [DBG] LLD : LowLatencySFID=7, FlowSID=" + std::to_string(sfid) + " ";
}

TEST_F(ModemQuery, SfStats) {
    Bytes third = flows(5, 3);
    Bytes terminated = flows(1, 2);
    append(terminated, flow(0));
    append(terminated, flow(7));
    const struct {
        const char* name;
        std::optional<Bytes> aggregate_output;
        std::optional<Bytes> table;
        std::vector<std::string> lines;
        bool found;
    } cases[] = {
        {"no aggregate", std::nullopt, flows(7, 1), {kAsfFailed}, false},
        {"short aggregate", Bytes(15, 0), flows(7, 1), {kAsfFailed}, false},
        {"no pipe", aggregate(7), std::nullopt, {kPipeFailed, kStatsFailed}, false},
        {"47 bytes", aggregate(7), Bytes(47, 7), {kStatsFailed}, false},
        {"first record", aggregate(7), flows(7, 2), {visited(7), kMatching}, true},
        {"third record",
         aggregate(7),
         third,
         {visited(5), visited(6), visited(7), kMatching},
         true},
        {"terminator first", aggregate(7), flows(0, 1), {kStatsFailed}, false},
        {"terminator before match",
         aggregate(7),
         terminated,
         {visited(1), visited(2), kStatsFailed},
         false},
    };
    for (const auto& c : cases) {
        reset();
        answer(kAggServFlowCommand, c.aggregate_output);
        answer(kServFlowCommand, c.table);
        std::optional<std::string> stats;
        EXPECT_EQ(logged([&] { stats = lld_get_sf_stats(); }), c.lines) << c.name;
        ASSERT_EQ(stats.has_value(), c.found) << c.name;
        if (stats) {
            EXPECT_EQ(docsis_field(*stats), "7,DS,1,2,3,4") << c.name;
        }
    }
}

TEST_F(ModemQuery, SfStatsSearchesTheWholeBufferOnly) {
    // 8096 bytes hold 168 whole records; a 169th lies beyond what is read.
    for (const std::uint32_t count : {168u, 169u}) {
        reset();
        answer(kAggServFlowCommand, aggregate(7));
        Bytes table = flows(1000, count - 1);
        append(table, flow(7));
        answer(kServFlowCommand, table);
        std::optional<std::string> stats;
        const auto lines = logged([&] { stats = lld_get_sf_stats(); });
        EXPECT_EQ(stats.has_value(), count == 168);
        ASSERT_EQ(lines.size(), 169u);
        EXPECT_EQ(lines.back(), count == 168 ? kMatching : kStatsFailed);
        EXPECT_EQ(fake_.calls, (std::vector<Call>{{"ondrel_rpc_client arm cm_aggserflow", 512},
                                                  {"ondrel_rpc_client arm cm_serflow", 8096}}));
    }
}

}  // namespace
}  // namespace lld
