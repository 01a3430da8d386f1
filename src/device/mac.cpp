#include "device/mac.hpp"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cctype>
#include <cstdio>

#include "common/fd.hpp"
#include "device/interfaces.hpp"

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

std::optional<std::string> modem_mac(ChildRunner& runner) {
    const Argv command{"atom_util", "macdb", "ecm"};
    const ChildResult result = runner.run(command, kModemOutputLimit);
    if (result.output.size() < kMacDigits) {
        return std::nullopt;
    }
    return extract_mac_digits(result.output);
}

std::optional<std::string> interface_mac(std::string_view interface_name) {
    const UniqueFd probe{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    ifreq request = interface_request(interface_name);
    if (!probe || ::ioctl(probe.get(), SIOCGIFHWADDR, &request) != 0) {
        return std::nullopt;
    }
    const auto* hw = reinterpret_cast<const unsigned char*>(request.ifr_hwaddr.sa_data);
    char text[kMacDigits + 1];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x%02x%02x", hw[0], hw[1], hw[2], hw[3], hw[4],
                  hw[5]);
    return std::string{text};
}

}  // namespace lld
