#include "iptsetter/rule_text.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "common/json.hpp"

namespace lld {
namespace {

constexpr int kMaxPort = 65535;
constexpr std::size_t kMaxPortList = 255;

bool all_digits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A decimal number made of digits only, within [low, high].
std::optional<int> decimal(std::string_view text, int low, int high) {
    if (!all_digits(text)) {
        return std::nullopt;
    }
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

std::string cat(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (const std::string_view part : parts) {
        text += part;
    }
    return text;
}

std::string head(Family family, char letter, std::string_view table) {
    return cat(
        {ipt_tool(family), " -t ", table, " -", std::string_view{&letter, 1}, " POSTROUTING"});
}

}  // namespace

std::string_view ipt_tool(Family family) {
    return family == Family::V4 ? "iptables" : "ip6tables";
}

std::optional<std::pair<int, int>> parse_port_range(std::string_view text) {
    const std::size_t dash = text.find('-');
    if (dash == std::string_view::npos) {
        return std::nullopt;
    }
    const auto low = decimal(text.substr(0, dash), 1, kMaxPort);
    const auto high = decimal(text.substr(dash + 1), 1, kMaxPort);
    if (!low || !high || *low >= *high) {
        return std::nullopt;
    }
    return std::pair{*low, *high};
}

std::pair<int, int> classic_port_range(int low, int high) {
    if (low - 1022 > kMaxPort - high) {
        return {1024, low - 1};
    }
    return {high + 1, kMaxPort};
}

RangeTargets range_targets(std::string_view range_text, int low, int high, std::string_view wanIp,
                           std::string_view wanIpv6, bool ipv4, bool ipv6,
                           const RangeTargets& previous) {
    RangeTargets targets = previous;
    const auto [classic_low, classic_high] = classic_port_range(low, high);
    const std::string classic = std::to_string(classic_low) + "-" + std::to_string(classic_high);
    if (ipv6) {
        targets.lldSnatV6 = cat({"[", wanIpv6, "]:", range_text});
        targets.classicSnatV6 = cat({"[", wanIpv6, "]:", classic});
    }
    if (ipv4) {
        targets.lldSnatV4 = cat({wanIp, ":", range_text});
        targets.classicSnatV4 = cat({wanIp, ":", classic});
    }
    targets.lldSport = std::to_string(low) + ":" + std::to_string(high);
    targets.lldPortRange = std::to_string(low) + "-" + std::to_string(high);
    return targets;
}

std::optional<PortData> split_port_data(std::string_view data) {
    const std::size_t comma = data.rfind(',');
    if (comma == std::string_view::npos) {
        return std::nullopt;
    }
    const char protocol = comma + 1 < data.size() ? data[comma + 1] : '\0';
    return PortData{data.substr(0, comma), protocol};
}

std::vector<std::string_view> selected_protocols(char letter) {
    switch (letter) {
        case 'T':
            return {"tcp"};
        case 'U':
            return {"udp"};
        case 'B':
            return {"tcp", "udp"};
        default:
            return {};
    }
}

bool valid_port_list(std::string_view ports) {
    if (ports.empty() || ports.size() > kMaxPortList) {
        return false;
    }
    while (true) {
        const std::size_t comma = ports.find(',');
        const std::string_view item = ports.substr(0, comma);
        const std::size_t colon = item.find(':');
        if (colon == std::string_view::npos) {
            if (!decimal(item, 1, kMaxPort)) {
                return false;
            }
        } else if (!decimal(item.substr(0, colon), 1, kMaxPort) ||
                   !decimal(item.substr(colon + 1), 1, kMaxPort)) {
            return false;
        }
        if (comma == std::string_view::npos) {
            return true;
        }
        ports.remove_prefix(comma + 1);
    }
}

bool valid_device_address(std::string_view data) {
    if (data.find('\0') != std::string_view::npos) {
        return false;  // the address parser would stop there and miss what follows
    }
    const std::size_t slash = data.find('/');
    const std::string address{data.substr(0, slash)};
    unsigned char bytes[16];
    int max_prefix = 0;
    if (inet_pton(AF_INET, address.c_str(), bytes) == 1) {
        max_prefix = 32;
    } else if (inet_pton(AF_INET6, address.c_str(), bytes) == 1) {
        max_prefix = 128;
    } else {
        return false;
    }
    return slash == std::string_view::npos ||
           (data.size() - slash - 1 <= 3 && decimal(data.substr(slash + 1), 0, max_prefix));
}

std::optional<std::string> invalid_nat_data(std::string_view cmd, std::string_view data) {
    if (cmd == "multi-add" || cmd == "multi-del") {
        const auto split = split_port_data(data);
        if (split && !valid_port_list(split->ports)) {
            return "port list is not ports and port ranges joined by commas (at most 255 "
                   "characters)";
        }
    } else if (cmd == "device-add" || cmd == "device-del") {
        if (!valid_device_address(data)) {
            return "device is not one IPv4 or IPv6 address with an optional prefix";
        }
    }
    return std::nullopt;
}

std::string multiport_snat_rule(Family family, char letter, std::string_view protocol,
                                std::string_view lan, std::string_view ports,
                                std::string_view target) {
    return cat({head(family, letter, "nat"), " -p ", protocol, " -s ", lan,
                " --match multiport --dports ", ports, " ! -d ", lan, " -j SNAT --to-source ",
                target});
}

std::string device_snat_rule(Family family, char letter, std::string_view protocol,
                             std::string_view device, std::string_view lan,
                             std::string_view target) {
    return cat({head(family, letter, "nat"), " -p ", protocol, " -s ", device, " ! -d ", lan,
                " -j SNAT --to-source ", target, "\n"});
}

std::string multicast_return_rule(Family family, char letter) {
    return cat({head(family, letter, "nat"), " -p udp -d ",
                family == Family::V4 ? kIpv4Multicast : kIpv6Multicast, " -j RETURN"});
}

std::string catch_all_snat_rule(Family family, char letter, std::string_view protocol,
                                std::string_view lan, std::string_view sport,
                                std::string_view target) {
    return cat({head(family, letter, "nat"), " -p ", protocol, " -s ", lan, " --sport ", sport,
                " ! -d ", lan, " -j SNAT --to-source ", target});
}

std::string dscp_mark_rule(Family family, char letter, std::string_view protocol,
                           std::string_view lan, std::string_view ports, int dscp) {
    return cat({head(family, letter, "mangle"), " -p ", protocol, " -s ", lan,
                " --match multiport --dports ", ports, " ! -d ", lan, " -j DSCP --set-dscp ",
                std::to_string(dscp)});
}

std::string format_nat_config(int dscpValue, int dscpFlags, const tList<natEntry>& entries) {
    char settings[160];
    std::snprintf(settings, sizeof settings,
                  "{\"cmd\":\"dscp-settings\",\"value\":%d,\"lw_dscp_to_ll\":%d,"
                  "\"lw_app_dscp\":%d,\"wl_dscp_set\":%d}",
                  dscpValue, dscpFlags & 1, (dscpFlags >> 1) & 1, (dscpFlags >> 2) & 1);
    std::string text = "[\n";
    text += settings;
    for (const natEntry& entry : entries) {
        text += cat({",\n{\"cmd\":\"", json_escape(entry.cmd), "\",\"name\":\"",
                     json_escape(entry.name), "\",\"data\":\"", json_escape(entry.data), "\"}"});
    }
    text += "\n]";
    return text;
}

}  // namespace lld
