// The gateway's interface addresses, as the rule setter writes them into rules
// and the probes report them.
#pragma once

#include <net/if.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/child.hpp"

namespace lld {

// An interface request for `name` (cut to what the kernel takes), family AF_INET.
ifreq interface_request(std::string_view name);

// Number of leading one bits of a netmask given in network byte order.
int netmask_prefix_length(std::uint32_t netmask_network_order);

// The interface's IPv4 address in dotted-quad text, with "/<prefix length>"
// when asked for; nullopt when the interface has none.
std::optional<std::string> interface_ipv4(std::string_view interface_name, bool with_prefix);

// The interface's first global IPv6 address (link-local ones skipped) in the
// host's enumeration order; nullopt when there is none.
std::optional<std::string> interface_ipv6(std::string_view interface_name);

// The prefix length of a LAN IPv6 address as the platform's ifconfig reports it;
// "64" when it reports nothing, or anything but a number from 0 to 128.
std::string lan_ipv6_prefix(ChildRunner& runner, std::string_view address);

// The first whitespace-delimited word of a command's output (at most 7 characters).
std::optional<std::string> first_word(std::string_view output);

}  // namespace lld
