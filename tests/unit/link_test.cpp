#include "cloud/link.hpp"

#include <gtest/gtest.h>

#include <string>

#include "common/json.hpp"

namespace lld {
namespace {

TEST(Topics, FormatsAndCut) {
    EXPECT_EQ(format_topic(TOPIC_STATUS, "gw1"), "CS/gw1/LLD/status");
    EXPECT_EQ(format_topic(TOPIC_CONFIG, "gw1"), "CS/gw1/LLD/config");
    EXPECT_EQ(format_topic(TOPIC_METRICS, "gw1"), "CS/gw1/LLD/metrics");
    EXPECT_EQ(format_topic(TOPIC_REGISTRATION, "gw1"), "CS/gw1/LLD/registration");
    EXPECT_EQ(format_topic(TOPIC_EVENTS, "gw1"), "CS/gw1/LLD/events");
    EXPECT_EQ(format_topic(5, "gw1"), "");
    EXPECT_EQ(format_topic(0xFFFFFFFFu, "gw1"), "");
    // A device id that fills the buffer leaves no room for the rest of the topic.
    const std::string topic = format_topic(TOPIC_STATUS, std::string(63, 'd'));
    EXPECT_EQ(topic, ("CS/" + std::string(63, 'd')).substr(0, 63));
    EXPECT_EQ(format_topic(TOPIC_STATUS, "%s%n%x"), "CS/%s%n%x/LLD/status");
}

TEST(Datagram, OutgoingFormIsFormattedJsonWithEscapedPayload) {
    const auto text = build_datagram(2, "CS/gw1/LLD/status", R"({"lld_status":"running"})");
    ASSERT_TRUE(text);
    EXPECT_EQ(*text,
              "{\n\t\"type\":\t2,\n\t\"topic\":\t\"CS/gw1/LLD/status\",\n"
              "\t\"payload\":\t\"{\\\"lld_status\\\":\\\"running\\\"}\"\n}");
    const auto round = parse_datagram(*text);
    ASSERT_TRUE(round);
    EXPECT_EQ(round->type, 2);
    EXPECT_EQ(round->payload, R"({"lld_status":"running"})");
}

TEST(Datagram, IncomingMembersWithoutLetterCaseAndMissingOnes) {
    const struct {
        const char* text;
        bool parsed;
        int type;
        std::optional<std::string> topic;
        std::optional<std::string> payload;
    } cases[] = {
        {R"({"type":1,"topic":"t","payload":"p"})", true, 1, "t", "p"},
        {R"({"TYPE":3,"Topic":"t","PAYLOAD":"p","extra":[1]})", true, 3, "t", "p"},
        {R"({"type":"1","topic":7})", true, 0, std::nullopt, std::nullopt},
        {R"({"payload":{"a":1}})", true, 0, std::nullopt, std::nullopt},
        {R"([])", true, 0, std::nullopt, std::nullopt},
        {R"(not json)", false, 0, std::nullopt, std::nullopt},
        {"", false, 0, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto datagram = parse_datagram(c.text);
        ASSERT_EQ(datagram.has_value(), c.parsed) << c.text;
        if (datagram) {
            EXPECT_EQ(datagram->type, c.type) << c.text;
            EXPECT_EQ(datagram->topic, c.topic) << c.text;
            EXPECT_EQ(datagram->payload, c.payload) << c.text;
        }
    }
}

TEST(Datagram, ParserReadsOnlyTheGivenBytes) {
    const std::string text = R"({"type":1,"payload":"abc"})";
    EXPECT_TRUE(parse_datagram(text));
    EXPECT_FALSE(parse_datagram(std::string_view{text}.substr(0, text.size() - 1)));
}

}  // namespace
}  // namespace lld
