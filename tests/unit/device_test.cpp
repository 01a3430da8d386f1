#include "device/device_params.hpp"

#include <csapi.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "test_support.hpp"

namespace lld {
namespace {

#ifdef LLD_CSAPI_STANDIN

using Getter = std::int32_t (*)(std::span<char>);

struct Param {
    Getter get;
    std::string name;
    std::string value;
};

const Param kParams[] = {
    {device_get_wan_ip, "Device.DeviceInfo.X_MERROWIN-COM_WAN_IP", "203.0.113.7"},
    {device_get_serial_number, "Device.DeviceInfo.X_ONDREL_COM_SerialNumber", "SN 0042-A"},
    {device_get_model_name, "Device.DeviceInfo.ModelName", "CGW7"},
    {device_get_software_version, "Device.DeviceInfo.SoftwareVersion", "7.1.2p3 build #5"},
    {device_get_cm_mac, "Device.DeviceInfo.X_MERROWIN-COM_CM_MAC", "00:11:22:33:44:55"},
    {device_get_cm_ip, "Device.DeviceInfo.X_MERROWIN-COM_CM_IP", "2001:db8::2"},
    {device_get_wan_mac, "Device.DeviceInfo.X_MERROWIN-COM_WAN_MAC", "00:11:22:33:44:5f"},
};

// Sessions through the stand-in library: its values file and call log live in a
// scratch directory, and the log's session ids are renamed h1, h2, ... in order.
class DeviceParams : public testing::Test {
  protected:
    void SetUp() override {
        setenv("LLD_CSAPI_VALUES", (dir_ / "csapi.conf").c_str(), 1);
        setenv("LLD_CSAPI_LOG", (dir_ / "csapi.log").c_str(), 1);
        setenv("LLD_DBG_LVL", "debug", 1);
    }
    void TearDown() override {
        unsetenv("LLD_CSAPI_VALUES");
        unsetenv("LLD_CSAPI_LOG");
        unsetenv("LLD_DBG_LVL");
    }

    // Every parameter but `omitted`, then `extra`.
    void write_values(const std::string& omitted = "", const std::string& extra = "") {
        std::ofstream out{dir_ / "csapi.conf"};
        for (const auto& p : kParams) {
            if (p.name != omitted) {
                out << p.name << " " << p.value << "\n";
            }
        }
        out << extra;
    }

    // The library calls since the last look.
    std::vector<std::string> calls() {
        std::vector<std::string> lines;
        std::map<std::string, std::string> handles{{"0", "0"}, {"stale", "stale"}};
        std::ifstream in{dir_ / "csapi.log"};
        for (std::string line; std::getline(in, line);) {
            std::istringstream words{line};
            std::string op, id, rest;
            words >> op >> id;
            std::getline(words, rest);
            const auto [it, added] = handles.emplace(id, "h" + std::to_string(handles.size() - 1));
            lines.push_back(op + " " + it->second + rest);
        }
        std::remove((dir_ / "csapi.log").c_str());
        return lines;
    }
    // What `call` printed.
    template <typename Call>
    std::string stdout_of(Call call) {
        testing::internal::CaptureStdout();
        call();
        std::fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }

    static std::vector<std::string> session(const Param& p, std::size_t size, int status) {
        return {"init h1",
                "get h1 " + p.name + " " + std::to_string(size) + " " + std::to_string(status),
                "uninit h1"};
    }
    static std::string error_line(const Param& p) {
        return "[" + std::to_string(static_cast<unsigned long>(pthread_self())) +
               "] [ZEZ-UDERED] [ERR] CS_GetParamValue(" + p.name + ") Failed!!!!\n";
    }

    test::TempDir dir_;
};

TEST_F(DeviceParams, SizeReachesTheLibraryUnchangedAndBoundsTheValue) {
    for (const auto& p : kParams) {
        write_values();
        const std::size_t length = p.value.size();
        const std::pair<std::size_t, int> cases[] = {
            {0, CS_ERR_TOO_SMALL}, {length, CS_ERR_TOO_SMALL}, {length + 1, CS_OK}, {40, CS_OK}};
        for (const auto& [size, status] : cases) {
            std::array<char, 48> storage;
            storage.fill('#');
            std::int32_t result = -1;
            const std::string out = stdout_of([&] { result = p.get({storage.data(), size}); });
            ASSERT_EQ(result, status) << p.name << " size " << size;
            EXPECT_EQ(calls(), session(p, size, status)) << p.name;
            EXPECT_EQ(out, status == CS_OK ? "" : error_line(p)) << p.name;
            if (status == CS_OK) {
                EXPECT_EQ(std::string{storage.data()}, p.value);
            }
            const std::size_t untouched = status == CS_OK ? length + 1 : 0;
            EXPECT_EQ(std::string(storage.begin() + untouched, storage.end()),
                      std::string(storage.size() - untouched, '#'))
                << p.name << " size " << size;
        }
    }
}

TEST_F(DeviceParams, MissingBufferGivesOneWithoutASession) {
    write_values();
    for (const auto& p : kParams) {
        std::int32_t result = -1;
        EXPECT_EQ(stdout_of([&] { result = p.get({}); }), "");
        EXPECT_EQ(result, 1) << p.name;
        EXPECT_EQ(calls(), std::vector<std::string>{}) << p.name;
    }
}

TEST_F(DeviceParams, OnlyTheHandleTellsWhetherTheSessionOpened) {
    const struct {
        const char* extra;  // nullptr: no values file
        bool opened;
    } cases[] = {
        {nullptr, false},
        {"fail init\n", false},
        {"fail init 0\n", false},
        {"fail init -5\n", false},
        {"Device.X bad\nDevice.X again\n", false},
        {"init returns 9\n", true},
        {"init returns -1\n", true},
    };
    for (const auto& c : cases) {
        write_values("", c.extra != nullptr ? c.extra : "");
        if (c.extra == nullptr) {
            std::remove((dir_ / "csapi.conf").c_str());
        }
        const std::string label = c.extra != nullptr ? c.extra : "(no file)";
        for (const auto& p : kParams) {
            std::array<char, 64> value{};
            std::int32_t result = -1;
            EXPECT_EQ(stdout_of([&] { result = p.get(value); }), "") << label;
            EXPECT_EQ(result, c.opened ? 0 : 1) << label << p.name;
            EXPECT_EQ(calls(),
                      c.opened ? session(p, value.size(), 0) : std::vector<std::string>{"init 0"})
                << label << p.name;
        }
    }
}

TEST_F(DeviceParams, FailedReadReturnsTheLibraryStatusLogsAndReleases) {
    const struct {
        const char* failure;  // for the parameter read; nullptr: the parameter is absent
        int status;
    } cases[] = {
        {"", CS_ERR_FAILED},        {" 9", 9}, {" 1", 1}, {" -1", -1}, {" 2147483647", INT_MAX},
        {nullptr, CS_ERR_NO_PARAM},
    };
    for (const auto& c : cases) {
        for (const auto& p : kParams) {
            if (c.failure != nullptr) {
                write_values("", "fail get " + p.name + c.failure + "\n");
            } else {
                write_values(p.name);
            }
            std::array<char, 64> value{};
            std::int32_t result = 0;
            EXPECT_EQ(stdout_of([&] { result = p.get(value); }), error_line(p));
            EXPECT_EQ(result, c.status) << p.name;
            EXPECT_EQ(calls(), session(p, value.size(), c.status)) << p.name;
        }
    }
}

TEST_F(DeviceParams, ConsecutiveCallsUseSeparateSessions) {
    write_values("", "fail get " + kParams[2].name + "\n");
    std::array<char, 64> value{};
    EXPECT_EQ(stdout_of([&] { EXPECT_EQ(kParams[2].get(value), CS_ERR_FAILED); }),
              error_line(kParams[2]));
    EXPECT_EQ(kParams[1].get(value), 0);
    EXPECT_EQ(kParams[1].get(value), 0);
    const std::string failed = kParams[2].name + " 64 " + std::to_string(CS_ERR_FAILED);
    const std::string read = kParams[1].name + " 64 0";
    EXPECT_EQ(calls(), (std::vector<std::string>{"init h1", "get h1 " + failed, "uninit h1",
                                                 "init h2", "get h2 " + read, "uninit h2",
                                                 "init h3", "get h3 " + read, "uninit h3"}));
}

TEST_F(DeviceParams, BufferBeyondInt32IsOfferedInt32Max) {
    constexpr std::size_t kMapped = (std::size_t{1} << 32) + 16;
    void* const map = mmap(nullptr, kMapped, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (map == MAP_FAILED) {
        GTEST_SKIP() << "no room to map 4 GiB";
    }
    write_values();
    const auto& p = kParams[4];
    for (const std::size_t size : {std::size_t{1} << 31, kMapped, std::size_t{INT32_MAX}}) {
        EXPECT_EQ(p.get({static_cast<char*>(map), size}), 0) << size;
        EXPECT_EQ(std::string{static_cast<const char*>(map)}, p.value);
        EXPECT_EQ(calls(), session(p, INT32_MAX, 0)) << size;
    }
    munmap(map, kMapped);
}

#else

TEST(DeviceParams, NeedTheStandInLibrary) {
    GTEST_SKIP() << "built against a platform parameter library other than the stand-in";
}

#endif

}  // namespace
}  // namespace lld
