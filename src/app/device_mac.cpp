#include "app/device_mac.hpp"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "common/fd.hpp"
#include "common/shell.hpp"

namespace lld {
namespace {

constexpr std::size_t kMacDigits = 12;
constexpr std::size_t kModemOutputLimit = 19;

}  // namespace

std::optional<std::string> extract_mac_digits(std::span<const std::uint8_t> text) {
    std::string digits;
    for (const std::uint8_t c : text) {
        if (c == '\0' || digits.size() == kMacDigits) {
            break;
        }
        if (std::isxdigit(c) != 0) {
            digits += static_cast<char>(std::tolower(c));
        }
    }
    if (digits.size() != kMacDigits) {
        return std::nullopt;
    }
    return digits;
}

std::optional<std::string> get_cm_mac() {
    const auto output = shell().read_output("atom_util macdb ecm", kModemOutputLimit);
    if (!output || output->size() < kMacDigits) {
        return std::nullopt;
    }
    return extract_mac_digits(*output);
}

std::optional<std::string> get_if_mac(std::string_view interface_name) {
    const UniqueFd probe{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    if (!probe) {
        return std::nullopt;
    }
    ifreq request{};
    const std::size_t length = std::min(interface_name.size(), sizeof request.ifr_name - 1);
    std::memcpy(request.ifr_name, interface_name.data(), length);
    if (::ioctl(probe.get(), SIOCGIFHWADDR, &request) != 0) {
        return std::nullopt;
    }
    const auto* hw = reinterpret_cast<const unsigned char*>(request.ifr_hwaddr.sa_data);
    char text[kMacDigits + 1];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x%02x%02x", hw[0], hw[1], hw[2], hw[3], hw[4],
                  hw[5]);
    return std::string{text};
}

}  // namespace lld
