// Getters of the gateway's device data (TR-181 parameters), read through the
// platform parameter library. Each call opens its own library session, reads
// one parameter as text into the caller's buffer and releases the session; no
// state survives a call.
#pragma once

#include <cstdint>
#include <span>

namespace lld {

// Each getter returns 0 when the library has put the value into `value`; 1 when
// `value` has no storage or the library gives no session; otherwise the
// library's non-zero status, after an error line in the log. The buffer is
// offered to the library with its own size (capped at INT32_MAX), so the
// library is never told of room the buffer doesn't have. After a failure its
// content is whatever the library left there.
std::int32_t device_get_wan_ip(std::span<char> value);
std::int32_t device_get_serial_number(std::span<char> value);
std::int32_t device_get_model_name(std::span<char> value);
std::int32_t device_get_software_version(std::span<char> value);
std::int32_t device_get_cm_mac(std::span<char> value);
std::int32_t device_get_cm_ip(std::span<char> value);
std::int32_t device_get_wan_mac(std::span<char> value);

}  // namespace lld
