// The rules-file mode: complete rule sets and the persisted NAT configuration,
// each staged in a file of its own and renamed over its target, so that the
// platform firewall never reads a half-written file.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "app/log.hpp"
#include "common/fd.hpp"
#include "iptsetter/ipt_setter.hpp"

namespace lld {
namespace {

constexpr char kInsert = 'I';

// The whole text on disk, or false (nothing may be renamed into place then).
bool write_file(const std::string& path, std::string_view text) {
    const UniqueFd fd{::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)};
    if (!fd) {
        return false;
    }
    return write_all(fd.get(), text);
}

}  // namespace

void iptSetterState::write_rules_files(const RangeTargets& range, const IptInterfaces& addresses) {
    const bool v4 = ipv4_up();
    const bool v6 = ipv6_up();
    const int flags = dscp_flags();
    bool v4_staged = false;
    bool v6_staged = false;

    if (v4) {
        lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] IPT_SET_BY_FILE ipv4_int_up...\n");
        std::string text;
        for (const std::string_view protocol : {kBothProtocols[1], kBothProtocols[0]}) {
            text += catch_all_snat_rule(Family::V4, kInsert, protocol, addresses.lanIp,
                                        range.lldSport, range.classicSnatV4) +
                    "\n";
        }
        for (const natEntry& entry : natList) {
            if (entry.cmd == "multi-add") {
                const auto split = split_port_data(entry.data);
                if (!split) {
                    continue;
                }
                for (const std::string_view protocol : selected_protocols(split->protocol)) {
                    text += multiport_snat_rule(Family::V4, kInsert, protocol, addresses.lanIp,
                                                split->ports, range.lldSnatV4) +
                            "\n";
                }
            } else if (entry.cmd == "device-add") {
                for (const std::string_view protocol : kBothProtocols) {
                    text += device_snat_rule(Family::V4, kInsert, protocol, entry.data,
                                             addresses.lanIp, range.lldSnatV4);
                }
            }
        }
        text += multicast_return_rule(Family::V4, kInsert) + "\n";
        v4_staged = write_file(paths_.iptTmpPath, text);
    }

    if (v6) {
        lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] IPT_SET_BY_FILE ipv6_int_up...\n");
        std::string text;
        for (const natEntry& entry : natList) {
            if (entry.cmd == "multi-add") {
                const auto split = split_port_data(entry.data);
                if (!split || (flags & kAppDscp) == 0) {
                    continue;
                }
                for (const std::string_view protocol : selected_protocols(split->protocol)) {
                    text += dscp_mark_rule(Family::V6, kInsert, protocol, addresses.lanIpv6,
                                           split->ports, dscp_value()) +
                            "\n";
                }
            } else if (entry.cmd == "device-add") {
                for (const std::string_view protocol : kBothProtocols) {
                    text += device_snat_rule(Family::V6, kInsert, protocol, entry.data,
                                             addresses.lanIpv6, range.lldSnatV6);
                }
            }
        }
        v6_staged = write_file(paths_.ip6TmpPath, text);
    }

    if (!range.lldPortRange.empty()) {
        if (v4_staged && paths_.iptRulesPath) {
            std::rename(paths_.iptTmpPath.c_str(), paths_.iptRulesPath->c_str());
        }
        if (v6_staged && paths_.ip6RulesPath) {
            std::rename(paths_.ip6TmpPath.c_str(), paths_.ip6RulesPath->c_str());
        }
    }
    if (write_file(paths_.iptTmpPath, format_nat_config(dscp_value(), flags, natList))) {
        std::rename(paths_.iptTmpPath.c_str(), paths_.natJsonPath.c_str());
    }
}

void iptSetterState::IPT_SET_BY_FILE() {
    if (!setByFile) {
        return;
    }
    RangeTargets range;
    IptInterfaces addresses;
    {
        const std::lock_guard lock{range_lock_};
        range = range_;
        addresses = addresses_;
    }
    const std::lock_guard files{ipt_update_lock};
    write_rules_files(range, addresses);
}

}  // namespace lld
