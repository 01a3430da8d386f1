// The rules-file mode: complete rule sets and the persisted NAT configuration,
// each staged in a file of its own and renamed over its target, so that the
// platform firewall never reads a half-written file.
#include <algorithm>
#include <utility>
#include <vector>

#include "common/files.hpp"
#include "common/log.hpp"
#include "iptsetter/rule_setter.hpp"

namespace lld {
namespace {

void append_rules(std::string& text, const std::vector<Argv>& rules) {
    for (const Argv& rule : rules) {
        text += command_text(rule);
        text += '\n';
    }
}

}  // namespace

void RuleSetter::write_rules_files() {
    if (!rules_file_mode_) {
        return;
    }
    RangeTargets targets;
    InterfaceAddresses addresses;
    {
        const std::lock_guard lock{range_mutex_};
        targets = targets_;
        addresses = addresses_;
    }
    const std::lock_guard lock{entries_mutex_};
    const int flags = dscp_flags();
    // The files the new state has; the rules wait for a range.
    std::vector<std::pair<std::string, std::string>> files;

    if (up(Family::V4)) {
        log_debug("IPT_SET_BY_FILE ipv4_int_up...");
        const FamilyRules rules = family_rules(Family::V4, targets, addresses);
        std::string text;
        for (const std::string_view protocol : {"udp", "tcp"}) {
            if (!targets.classic_snat_v4.empty()) {
                append_rules(
                    text, {catch_all_snat_rule(Family::V4, RuleAction::Insert, protocol, rules.lan,
                                               targets.lld_sport, targets.classic_snat_v4)});
            }
        }
        for (const NatEntry& entry : entries_) {
            append_rules(text, entry_rules(rules, RuleAction::Insert, entry.cmd, entry.data));
        }
        append_rules(text, {multicast_return_rule(Family::V4, RuleAction::Insert)});
        if (targets.range && paths_.ipv4_rules) {
            files.emplace_back(*paths_.ipv4_rules, std::move(text));
        }
    }

    if (up(Family::V6)) {
        log_debug("IPT_SET_BY_FILE ipv6_int_up...");
        // The IPv6 rules file marks the listed ports' traffic instead of steering it.
        FamilyRules rules = family_rules(Family::V6, targets, addresses);
        rules.port_lists = (flags & kAppDscp) != 0 ? PortListRules::DscpMark : PortListRules::None;
        rules.dscp = dscp_value();
        std::string text;
        for (const NatEntry& entry : entries_) {
            append_rules(text, entry_rules(rules, RuleAction::Insert, entry.cmd, entry.data));
        }
        if (targets.range && paths_.ipv6_rules) {
            files.emplace_back(*paths_.ipv6_rules, std::move(text));
        }
    }
    files.emplace_back(paths_.nat_config, format_nat_config(dscp_value(), flags, entries_));

    // Each file is replaced whole, or stays as it was; a file the new state no
    // longer has goes only once the others are in place.
    for (const auto& [path, text] : files) {
        replace_file(path, text);
    }
    for (const std::optional<std::string>& path : {paths_.ipv4_rules, paths_.ipv6_rules}) {
        if (path &&
            std::ranges::none_of(files, [&](const auto& file) { return file.first == *path; })) {
            remove_file(*path);
        }
    }
}

}  // namespace lld
