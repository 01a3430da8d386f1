// The device MAC address: the cable modem's, or the WAN interface's when the
// modem can't tell.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/child.hpp"

namespace lld {

// The first 12 hexadecimal digits of the text, lower-cased, every other
// character skipped; nullopt when the text holds fewer.
std::optional<std::string> extract_mac_digits(std::span<const std::uint8_t> text);

// "atom_util macdb ecm": at least 12 of its first 19 bytes must be read.
std::optional<std::string> modem_mac(ChildRunner& runner);

// The interface's hardware address as 12 lower-case hexadecimal digits.
std::optional<std::string> interface_mac(std::string_view interface_name);

}  // namespace lld
