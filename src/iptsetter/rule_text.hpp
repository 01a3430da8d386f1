// The texts of the rule setter, kept apart from the shell and the files so that
// they can be checked, and fuzzed, on their own: command lines, the rules-file
// lines, the persisted NAT configuration, and the validation of everything the
// cloud sends that ends up in a command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/list.hpp"

namespace lld {

// One stored NAT command: owned copies of its "name", "data" and "cmd".
struct natEntry {
    std::string name;
    std::string data;
    std::string cmd;
};

enum class Family { V4, V6 };
std::string_view ipt_tool(Family family);

// A port range text accepted from the cloud: exactly digits, "-", digits, with
// 0 < low < high <= 65535. Anything else, trailing text included, is refused.
std::optional<std::pair<int, int>> parse_port_range(std::string_view text);

// The SNAT targets and texts that every rule of one accepted range is built from.
struct RangeTargets {
    std::string lldPortRange;  // "%d-%d"; empty until the first accepted range
    std::string lldSport;      // "%d:%d"
    std::string lldSnatV4;
    std::string lldSnatV6;
    std::string classicSnatV4;
    std::string classicSnatV6;
};

// Ordinary traffic takes the larger free side of the range: 1024 to low - 1,
// or high + 1 to 65535.
std::pair<int, int> classic_port_range(int low, int high);

// Targets for an accepted range; a family's targets are only written when its
// flag is set, the others keep what `previous` held.
RangeTargets range_targets(std::string_view range_text, int low, int high, std::string_view wanIp,
                           std::string_view wanIpv6, bool ipv4, bool ipv6,
                           const RangeTargets& previous);

// "multi-add" data: the port list before the last comma and the protocol letter
// right after it; nullopt without a comma.
struct PortData {
    std::string_view ports;
    char protocol;  // '\0' when nothing follows the comma
};
std::optional<PortData> split_port_data(std::string_view data);

// The protocols a protocol letter selects, tcp first: "T", "U" or "B" for both.
std::vector<std::string_view> selected_protocols(char letter);
// Device rules always cover both.
inline constexpr std::string_view kBothProtocols[] = {"tcp", "udp"};

// Decimal ports 1-65535 and ranges a:b joined by commas, 1 to 255 characters.
bool valid_port_list(std::string_view ports);
// One IPv4 or IPv6 address with an optional "/prefix".
bool valid_device_address(std::string_view data);
// The data of a command that forms rules: nullopt when it is fine, else why not.
std::optional<std::string> invalid_nat_data(std::string_view cmd, std::string_view data);

inline constexpr std::string_view kIpv4Multicast = "224.0.0.0/4";
inline constexpr std::string_view kIpv6Multicast = "ff00::/8";

// Command lines, in the layouts the platform firewall expects.
std::string multiport_snat_rule(Family family, char letter, std::string_view protocol,
                                std::string_view lan, std::string_view ports,
                                std::string_view target);
// Ends in a line feed, as device rules always have.
std::string device_snat_rule(Family family, char letter, std::string_view protocol,
                             std::string_view device, std::string_view lan,
                             std::string_view target);
std::string multicast_return_rule(Family family, char letter);
std::string catch_all_snat_rule(Family family, char letter, std::string_view protocol,
                                std::string_view lan, std::string_view sport,
                                std::string_view target);
std::string dscp_mark_rule(Family family, char letter, std::string_view protocol,
                           std::string_view lan, std::string_view ports, int dscp);

// The persisted NAT configuration: the "dscp-settings" object and one object per
// entry, newest first; "name" and "data" are JSON-escaped.
std::string format_nat_config(int dscpValue, int dscpFlags, const tList<natEntry>& entries);

}  // namespace lld
