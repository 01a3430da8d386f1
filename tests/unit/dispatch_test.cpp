#include "cloud/dispatch.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "app/config.hpp"
#include "app/status.hpp"
#include "common/json.hpp"
#include "common/shell.hpp"
#include "test_support.hpp"

namespace lld {
namespace {

std::string file_text(const std::string& path) {
    std::ifstream in{path, std::ios::binary};
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(GuiToken, WrittenPrivatelyAndReplaced) {
    const test::TempDir scratch;
    const std::string dir = scratch / "lld";
    ASSERT_EQ(store_gui_token(dir.c_str(), "first-and-longer"), 0);
    ASSERT_EQ(store_gui_token(dir.c_str(), "second"), 0);
    EXPECT_EQ(file_text(dir + "/token"), "second");
    struct stat status {};
    ASSERT_EQ(stat(dir.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    ASSERT_EQ(stat((dir + "/token").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    ASSERT_EQ(store_gui_token(dir.c_str(), ""), 0);
    EXPECT_EQ(file_text(dir + "/token"), "");
}

TEST(GuiToken, UnsafePlacesAreRefused) {
    const test::TempDir scratch;
    const std::string target = scratch / "elsewhere";
    std::filesystem::create_directory(target);

    const std::string linked_dir = scratch / "linked";
    std::filesystem::create_directory_symlink(target, linked_dir);
    EXPECT_EQ(store_gui_token(linked_dir.c_str(), "t"), -1);
    EXPECT_TRUE(std::filesystem::is_empty(target));

    const std::string plain_file = scratch / "file";
    std::ofstream{plain_file} << "x";
    EXPECT_EQ(store_gui_token(plain_file.c_str(), "t"), -1);

    const std::string with_linked_token = scratch / "dir";
    std::filesystem::create_directory(with_linked_token);
    const std::string victim = scratch / "victim";
    std::ofstream{victim} << "keep";
    std::filesystem::create_symlink(victim, with_linked_token + "/token");
    EXPECT_EQ(store_gui_token(with_linked_token.c_str(), "t"), -1);
    EXPECT_EQ(file_text(victim), "keep");

    if (geteuid() == 0) {
        const std::string foreign = scratch / "foreign";
        std::filesystem::create_directory(foreign);
        ASSERT_EQ(chown(foreign.c_str(), 4242, 4242), 0);
        EXPECT_EQ(store_gui_token(foreign.c_str(), "t"), -1);
        EXPECT_TRUE(std::filesystem::is_empty(foreign));
    }
}

// Answers the modem's commands with prepared records.
class ModemShell final : public Shell {
  public:
    std::map<std::string, std::vector<std::uint8_t>> outputs;
    std::optional<std::vector<std::uint8_t>> read_output(const std::string& command,
                                                         std::size_t limit) override {
        auto found = outputs.find(command);
        if (found == outputs.end()) {
            return std::vector<std::uint8_t>{};
        }
        auto bytes = found->second;
        bytes.resize(std::min(bytes.size(), limit));
        return bytes;
    }
    int run(const std::string&) override { return 0; }
};

template <typename... Words>
std::vector<std::uint8_t> words(Words... values) {
    std::vector<std::uint8_t> bytes;
    for (const std::uint32_t word : {static_cast<std::uint32_t>(values)...}) {
        const auto* raw = reinterpret_cast<const std::uint8_t*>(&word);
        bytes.insert(bytes.end(), raw, raw + sizeof word);
    }
    return bytes;
}

class LldConfig : public testing::Test {
  protected:
    void SetUp() override {
        modem.outputs["ondrel_rpc_client arm cm_aggserflow"] = words(1, 1, 7, 1);
        modem.outputs["ondrel_rpc_client arm cm_pktclass"] = words(1, 7, 0, 0, 5000, 5010, 0, 0);
        lld_status() = StatusSlot{};
    }

    int handle(const char* json) {
        const JsonPtr tree = json_parse(json);
        return handle_lld_config(cJSON_GetObjectItemCaseSensitive(tree.get(), "lld_config"));
    }

    ModemShell modem;
    ScopedShell guard{modem};
};

TEST_F(LldConfig, ReportsFollowTheComparison) {
    EXPECT_EQ(handle(R"({"lld_config":{"port_range":"5000-5010"}})"), 0);
    EXPECT_TRUE(lld_status().lld_status_pending);
    EXPECT_EQ(lld_status().lld_status_buf, format_running_report());
    EXPECT_EQ(process_config().cloud_port_range.get(), "5000-5010");

    EXPECT_EQ(handle(R"({"lld_config":{"port_range":"5000-5010 "}})"), 0);
    EXPECT_EQ(lld_status().lld_status_buf, format_error_report("5000-5010", "5000-5010 "));
}

TEST_F(LldConfig, UnreadableClassifierIsZeroZero) {
    modem.outputs.erase("ondrel_rpc_client arm cm_pktclass");
    EXPECT_EQ(handle(R"({"lld_config":{"port_range":"0-0"}})"), 0);
    EXPECT_EQ(lld_status().lld_status_buf, format_running_report());
}

TEST_F(LldConfig, RangesThatAreNotTextsLeaveEverythingAsItWas) {
    process_config().cloud_port_range.set("1-2");
    for (const char* json : {R"({"lld_config":{}})", R"({"lld_config":{"port_range":5000}})",
                             R"({"lld_config":{"port_range":null}})", R"({"lld_config":7})",
                             R"({"lld_config":{"Port_range":"1-2"}})", R"({})"}) {
        EXPECT_EQ(handle(json), -1) << json;
        EXPECT_FALSE(lld_status().lld_status_pending) << json;
    }
    EXPECT_EQ(process_config().cloud_port_range.get(), "1-2");
}

}  // namespace
}  // namespace lld
