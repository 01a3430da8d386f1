#include "app/status.hpp"

#include <gtest/gtest.h>

#include <string>

#include "common/json.hpp"

namespace lld {
namespace {

TEST(StatusReports, ExactTexts) {
    EXPECT_EQ(format_running_report(), R"({"lld_status":"running"})");
    EXPECT_EQ(format_shutdown_report(), R"({"lld_status":"shutting_down"})");
    EXPECT_EQ(format_ready_report(std::string{"00ff"}),
              R"({"lld_status":"ready_to_go","hadp":"00ff","version":"1.0.0"})");
    EXPECT_EQ(format_ready_report(std::nullopt),
              R"({"lld_status":"ready_to_go","version":"1.0.0"})");
    EXPECT_EQ(format_error_report("5000-5010", "6000-6010"),
              R"({"lld_status":"running_with_error","lld_error":{"port_range_mismatch":)"
              R"x("Source NAT port mis-match between DOCSIS classifier (5000-5010) and Cloud )x"
              R"x(configuration (6000-6010)"}})x");
}

TEST(StatusReports, ReadyReportGrowsWithTheSealedText) {
    const std::string sealed(4096, 'a');
    const std::string report = format_ready_report(sealed);
    const JsonPtr tree = json_parse(report);
    ASSERT_TRUE(tree);
    EXPECT_EQ(json_string_member(tree.get(), "hadp"), sealed);
}

// Whatever the cloud sends as its range, the report is JSON that fits the
// status buffer and shows a prefix of the range.
TEST(StatusReports, ErrorReportStaysValidAndBounded) {
    const std::string cases[] = {
        "",
        R"(a"b\c)",
        std::string(5000, '"'),
        std::string(5000, 'x'),
        std::string(3000, '\x01'),
        "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80" + std::string(990, 'y'),
        std::string(1000, 'z') + "\xe2\x82\xac",
        "line\nbreak\ttab",
    };
    for (const std::string& cloud : cases) {
        const std::string report = format_error_report("0-0", cloud);
        EXPECT_LT(report.size(), StatusSlot::kCapacity) << cloud.substr(0, 20);
        const JsonPtr tree = json_parse(report);
        ASSERT_TRUE(tree) << report.substr(0, 80);
        const auto sentence = json_string_member(
            cJSON_GetObjectItemCaseSensitive(tree.get(), "lld_error"), "port_range_mismatch");
        ASSERT_TRUE(sentence);
        const std::string_view lead = "Cloud configuration (";
        const std::size_t from = sentence->find(lead) + lead.size();
        const std::string_view shown = sentence->substr(from, sentence->size() - from - 1);
        EXPECT_TRUE(std::string_view{cloud}.starts_with(shown));
        if (cloud.size() > StatusSlot::kCapacity) {
            EXPECT_GT(report.size(), StatusSlot::kCapacity - 8);  // the cut uses the room there is
        }
    }
}

TEST(JsonEscape, EscapesAndBoundedCuts) {
    EXPECT_EQ(json_escape("a\"b\\c\n\x01"), "a\\\"b\\\\c\\n\\u0001");
    EXPECT_EQ(json_escape_bounded("\"\"\"", 5), "\\\"\\\"");    // never half an escape
    EXPECT_EQ(json_escape_bounded("ab\xe2\x82\xac", 4), "ab");  // never half a character
    EXPECT_EQ(json_escape_bounded("ab\xe2\x82\xac", 5), "ab\xe2\x82\xac");
}

}  // namespace
}  // namespace lld
