// Small values that travel between the floors.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lld {

// A port range as the modem's classifier and the cloud give it.
struct PortRange {
    int low = 0;
    int high = 0;

    // A range text from the cloud: exactly digits, "-", digits, with
    // 0 < low < high <= 65535. Anything else, trailing text included, is refused.
    static std::optional<PortRange> parse(std::string_view text);
    // "<low>-<high>", the form the modem's range is compared in.
    std::string text() const;

    friend bool operator==(const PortRange&, const PortRange&) = default;
};

// A decimal number made of digits only (no sign, no blanks), within [low, high].
std::optional<int> parse_decimal(std::string_view text, int low, int high);

// The address families the rule setter handles, from the configuration's "device_mode".
enum class IpMode : int { None = 0, Ipv4 = 1, Ipv6 = 2, Dualstack = 3 };
// "Ipv4", "Ipv6" or "Dualstack" exactly; anything else, or nothing, is None.
IpMode ip_mode_of(std::optional<std::string_view> device_mode);

enum class Family { V4, V6 };

// Whether the mode asks for rules of that family.
bool covers(IpMode mode, Family family);

}  // namespace lld
