// Interface addresses as the rule setter writes them into its rules.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lld {

// Number of leading one bits of a netmask given in network byte order.
int netmask_prefix_length(std::uint32_t netmask_network_order);

// The interface's IPv4 address in dotted-quad text, with "/<prefix length>"
// when `with_prefix` is set. 0 on success, negative on failure (output untouched,
// except that a failed netmask query leaves the bare address).
int getIfIpv4Addr(std::string_view interface_name, std::string& output, bool with_prefix);

// The interface's first global IPv6 address (link-local ones skipped) in the
// host's enumeration order; the output is unchanged when there is none. A failed
// enumeration ends the process with exit status 1.
void getIfIpv6Addr(std::string& output, std::string_view interface_name);

// The prefix length of a LAN IPv6 address as the platform's ifconfig reports it;
// "64" when it reports nothing.
std::string lan_ipv6_prefix(const std::string& address);

// The first whitespace-delimited word of a command's output (at most 7 characters).
std::optional<std::string> first_word(std::string_view output);

}  // namespace lld
