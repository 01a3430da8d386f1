#include "common/types.hpp"

#include <algorithm>
#include <charconv>

namespace lld {
namespace {

constexpr int kMaxPort = 65535;

}  // namespace

std::optional<int> parse_decimal(std::string_view text, int low, int high) {
    if (text.empty() || !std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

std::optional<PortRange> PortRange::parse(std::string_view text) {
    const std::size_t dash = text.find('-');
    if (dash == std::string_view::npos) {
        return std::nullopt;
    }
    const auto low = parse_decimal(text.substr(0, dash), 1, kMaxPort);
    const auto high = parse_decimal(text.substr(dash + 1), 1, kMaxPort);
    if (!low || !high || *low >= *high) {
        return std::nullopt;
    }
    return PortRange{*low, *high};
}

std::string PortRange::text() const {
    return std::to_string(low) + "-" + std::to_string(high);
}

IpMode ip_mode_of(std::optional<std::string_view> device_mode) {
    if (device_mode == "Ipv4") {
        return IpMode::Ipv4;
    }
    if (device_mode == "Ipv6") {
        return IpMode::Ipv6;
    }
    if (device_mode == "Dualstack") {
        return IpMode::Dualstack;
    }
    return IpMode::None;
}

bool covers(IpMode mode, Family family) {
    return mode == IpMode::Dualstack ||
           mode == (family == Family::V6 ? IpMode::Ipv6 : IpMode::Ipv4);
}

}  // namespace lld
