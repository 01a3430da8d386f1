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
    RulePaths paths{dir + "/iptables-nat.json", std::nullopt, std::nullopt};
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
      rule_runner_{&runner},
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

RuleSetter::~RuleSetter() {
    stop();
}

void RuleSetter::stop() {
    tracker_.stop();
    worker_.stop();
}

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

FamilyRules RuleSetter::family_rules(Family family, const RangeTargets& targets,
                                     const InterfaceAddresses& addresses) const {
    if (family == Family::V4) {
        return {family, addresses.lan_ipv4, targets.lld_snat_v4};
    }
    return {family, addresses.lan_ipv6, targets.lld_snat_v6};
}

void RuleSetter::run_rule(const Argv& rule) {
    const std::string text = command_text(rule);
    log_debug("%s", text.c_str());
    if (!targets_.range || gave_up_) {
        return;  // no range yet: the entries are applied when the first one arrives
    }
    // A rule already in the chain (left by an earlier run that ended without
    // taking its rules back) is not added twice.
    if (adds_rule(rule) &&
        rule_runner_->run(*with_action(rule, RuleAction::Check), 0).status == 0) {
        log_debug("already in place: %s", text.c_str());
        return;
    }
    const int status = rule_runner_->run(rule, 0).status;
    if (status == -1 && withdrawing_) {
        log_error("%s did not end in time: the remaining rules stay", text.c_str());
        gave_up_ = true;
    } else if (status != 0 && status != -1) {
        log_error("%s failed: %s", text.c_str(), describe_status(status).c_str());
    }
}

void RuleSetter::withdraw(ChildRunner& runner) {
    stop();
    if (rules_file_mode_ || !targets_.range) {
        return;
    }
    log_debug("Taking back the rules of this run");
    rule_runner_ = &runner;
    withdrawing_ = true;
    reapply(RuleAction::Delete);
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
        const std::string& classic = v4 ? targets_.classic_snat_v4 : targets_.classic_snat_v6;
        if (classic.empty()) {
            continue;  // no classic side to steer to (said when the range came)
        }
        for (const std::string_view protocol : {"tcp", "udp"}) {
            run_rule(catch_all_snat_rule(family, action, protocol,
                                         v4 ? addresses_.lan_ipv4 : addresses_.lan_ipv6,
                                         targets_.lld_sport, classic));
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
    if (targets_.range) {
        reapply(RuleAction::Delete);
    }
    using Wan = std::optional<std::string_view>;
    RangeTargets next =
        range_targets(*range, up(Family::V4) ? Wan{addresses_.wan_ipv4} : std::nullopt,
                      up(Family::V6) ? Wan{addresses_.wan_ipv6} : std::nullopt, targets_);
    if (!classic_port_range(*range)) {
        log_error(
            "Port range %s leaves no classic source port from 1024 up: other traffic is "
            "not moved out of it",
            range->text().c_str());
    }
    {
        const std::lock_guard lock{range_mutex_};
        targets_ = std::move(next);
    }
    reapply(RuleAction::Insert);
    return 0;
}

void RuleSetter::family_up(Family family, std::string wan, std::string lan) {
    {
        const std::lock_guard lock{range_mutex_};
        (family == Family::V4 ? addresses_.wan_ipv4 : addresses_.wan_ipv6) = std::move(wan);
        (family == Family::V4 ? addresses_.lan_ipv4 : addresses_.lan_ipv6) = std::move(lan);
    }
    (family == Family::V4 ? ipv4_up_ : ipv6_up_).store(true, std::memory_order_release);
    log_debug("IPv4 Address=%s, IPv6 Address=%s ", addresses_.wan_ipv4.c_str(),
              addresses_.wan_ipv6.c_str());
    apply_range(cloud_range_);  // nothing before any valid range
    write_rules_files();
}

void RuleSetter::track_wan_addresses(const StopSignal& stop) {
    // The LAN addresses known at start-up; one missing is looked up again, since
    // rules with an empty LAN address would only be refused.
    const auto [lan_ipv4, lan_ipv6] = [this] {
        const std::lock_guard lock{range_mutex_};
        return std::pair{addresses_.lan_ipv4, addresses_.lan_ipv6};
    }();
    const std::string wan_if = addresses_.wan_if;
    const std::string lan_if = addresses_.lan_if;
    for (;;) {
        std::optional<std::string> wan;
        std::string lan;
        Family family = Family::V4;
        if (!up(Family::V4)) {
            log_debug("Checking for IPv4 WAN Address");
            wan = interface_ipv4(wan_if, false);
            lan = wan && lan_ipv4.empty() ? interface_ipv4(lan_if, true).value_or("") : lan_ipv4;
        } else if (!up(Family::V6)) {
            log_debug("Checking for IPv6 WAN Address");
            family = Family::V6;
            wan = interface_ipv6(wan_if);
            lan = wan && lan_ipv6.empty() ? lan_ipv6_with_prefix(lan_if, runner_) : lan_ipv6;
        } else {
            return;
        }
        if (wan && !lan.empty()) {
            if (family == Family::V4) {
                log_debug("IPv4 address read=%s ", wan->c_str());
            }
            post_job(
                Job{nullptr, [this, family, wan = *wan, lan] { family_up(family, wan, lan); }});
            return;
        }
        if (stop.wait_for(kTrackerPoll)) {
            return;
        }
    }
}

}  // namespace lld
