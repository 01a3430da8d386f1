#include "iptsetter/rules.hpp"

#include <arpa/inet.h>

#include <cstdio>

#include "common/json.hpp"
#include "common/log.hpp"

namespace lld {
namespace {

constexpr int kMaxPort = 65535;
constexpr std::size_t kMaxPortList = 255;
// The most ports the firewall's multiport match takes; a range counts as two.
constexpr int kMaxMultiportPorts = 15;
constexpr std::string_view kBothProtocols[] = {"tcp", "udp"};
constexpr std::string_view kIpv4Multicast = "224.0.0.0/4";
constexpr std::string_view kIpv6Multicast = "ff00::/8";

std::string cat(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (const std::string_view part : parts) {
        text += part;
    }
    return text;
}

// "<tool> -t <table> -<action> POSTROUTING", then the rest.
Argv rule(Family family, std::string_view table, RuleAction action,
          std::initializer_list<std::string_view> rest) {
    Argv words{family == Family::V4 ? "iptables" : "ip6tables", "-t", std::string{table},
               std::string{'-', static_cast<char>(action)}, "POSTROUTING"};
    words.insert(words.end(), rest.begin(), rest.end());
    return words;
}

constexpr std::size_t kActionWord = 3;

}  // namespace

std::optional<Argv> with_action(Argv rule, RuleAction action) {
    if (rule.size() <= kActionWord || rule[kActionWord].size() != 2 ||
        rule[kActionWord][0] != '-') {
        return std::nullopt;
    }
    rule[kActionWord][1] = static_cast<char>(action);
    return rule;
}

bool adds_rule(const Argv& rule) {
    return rule.size() > kActionWord && (rule[kActionWord] == "-I" || rule[kActionWord] == "-A");
}

namespace {

Argv multiport_snat_rule(Family family, RuleAction action, std::string_view protocol,
                         std::string_view lan, std::string_view ports, std::string_view target) {
    return rule(family, "nat", action,
                {"-p", protocol, "-s", lan, "--match", "multiport", "--dports", ports, "!", "-d",
                 lan, "-j", "SNAT", "--to-source", target});
}

Argv dscp_mark_rule(Family family, RuleAction action, std::string_view protocol,
                    std::string_view lan, std::string_view ports, int dscp) {
    const std::string value = std::to_string(dscp);
    return rule(family, "mangle", action,
                {"-p", protocol, "-s", lan, "--match", "multiport", "--dports", ports, "!", "-d",
                 lan, "-j", "DSCP", "--set-dscp", value});
}

Argv device_snat_rule(Family family, RuleAction action, std::string_view protocol,
                      std::string_view device, std::string_view lan, std::string_view target) {
    return rule(
        family, "nat", action,
        {"-p", protocol, "-s", device, "!", "-d", lan, "-j", "SNAT", "--to-source", target});
}

}  // namespace

std::optional<PortRange> classic_port_range(PortRange range) {
    const PortRange below{1024, range.low - 1};
    const PortRange above{range.high + 1, kMaxPort};
    const bool below_free = below.low <= below.high;
    const bool above_free = above.low <= above.high;
    // The rule the gateway's rules files have always followed picks the lower side
    // when it is no more than one port smaller; only a side without ports is never
    // picked.
    if (below_free && (!above_free || range.low - 1022 > kMaxPort - range.high)) {
        return below;
    }
    if (above_free) {
        return above;
    }
    return std::nullopt;
}

RangeTargets range_targets(PortRange range, std::optional<std::string_view> wan_ipv4,
                           std::optional<std::string_view> wan_ipv6, const RangeTargets& previous) {
    RangeTargets targets = previous;
    const std::string lld = range.text();
    const auto classic = classic_port_range(range);
    const std::string classic_text = classic ? classic->text() : "";
    if (wan_ipv6) {
        targets.lld_snat_v6 = cat({"[", *wan_ipv6, "]:", lld});
        targets.classic_snat_v6 = classic ? cat({"[", *wan_ipv6, "]:", classic_text}) : "";
    }
    if (wan_ipv4) {
        targets.lld_snat_v4 = cat({*wan_ipv4, ":", lld});
        targets.classic_snat_v4 = classic ? cat({*wan_ipv4, ":", classic_text}) : "";
    }
    targets.lld_sport = std::to_string(range.low) + ":" + std::to_string(range.high);
    targets.range = range;
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
    int counted = 0;
    for (;;) {
        const std::size_t comma = ports.find(',');
        const std::string_view item = ports.substr(0, comma);
        const std::size_t colon = item.find(':');
        if (colon == std::string_view::npos) {
            if (!parse_decimal(item, 1, kMaxPort)) {
                return false;
            }
            counted += 1;
        } else if (!parse_decimal(item.substr(0, colon), 1, kMaxPort) ||
                   !parse_decimal(item.substr(colon + 1), 1, kMaxPort)) {
            return false;
        } else {
            counted += 2;
        }
        if (counted > kMaxMultiportPorts) {
            return false;
        }
        if (comma == std::string_view::npos) {
            return true;
        }
        ports.remove_prefix(comma + 1);
    }
}

namespace {

// The family of a device address that valid_device_address accepted.
Family device_family(std::string_view data) {
    return data.substr(0, data.find('/')).find(':') != std::string_view::npos ? Family::V6
                                                                              : Family::V4;
}

}  // namespace

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
           (data.size() - slash - 1 <= 3 && parse_decimal(data.substr(slash + 1), 0, max_prefix));
}

std::optional<std::string> invalid_nat_data(std::string_view cmd, std::string_view data) {
    if (cmd == "multi-add" || cmd == "multi-del") {
        const auto split = split_port_data(data);
        if (split && !valid_port_list(split->ports)) {
            return "port list is not ports and port ranges joined by commas (at most 15 ports, "
                   "a range counting two, and 255 characters)";
        }
    } else if (cmd == "device-add" || cmd == "device-del") {
        if (!valid_device_address(data)) {
            return "device is not one IPv4 or IPv6 address with an optional prefix";
        }
    }
    return std::nullopt;
}

bool accept_nat_data(std::string_view cmd, std::string_view name, std::string_view data) {
    const auto problem = invalid_nat_data(cmd, data);
    if (problem) {
        log_error("%s \"%s\" refused: %s", json_escape(cmd).c_str(), json_escape(name).c_str(),
                  problem->c_str());
    }
    return !problem;
}

NatCommand::NatCommand(const cJSON* element)
    : cmd{json_string_member(element, "cmd")},
      name{json_string_member(element, "name")},
      data{json_string_member(element, "data")} {}

std::optional<std::vector<NatEntry>> parse_nat_config(std::string_view text) {
    const JsonPtr tree = json_parse(text);
    if (!cJSON_IsArray(tree.get())) {
        return std::nullopt;
    }
    std::vector<NatEntry> entries;
    const cJSON* element = nullptr;
    cJSON_ArrayForEach(element, tree.get()) {
        const NatCommand command{element};
        if (command.cmd && command.name && command.data &&
            accept_nat_data(*command.cmd, *command.name, *command.data)) {
            entries.push_back(NatEntry{std::string{*command.name}, std::string{*command.data},
                                       std::string{*command.cmd}});
        }
    }
    return entries;
}

std::vector<Argv> entry_rules(const FamilyRules& rules, RuleAction action, std::string_view cmd,
                              std::string_view data) {
    std::vector<Argv> out;
    if (cmd == "multi-add" || cmd == "multi-del") {
        const auto split = split_port_data(data);
        if (!split || !valid_port_list(split->ports) || rules.port_lists == PortListRules::None) {
            return out;
        }
        for (const std::string_view protocol : selected_protocols(split->protocol)) {
            out.push_back(rules.port_lists == PortListRules::DscpMark
                              ? dscp_mark_rule(rules.family, action, protocol, rules.lan,
                                               split->ports, rules.dscp)
                              : multiport_snat_rule(rules.family, action, protocol, rules.lan,
                                                    split->ports, rules.lld_target));
        }
    } else if ((cmd == "device-add" || cmd == "device-del") && valid_device_address(data) &&
               device_family(data) == rules.family) {
        // A device's rules go to the tool and the file of its own address family.
        for (const std::string_view protocol : kBothProtocols) {
            out.push_back(device_snat_rule(rules.family, action, protocol, data, rules.lan,
                                           rules.lld_target));
        }
    }
    return out;
}

Argv multicast_return_rule(Family family, RuleAction action) {
    return rule(family, "nat", action,
                {"-p", "udp", "-d", family == Family::V4 ? kIpv4Multicast : kIpv6Multicast, "-j",
                 "RETURN"});
}

Argv catch_all_snat_rule(Family family, RuleAction action, std::string_view protocol,
                         std::string_view lan, std::string_view sport, std::string_view target) {
    return rule(family, "nat", action,
                {"-p", protocol, "-s", lan, "--sport", sport, "!", "-d", lan, "-j", "SNAT",
                 "--to-source", target});
}

std::string format_nat_config(int dscp_value, int dscp_flags, std::span<const NatEntry> entries) {
    char settings[160];
    std::snprintf(settings, sizeof settings,
                  "{\"cmd\":\"dscp-settings\",\"value\":%d,\"lw_dscp_to_ll\":%d,"
                  "\"lw_app_dscp\":%d,\"wl_dscp_set\":%d}",
                  dscp_value, dscp_flags & 1, (dscp_flags >> 1) & 1, (dscp_flags >> 2) & 1);
    std::string text = "[\n";
    text += settings;
    for (const NatEntry& entry : entries) {
        text += cat({",\n{\"cmd\":\"", json_escape(entry.cmd), "\",\"name\":\"",
                     json_escape(entry.name), "\",\"data\":\"", json_escape(entry.data), "\"}"});
    }
    text += "\n]";
    return text;
}

}  // namespace lld
