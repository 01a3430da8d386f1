// The rule setter's texts, apart from the processes and files so that they can
// be checked, and fuzzed, on their own: the rule command lines, the SNAT targets
// of a range, the validation of everything the cloud sends that ends up in a
// command line, and the persisted NAT configuration.
#pragma once

#include <cjson/cJSON.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/child.hpp"
#include "common/types.hpp"

namespace lld {

// One stored NAT command: owned copies of its "name", "data" and "cmd".
struct NatEntry {
    std::string name;
    std::string data;
    std::string cmd;
};

// What a rule command does to the POSTROUTING chain: -I, -A, -D, or -C (is the
// rule there?).
enum class RuleAction : char { Insert = 'I', Append = 'A', Delete = 'D', Check = 'C' };

// The SNAT targets and texts that every rule of one accepted range is built from.
struct RangeTargets {
    std::optional<PortRange> range;  // none until the first accepted range
    std::string lld_sport;           // "<low>:<high>"
    std::string lld_snat_v4;
    std::string lld_snat_v6;
    std::string classic_snat_v4;
    std::string classic_snat_v6;
};

// Ordinary traffic takes the larger free side of the range, 1024 to low - 1 or
// high + 1 to 65535 (the lower one also when it is one port smaller); a side
// without ports is never taken, and nullopt says neither has one (a range from
// 1024 or below up to 65535).
std::optional<PortRange> classic_port_range(PortRange range);

// Targets for an accepted range; a family's targets are only written when its
// WAN address is given, the others keep what `previous` held. The classic
// targets are empty when the range leaves no classic side.
RangeTargets range_targets(PortRange range, std::optional<std::string_view> wan_ipv4,
                           std::optional<std::string_view> wan_ipv6, const RangeTargets& previous);

// "multi-add" data: the port list before the last comma and the protocol letter
// right after it; nullopt without a comma.
struct PortData {
    std::string_view ports;
    char protocol;  // '\0' when nothing follows the comma
};
std::optional<PortData> split_port_data(std::string_view data);

// The protocols a protocol letter selects, tcp first: "T", "U" or "B" for both.
std::vector<std::string_view> selected_protocols(char letter);

// Decimal ports 1-65535 and ranges a:b joined by commas, 1 to 255 characters,
// at most 15 ports where a range counts two (what the firewall's match takes).
bool valid_port_list(std::string_view ports);
// One IPv4 or IPv6 address with an optional "/prefix".
bool valid_device_address(std::string_view data);
// The data of a command that forms rules: nullopt when it is fine, else why not.
std::optional<std::string> invalid_nat_data(std::string_view cmd, std::string_view data);

// invalid_nat_data, with an [ERR] line naming the refused command (its texts
// escaped, so that the cloud can't forge log lines); true when the data is fine.
bool accept_nat_data(std::string_view cmd, std::string_view name, std::string_view data);

// One element of a command array: its texts, each missing unless a JSON string
// (member names matched without regard to letter case).
struct NatCommand {
    explicit NatCommand(const cJSON* element);
    std::optional<std::string_view> cmd;
    std::optional<std::string_view> name;
    std::optional<std::string_view> data;
};

// The entries of a persisted NAT configuration that have all three texts and
// pass accept_nat_data, in the file's order; nullopt when it is no JSON array.
std::optional<std::vector<NatEntry>> parse_nat_config(std::string_view text);

// What the port lists of one family's rules become.
enum class PortListRules { Snat, DscpMark, None };

// Everything the rules of one family are formed from.
struct FamilyRules {
    Family family;
    std::string_view lan;         // the LAN address with its prefix length
    std::string_view lld_target;  // SNAT target inside the range
    PortListRules port_lists = PortListRules::Snat;
    int dscp = 0;  // for PortListRules::DscpMark
};

// The rules of one NAT command ("multi-add"/"multi-del" data or
// "device-add"/"device-del" data), in the order they are applied; none for data
// that is not valid, a device of the other address family, or a command that
// forms no rules.
std::vector<Argv> entry_rules(const FamilyRules& rules, RuleAction action, std::string_view cmd,
                              std::string_view data);

// The rules that steer everything else out of the range, and leave multicast alone.
Argv multicast_return_rule(Family family, RuleAction action);
Argv catch_all_snat_rule(Family family, RuleAction action, std::string_view protocol,
                         std::string_view lan, std::string_view sport, std::string_view target);

// The same rule with another action; nullopt for a command that is no rule.
std::optional<Argv> with_action(Argv rule, RuleAction action);
// True for a rule that adds to the chain (-I or -A).
bool adds_rule(const Argv& rule);

// The persisted NAT configuration: the "dscp-settings" object and one object per
// entry, in the order given; "name" and "data" are JSON-escaped.
std::string format_nat_config(int dscp_value, int dscp_flags, std::span<const NatEntry> entries);

}  // namespace lld
