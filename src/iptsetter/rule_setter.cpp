// Start-up of the rule setter, the rules of the immediate mode, the port range,
// and the WAN address tracker that enables a second family once its WAN address
// appears.
#include "iptsetter/rule_setter.hpp"

#include <sys/eventfd.h>

#include <cerrno>
#include <system_error>

#include "common/log.hpp"
#include "device/interfaces.hpp"

namespace lld {
namespace {

constexpr std::chrono::milliseconds kTrackerPoll{2000};
constexpr std::size_t kLanIpv6Max = 63;

// The LAN's global IPv6 address with its prefix length, or empty.
std::string lan_ipv6_with_prefix(std::string_view lan_if, ChildRunner& runner) {
    const auto address = interface_ipv6(lan_if);
    if (!address) {
        return {};
    }
    std::string text = *address + "/" + lan_ipv6_prefix(runner, *address);
    if (text.size() > kLanIpv6Max) {
        text.resize(kLanIpv6Max);
    }
    return text;
}

}  // namespace

RulePaths rule_paths(std::string_view nv_dir, const std::optional<std::string>& rules_file,
                     IpMode mode) {
    const std::string dir{nv_dir};
    RulePaths paths{dir + "/iptsetter.tmp", dir + "/ip6setter.tmp", dir + "/iptables-nat.json",
                    std::nullopt, std::nullopt};
    if (rules_file) {
        if (covers(mode, Family::V4)) {
            paths.ipv4_rules = dir + "/" + *rules_file;
        }
        if (covers(mode, Family::V6)) {
            paths.ipv6_rules = dir + "/rules6.wr";
        }
    }
    return paths;
}

std::optional<RuleSetterSettings> discover_rule_settings(std::string_view lan_if,
                                                         std::string_view wan_if,
                                                         std::string_view nv_dir,
                                                         std::optional<std::string> rules_file,
                                                         IpMode mode, ChildRunner& runner) {
    RuleSetterSettings settings;
    InterfaceAddresses& found = settings.addresses;
    found.lan_if = lan_if;
    found.wan_if = wan_if;
    found.lan_ipv6 = lan_ipv6_with_prefix(lan_if, runner);
    found.wan_ipv6 = interface_ipv6(wan_if).value_or("");
    settings.ipv6_up = !found.lan_ipv6.empty() && !found.wan_ipv6.empty();
    const auto lan_ipv4 = interface_ipv4(lan_if, true);
    const auto wan_ipv4 = lan_ipv4 ? interface_ipv4(wan_if, false) : std::nullopt;
    found.lan_ipv4 = lan_ipv4.value_or("");
    found.wan_ipv4 = wan_ipv4.value_or("");
    settings.ipv4_up = lan_ipv4 && wan_ipv4;
    if (!settings.ipv4_up) {
        log_error("Didn't get IPv4 address for LAN or WAN network interface...");
    }
    settings.rules_file_mode = rules_file.has_value();
    settings.paths = rule_paths(nv_dir, rules_file, mode);
    settings.ip_mode = mode;
    log_debug(
        "iptSetterInit():lanIp=%s,wanIp=%s,lanIpv6=%s,wanIpv6=%s,ipMode=%d,ipv4_int_up=%d,"
        "ipv6_int_up=%d ",
        found.lan_ipv4.c_str(), found.wan_ipv4.c_str(), found.lan_ipv6.c_str(),
        found.wan_ipv6.c_str(), static_cast<int>(mode), settings.ipv4_up ? 1 : 0,
        settings.ipv6_up ? 1 : 0);
    if (!settings.ipv4_up && !settings.ipv6_up) {
        log_error("LAN or WAN interfaces not up yet...");
        return std::nullopt;
    }
    return settings;
}

RuleSetter::RuleSetter(RuleSetterSettings settings, ChildRunner& runner)
    : paths_{std::move(settings.paths)},
      rules_file_mode_{settings.rules_file_mode},
      ip_mode_{settings.ip_mode},
      runner_{runner},
      addresses_{std::move(settings.addresses)},
      ipv4_up_{settings.ipv4_up},
      ipv6_up_{settings.ipv6_up},
      wake_{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)} {
    if (!wake_) {
        throw std::system_error{errno, std::system_category(), "eventfd"};
    }
    worker_ = Worker{[this](const StopSignal& stop) { run_worker(stop); }};
    if (ip_mode_ == IpMode::Dualstack && !(up(Family::V4) && up(Family::V6))) {
        log_debug("Going to start thread to track IPv4/IPv6 wan address");
        tracker_ = Worker{[this](const StopSignal& stop) { track_wan_addresses(stop); }};
    }
}

RuleSetter::~RuleSetter() = default;

bool RuleSetter::up(Family family) const {
    return (family == Family::V4 ? ipv4_up_ : ipv6_up_).load(std::memory_order_acquire);
}

std::string RuleSetter::wan_address(Family family) const {
    const std::lock_guard lock{range_mutex_};
    return family == Family::V4 ? addresses_.wan_ipv4 : addresses_.wan_ipv6;
}

RangeTargets RuleSetter::targets() const {
    const std::lock_guard lock{range_mutex_};
    return targets_;
}

bool RuleSetter::range_known() const {
    const std::lock_guard lock{range_mutex_};
    return targets_.range.has_value();
}

FamilyRules RuleSetter::family_rules(Family family, const RangeTargets& targets,
                                     const InterfaceAddresses& addresses) const {
    if (family == Family::V4) {
        return {family, addresses.lan_ipv4, targets.lld_snat_v4};
    }
    return {family, addresses.lan_ipv6, targets.lld_snat_v6};
}

void RuleSetter::run_rule(const Argv& rule) {
    log_debug("%s", command_text(rule).c_str());
    if (!targets_.range) {
        return;  // no range yet: the entries are applied when the first one arrives
    }
    const int status = runner_.run(rule, 0).status;
    if (status == -1) {
        log_debug("system call returned %d", status);
    }
}

void RuleSetter::command_rules(RuleAction action, std::string_view cmd, std::string_view data) {
    if (rules_file_mode_) {
        return;
    }
    for (const Family family : {Family::V4, Family::V6}) {
        if (up(family)) {
            for (const Argv& rule :
                 entry_rules(family_rules(family, targets_, addresses_), action, cmd, data)) {
                run_rule(rule);
            }
        }
    }
}

void RuleSetter::base_rules(RuleAction action) {
    for (const Family family : {Family::V4, Family::V6}) {
        if (!up(family)) {
            continue;
        }
        const bool v4 = family == Family::V4;
        run_rule(multicast_return_rule(family, action));
        for (const std::string_view protocol : {"tcp", "udp"}) {
            run_rule(catch_all_snat_rule(family, action, protocol,
                                         v4 ? addresses_.lan_ipv4 : addresses_.lan_ipv6,
                                         targets_.lld_sport,
                                         v4 ? targets_.classic_snat_v4 : targets_.classic_snat_v6));
        }
    }
}

void RuleSetter::reapply(RuleAction action) {
    if (rules_file_mode_) {
        return;
    }
    for (const NatEntry& entry : entries()) {
        if (entry.cmd == "multi-add" || entry.cmd == "device-add") {
            command_rules(action, entry.cmd, entry.data);
        }
    }
    base_rules(action == RuleAction::Insert ? RuleAction::Append : action);
}

int RuleSetter::set_port_range(std::string_view text) {
    const auto range = PortRange::parse(text);
    {
        const std::lock_guard lock{range_mutex_};
        cloud_range_ = range;
    }
    return apply_range(range);
}

int RuleSetter::apply_range(std::optional<PortRange> range) {
    if (!range) {
        return -1;
    }
    const std::lock_guard lock{range_mutex_};
    if (targets_.range) {
        reapply(RuleAction::Delete);
    }
    using Wan = std::optional<std::string_view>;
    targets_ = range_targets(*range, up(Family::V4) ? Wan{addresses_.wan_ipv4} : std::nullopt,
                             up(Family::V6) ? Wan{addresses_.wan_ipv6} : std::nullopt, targets_);
    reapply(RuleAction::Insert);
    return 0;
}

void RuleSetter::track_wan_addresses(const StopSignal& stop) {
    for (;;) {
        if (!up(Family::V4)) {
            log_debug("Checking for IPv4 WAN Address");
            std::string lan = [this] {
                const std::lock_guard lock{range_mutex_};
                return addresses_.lan_ipv4;
            }();
            const auto wan = interface_ipv4(addresses_.wan_if, false);
            if (wan && lan.empty()) {
                lan = interface_ipv4(addresses_.lan_if, true).value_or("");
            }
            if (wan && !lan.empty()) {
                {
                    const std::lock_guard lock{range_mutex_};
                    addresses_.wan_ipv4 = *wan;
                    addresses_.lan_ipv4 = lan;
                }
                ipv4_up_.store(true, std::memory_order_release);
                log_debug("IPv4 address read=%s ", wan->c_str());
                break;
            }
        } else if (!up(Family::V6)) {
            log_debug("Checking for IPv6 WAN Address");
            const auto wan = interface_ipv6(addresses_.wan_if);
            // A LAN without a global IPv6 address at start-up is looked up again:
            // rules with an empty LAN address would only be refused.
            std::string lan = [this] {
                const std::lock_guard lock{range_mutex_};
                return addresses_.lan_ipv6;
            }();
            if (wan && lan.empty()) {
                lan = lan_ipv6_with_prefix(addresses_.lan_if, runner_);
            }
            if (wan && !lan.empty()) {
                {
                    const std::lock_guard lock{range_mutex_};
                    addresses_.wan_ipv6 = *wan;
                    addresses_.lan_ipv6 = lan;
                }
                ipv6_up_.store(true, std::memory_order_release);
                break;
            }
        } else {
            break;
        }
        if (stop.wait_for(kTrackerPoll)) {
            return;
        }
    }
    log_debug("IPv4 Address=%s, IPv6 Address=%s ", wan_address(Family::V4).c_str(),
              wan_address(Family::V6).c_str());
    const std::optional<PortRange> range = [this] {
        const std::lock_guard lock{range_mutex_};
        return cloud_range_;
    }();
    apply_range(range);  // nothing before any valid range
    write_rules_files();
}

}  // namespace lld
