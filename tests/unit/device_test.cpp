#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>

#include <climits>
#include <sstream>

#include "device/interfaces.hpp"
#include "device/mac.hpp"
#include "device/params.hpp"
#include "test_support.hpp"

#ifdef LLD_CSAPI_STANDIN
#include <csapi.h>
#endif

namespace lld {
namespace {

using test::Lines;

TEST(DeviceMac, TwelveHexDigitsOfTheModemsAnswer) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"AA:BB:CC:DD:EE:FF\n", "aabbccddeeff"},
        {"aabb.ccdd.eeff", "aabbccddeeff"},
        {"0123456789abcdef", "0123456789ab"},
        {"zz 11-22-33-44-55-66", "112233445566"},
        {"AA:BB:CC:DD:EE", std::nullopt},
        {"", std::nullopt},
        {std::string("AABBCC\0DDEEFF", 13), std::nullopt}};
    for (const auto& [text, digits] : cases) {
        EXPECT_EQ(extract_mac_digits(test::bytes_of(text)), digits) << text;
    }
}

TEST(LanPrefix, FirstWordOfTheAnswerAtMostSevenCharacters) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {{"64\n", "64"},
                                                                        {" \n\t 48 56\n", "48"},
                                                                        {"123456789", "1234567"},
                                                                        {" \n", std::nullopt},
                                                                        {"", std::nullopt}};
    for (const auto& [text, word] : cases) {
        EXPECT_EQ(first_word(text), word) << text;
    }
}

#ifdef LLD_CSAPI_STANDIN

using Getter = std::int32_t (*)(std::span<char>);
const std::tuple<Getter, std::string, std::string> device_params[] = {
    {device_get_wan_ip, "Device.DeviceInfo.X_MERROWIN-COM_WAN_IP", "203.0.113.7"},
    {device_get_serial_number, "Device.DeviceInfo.X_ONDREL_COM_SerialNumber", "SN 0042-A"},
    {device_get_model_name, "Device.DeviceInfo.ModelName", "CGW7"},
    {device_get_software_version, "Device.DeviceInfo.SoftwareVersion", "7.1.2p3 build #5"},
    {device_get_cm_mac, "Device.DeviceInfo.X_MERROWIN-COM_CM_MAC", "00:11:22:33:44:55"},
    {device_get_cm_ip, "Device.DeviceInfo.X_MERROWIN-COM_CM_IP", "2001:db8::2"},
    {device_get_wan_mac, "Device.DeviceInfo.X_MERROWIN-COM_WAN_MAC", "00:11:22:33:44:5f"},
};

// Sessions of the stand-in library, whose values file and call log live in a scratch directory.
class DeviceParams : public testing::Test {
  protected:
    void SetUp() override {
        ::setenv("LLD_CSAPI_VALUES", (dir_ / "csapi.conf").c_str(), 1);
        ::setenv("LLD_CSAPI_LOG", (dir_ / "csapi.log").c_str(), 1);
    }
    // Every parameter but `omitted`, then `extra`; no file at all for a null `extra`.
    void write_values(const std::string& omitted, const char* extra) {
        std::string text;
        for (const auto& [get, name, value] : device_params) {
            text += name != omitted ? name + " " + value + "\n" : "";
        }
        std::filesystem::remove(dir_ / "csapi.conf");
        ASSERT_TRUE(extra == nullptr || replace_file(dir_ / "csapi.conf", text + extra));
    }
    // The library calls of one read, the session ids renamed h1, h2, ...; then its log lines.
    Lines read(Getter get, std::span<char> value, int expected_status) {
        test::LogCapture log{"error"};
        EXPECT_EQ(get(value), expected_status);
        Lines lines;
        std::map<std::string, std::string> handles{{"0", "0"}};
        std::istringstream calls{read_file(dir_ / "csapi.log").value_or("")};
        for (std::string op, id, rest; calls >> op >> id && std::getline(calls, rest);) {
            lines.push_back(
                op + " " + handles.emplace(id, "h" + std::to_string(handles.size())).first->second +
                rest);
        }
        std::filesystem::remove(dir_ / "csapi.log");
        lines.push_back(log.text());
        return lines;
    }
    static Lines session(const std::string& name, std::size_t size, int status) {
        const std::string error = "[" + std::to_string(static_cast<unsigned long>(pthread_self())) +
                                  "] [ZEZ-UDERED] [ERR] CS_GetParamValue(" + name +
                                  ") Failed!!!!\n";
        return {"init h1",
                "get h1 " + name + " " + std::to_string(size) + " " + std::to_string(status),
                "uninit h1", status == CS_OK ? "" : error};
    }

    test::TempDir dir_;
};

TEST_F(DeviceParams, TheBufferSizeReachesTheLibraryAndItsStatusTheCaller) {
    for (const auto& [get, name, value] : device_params) {
        const auto check = [&, &get = get, &name = name, &value = value](std::size_t size,
                                                                         int status) {
            std::array<char, 48> storage;
            storage.fill('#');
            EXPECT_EQ(read(get, {storage.data(), size}, status), session(name, size, status));
            const std::size_t written = status == CS_OK ? value.size() + 1 : 0;  // never beyond
            EXPECT_EQ(std::string(storage.data(), written), status == CS_OK ? value + '\0' : "");
            EXPECT_EQ(std::string(storage.begin() + written, storage.end()),
                      std::string(storage.size() - written, '#'));
        };
        write_values("", "");
        for (const std::size_t size :
             {std::size_t{0}, value.size(), value.size() + 1, std::size_t{40}}) {
            check(size, size > value.size() ? CS_OK : CS_ERR_TOO_SMALL);
        }
        for (const auto& [failure, status] :
             {std::pair{"", CS_ERR_FAILED}, {" 9", 9}, {" -1", -1}, {" 2147483647", INT_MAX}}) {
            write_values("", ("fail get " + name + failure + "\n").c_str());
            check(40, status);
        }
        write_values(name, "");
        check(40, CS_ERR_NO_PARAM);
    }
}

TEST_F(DeviceParams, OnlyTheHandleTellsWhetherASessionOpenedAndEachCallHasItsOwn) {
    for (const char* extra :
         {"(no file)", "fail init\n", "fail init 0\n", "fail init -5\n", "Device.X a\nDevice.X b\n",
          "init returns 9\n", "init returns -1\n"}) {
        const bool opened = std::string_view{extra}.starts_with("init returns");
        write_values("", *extra == '(' ? nullptr : extra);
        for (const auto& [get, name, value] : device_params) {
            std::array<char, 64> buffer{};
            for (int call = 0; call < 2; ++call) {
                EXPECT_EQ(read(get, buffer, opened ? 0 : 1),
                          (opened ? session(name, 64, 0) : Lines{"init 0", ""}));
            }
            EXPECT_EQ(read(get, {}, 1), Lines{""});  // no storage: no session at all
        }
    }
}

TEST_F(DeviceParams, BuffersBeyondInt32AreOfferedInt32Max) {
    // Past INT32_MAX: beyond 4 GiB with a 64-bit size_t, beyond 2 GiB with a 32-bit one.
    constexpr std::size_t kMapped = (std::size_t{1} << (sizeof(std::size_t) > 4 ? 32 : 31)) + 16;
    void* const map = ::mmap(nullptr, kMapped, PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (map == MAP_FAILED) {
        GTEST_SKIP() << "no room to map " << kMapped << " bytes";
    }
    write_values("", "");
    const auto& [get, name, value] = device_params[4];
    for (const std::size_t size : {std::size_t{1} << 31, kMapped, std::size_t{INT32_MAX}}) {
        EXPECT_EQ(read(get, {static_cast<char*>(map), size}, 0), session(name, INT32_MAX, 0));
        EXPECT_EQ(std::string{static_cast<const char*>(map)}, value);
    }
    ::munmap(map, kMapped);
}

#endif

}  // namespace
}  // namespace lld
