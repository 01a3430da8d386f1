#include "device/params.hpp"

#include <csapi.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>
#include <string_view>

#include "common/log.hpp"

namespace lld {
namespace {

constexpr char kWanIp[] = "Device.DeviceInfo.X_MERROWIN-COM_WAN_IP";
constexpr char kSerialNumber[] = "Device.DeviceInfo.X_ONDREL_COM_SerialNumber";
constexpr char kModelName[] = "Device.DeviceInfo.ModelName";
constexpr char kSoftwareVersion[] = "Device.DeviceInfo.SoftwareVersion";
constexpr char kCmMac[] = "Device.DeviceInfo.X_MERROWIN-COM_CM_MAC";
constexpr char kCmIp[] = "Device.DeviceInfo.X_MERROWIN-COM_CM_IP";
constexpr char kWanMac[] = "Device.DeviceInfo.X_MERROWIN-COM_WAN_MAC";

// The library is handed a copy of most names in a zero-filled buffer of this
// size, which must leave room for the terminating NUL.
constexpr std::size_t kNameBufferSize = 64;
static_assert(
    std::ranges::all_of(std::array<std::string_view, 6>{kSerialNumber, kModelName, kSoftwareVersion,
                                                        kCmMac, kCmIp, kWanMac},
                        [](std::string_view name) { return name.size() < kNameBufferSize; }));

// One library session: opened on construction, released on destruction when
// the library gave a handle. Only the handle tells whether CS_Init worked; its
// return value is not relied on.
class CsapiSession {
  public:
    CsapiSession() { static_cast<void>(CS_Init(&handle_)); }
    ~CsapiSession() {
        if (*this) {
            static_cast<void>(CS_UnInit(handle_));
        }
    }
    CsapiSession(const CsapiSession&) = delete;
    CsapiSession& operator=(const CsapiSession&) = delete;

    explicit operator bool() const { return handle_ != CS_HANDLE{}; }
    CS_HANDLE handle() const { return handle_; }

  private:
    CS_HANDLE handle_{};
};

// The library takes the size as an int; a larger buffer is offered only the
// part an int can describe.
int library_size(std::span<char> value) {
    return static_cast<int>(
        std::min<std::size_t>(value.size(), std::numeric_limits<std::int32_t>::max()));
}

std::int32_t read_param(const char* name, std::span<char> value) {
    if (value.data() == nullptr) {
        return 1;
    }
    const CsapiSession session;
    if (!session) {
        return 1;
    }
    const int status = CS_GetParamValue(session.handle(), name, value.data(), library_size(value));
    if (status != 0) {
        log_error("CS_GetParamValue(%s) Failed!!!!", name);
    }
    return status;
}

std::int32_t read_param_copy(std::string_view name, std::span<char> value) {
    std::array<char, kNameBufferSize> name_buffer{};
    std::ranges::copy(name, name_buffer.begin());
    return read_param(name_buffer.data(), value);
}

}  // namespace

std::int32_t device_get_wan_ip(std::span<char> value) {
    return read_param(kWanIp, value);
}

std::int32_t device_get_serial_number(std::span<char> value) {
    return read_param_copy(kSerialNumber, value);
}

std::int32_t device_get_model_name(std::span<char> value) {
    return read_param_copy(kModelName, value);
}

std::int32_t device_get_software_version(std::span<char> value) {
    return read_param_copy(kSoftwareVersion, value);
}

std::int32_t device_get_cm_mac(std::span<char> value) {
    return read_param_copy(kCmMac, value);
}

std::int32_t device_get_cm_ip(std::span<char> value) {
    return read_param_copy(kCmIp, value);
}

std::int32_t device_get_wan_mac(std::span<char> value) {
    return read_param_copy(kWanMac, value);
}

}  // namespace lld
