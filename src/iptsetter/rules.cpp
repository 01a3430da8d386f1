// Forming and running the rule commands of the immediate mode, the port-range
// setter and the connection-tracking calls.
#include <string>

#include "app/log.hpp"
#include "common/shell.hpp"
#include "iptsetter/ipt_setter.hpp"

namespace lld {
namespace {

constexpr std::size_t kConntrackCommandMax = 1023;

}  // namespace

void iptSetterState::iptRun(const std::string& command) {
    lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] %s\n", command.c_str());
    if (range_.lldPortRange.empty()) {
        return;  // no range yet: the entries are applied when the first one arrives
    }
    // Rule commands are plain words formed from checked texts: no shell needed.
    const int result = shell().run_words(command);
    if (result == -1) {
        lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] system call returned %d\n", result);
    }
}

void iptSetterState::multi_rule(char letter, std::string_view data) {
    if (setByFile) {
        return;
    }
    const auto split = split_port_data(data);
    if (!split || !valid_port_list(split->ports)) {
        return;
    }
    const bool v4 = ipv4_up();
    const bool v6 = ipv6_up();
    for (const std::string_view protocol : selected_protocols(split->protocol)) {
        if (v4) {
            iptRun(multiport_snat_rule(Family::V4, letter, protocol, addresses_.lanIp, split->ports,
                                       range_.lldSnatV4));
        }
        if (v6) {
            iptRun(multiport_snat_rule(Family::V6, letter, protocol, addresses_.lanIpv6,
                                       split->ports, range_.lldSnatV6));
        }
    }
}

void iptSetterState::device_rule(char letter, std::string_view data) {
    if (setByFile || !valid_device_address(data)) {
        return;
    }
    if (ipv4_up()) {
        for (const std::string_view protocol : kBothProtocols) {
            iptRun(device_snat_rule(Family::V4, letter, protocol, data, addresses_.lanIp,
                                    range_.lldSnatV4));
        }
    }
    if (ipv6_up()) {
        for (const std::string_view protocol : kBothProtocols) {
            iptRun(device_snat_rule(Family::V6, letter, protocol, data, addresses_.lanIpv6,
                                    range_.lldSnatV6));
        }
    }
}

void iptSetterState::iptMultiRule(char letter, std::string_view data) {
    const std::lock_guard lock{range_lock_};
    multi_rule(letter, data);
}

void iptSetterState::iptDeviceRule(char letter, std::string_view data) {
    const std::lock_guard lock{range_lock_};
    device_rule(letter, data);
}

void iptSetterState::iptBaseRules(char letter) {
    if (ipv4_up()) {
        iptRun(multicast_return_rule(Family::V4, letter));
        for (const std::string_view protocol : kBothProtocols) {
            iptRun(catch_all_snat_rule(Family::V4, letter, protocol, addresses_.lanIp,
                                       range_.lldSport, range_.classicSnatV4));
        }
    }
    if (ipv6_up()) {
        iptRun(multicast_return_rule(Family::V6, letter));
        for (const std::string_view protocol : kBothProtocols) {
            iptRun(catch_all_snat_rule(Family::V6, letter, protocol, addresses_.lanIpv6,
                                       range_.lldSport, range_.classicSnatV6));
        }
    }
}

void iptSetterState::iptReapply(char letter) {
    if (setByFile) {
        return;
    }
    {
        const std::lock_guard entries{ipt_update_lock};
        for (const natEntry& entry : natList) {
            if (entry.cmd == "multi-add") {
                multi_rule(letter, entry.data);
            } else if (entry.cmd == "device-add") {
                device_rule(letter, entry.data);
            }
        }
    }
    iptBaseRules(letter == 'I' ? 'A' : letter);
}

int iptSetterState::iptSetPortRange(std::string_view text) {
    const auto range = parse_port_range(text);
    if (!range) {
        return -1;
    }
    const std::lock_guard lock{range_lock_};
    if (!range_.lldPortRange.empty()) {
        iptReapply('D');
    }
    range_ = range_targets(text, range->first, range->second, addresses_.wanIp, addresses_.wanIpv6,
                           ipv4_up(), ipv6_up(), range_);
    iptReapply('I');
    return 0;
}

void iptSetterState::run_conntrack_script(std::string_view ports) {
    std::string command = "sh /etc/atom/conntrack_extract.sh " + std::string{ports};
    if (command.size() > kConntrackCommandMax) {
        command.resize(kConntrackCommandMax);
    }
    const int result = shell().run(command);
    lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] Return of system %d\n", result);
}

void iptSetterState::conntrackFlushStale(const cJSON* array) {
    std::vector<std::string> stale;
    {
        const std::lock_guard entries{ipt_update_lock};
        for (const natEntry& entry : natList) {
            if (entry.cmd != "multi-add") {
                continue;
            }
            bool still_there = false;
            const cJSON* element = nullptr;
            cJSON_ArrayForEach(element, array) {
                const auto name = json_string_member(element, "name");
                const auto data = json_string_member(element, "data");
                if (json_string_member(element, "cmd") && name && data && *name == entry.name &&
                    *data == entry.data) {
                    still_there = true;
                    break;
                }
            }
            const auto split = split_port_data(entry.data);
            if (!still_there && split && valid_port_list(split->ports)) {
                stale.emplace_back(split->ports);
            }
        }
    }
    for (const std::string& ports : stale) {
        run_conntrack_script(ports);
    }
}

void iptSetterState::conntrackFlushNew(const cJSON* array) {
    const cJSON* element = nullptr;
    cJSON_ArrayForEach(element, array) {
        const auto cmd = json_string_member(element, "cmd");
        const auto name = json_string_member(element, "name");
        const auto data = json_string_member(element, "data");
        if (!cmd || *cmd != "multi-add" || !name || !data) {
            continue;
        }
        const auto split = split_port_data(*data);
        // Only port lists that passed validation reach the shell.
        if (split && valid_port_list(split->ports)) {
            run_conntrack_script(split->ports);
        }
    }
}

}  // namespace lld
