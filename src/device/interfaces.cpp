#include "device/interfaces.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>

#include "common/fd.hpp"
#include "common/json.hpp"
#include "common/log.hpp"
#include "common/types.hpp"

namespace lld {
namespace {

constexpr std::size_t kPrefixWordMax = 7;
constexpr std::size_t kPrefixOutputLimit = 4096;

std::uint32_t ipv4_of(const sockaddr& address) {
    sockaddr_in in{};
    std::memcpy(&in, &address, sizeof in);
    return in.sin_addr.s_addr;
}

struct IfaddrsFree {
    void operator()(ifaddrs* list) const { freeifaddrs(list); }
};

bool is_link_local(const in6_addr& address) {
    return address.s6_addr[0] == 0xfe && (address.s6_addr[1] & 0xc0) == 0x80;
}

}  // namespace

ifreq interface_request(std::string_view name) {
    ifreq request{};
    const std::size_t length = std::min(name.size(), sizeof request.ifr_name - 1);
    std::memcpy(request.ifr_name, name.data(), length);
    request.ifr_addr.sa_family = AF_INET;
    return request;
}

int netmask_prefix_length(std::uint32_t netmask_network_order) {
    return std::countl_one(ntohl(netmask_network_order));
}

std::optional<std::string> interface_ipv4(std::string_view interface_name, bool with_prefix) {
    const UniqueFd probe{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    ifreq request = interface_request(interface_name);
    if (!probe || ::ioctl(probe.get(), SIOCGIFADDR, &request) < 0) {
        return std::nullopt;
    }
    char text[INET_ADDRSTRLEN] = {};
    const std::uint32_t address = ipv4_of(request.ifr_addr);
    inet_ntop(AF_INET, &address, text, sizeof text);
    std::string output{text};
    if (!with_prefix) {
        return output;
    }
    request = interface_request(interface_name);
    if (::ioctl(probe.get(), SIOCGIFNETMASK, &request) < 0) {
        return std::nullopt;
    }
    return output + "/" + std::to_string(netmask_prefix_length(ipv4_of(request.ifr_netmask)));
}

std::optional<std::string> interface_ipv6(std::string_view interface_name) {
    ifaddrs* raw = nullptr;
    if (getifaddrs(&raw) != 0) {
        log_error("getifaddrs failed: %s", std::strerror(errno));
        return std::nullopt;
    }
    const std::unique_ptr<ifaddrs, IfaddrsFree> list{raw};
    for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET6 ||
            entry->ifa_name == nullptr || interface_name != entry->ifa_name) {
            continue;
        }
        sockaddr_in6 in6{};
        std::memcpy(&in6, entry->ifa_addr, sizeof in6);
        if (is_link_local(in6.sin6_addr)) {
            continue;
        }
        char text[INET6_ADDRSTRLEN] = {};
        inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
        return std::string{text};
    }
    return std::nullopt;
}

std::optional<std::string> first_word(std::string_view output) {
    constexpr std::string_view kBlanks = " \t\n\r\f\v";
    const std::size_t start = output.find_first_not_of(kBlanks);
    if (start == std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t end = output.find_first_of(kBlanks, start);
    return std::string{output.substr(start, std::min(end - start, kPrefixWordMax))};
}

std::string lan_ipv6_prefix(ChildRunner& runner, std::string_view address) {
    // The address comes from the kernel's own enumeration: hexadecimal digits and colons.
    const Argv command{"sh", "-c",
                       "ifconfig | grep '" + std::string{address} +
                           "' | awk '/inet6 addr/{split($3,a,\"/\"); print a[2]}'"};
    const ChildResult result = runner.run(command, kPrefixOutputLimit);
    auto word =
        first_word({reinterpret_cast<const char*>(result.output.data()), result.output.size()});
    if (!word) {
        log_error("Failed to read prefix from %s ", std::string{address}.c_str());
    } else if (!parse_decimal(*word, 0, 128)) {
        log_error("LAN IPv6 prefix length \"%s\" of %s is no number from 0 to 128: 64 is taken",
                  json_escape(*word).c_str(), std::string{address}.c_str());
        word.reset();
    }
    const std::string prefix = word.value_or("64");
    log_debug("lanIPv6 Prefix = %s ", prefix.c_str());
    return prefix;
}

}  // namespace lld
