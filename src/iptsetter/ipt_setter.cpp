// Start-up of the rule setter, its threads, and the WAN address tracker that
// enables a second address family once its WAN address appears.
#include "iptsetter/ipt_setter.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <memory>

#include "app/config.hpp"
#include "app/log.hpp"
#include "iptsetter/addresses.hpp"

namespace lld {
namespace {

constexpr int kTrackerPollMs = 2000;
constexpr std::size_t kLanIpv6Max = 63;

std::unique_ptr<iptSetterState> the_setter;
std::atomic<iptSetterState*> the_setter_ptr{nullptr};

// The LAN's global IPv6 address with its prefix length, or empty.
std::string lan_ipv6_with_prefix(std::string_view lanIfName) {
    std::string address;
    getIfIpv6Addr(address, lanIfName);
    if (address.empty()) {
        return address;
    }
    std::string text = address + "/" + lan_ipv6_prefix(address);
    if (text.size() > kLanIpv6Max) {
        text.resize(kLanIpv6Max);
    }
    return text;
}

}  // namespace

IptPaths ipt_paths(std::string_view nvDir, const std::optional<std::string>& iptFile, int ipMode) {
    const std::string dir{nvDir};
    IptPaths paths{dir + "/iptsetter.tmp", dir + "/ip6setter.tmp", dir + "/iptables-nat.json",
                   std::nullopt, std::nullopt};
    if (iptFile) {
        if (ipMode == IP_MODE_IPV4 || ipMode == IP_MODE_DUALSTACK) {
            paths.iptRulesPath = dir + "/" + *iptFile;
        }
        if (ipMode == IP_MODE_IPV6 || ipMode == IP_MODE_DUALSTACK) {
            paths.ip6RulesPath = dir + "/rules6.wr";
        }
    }
    return paths;
}

iptSetterState::iptSetterState(IptInterfaces interfaces, bool ipv4, bool ipv6, IptPaths paths,
                               bool rules_file_mode, int ip_mode)
    : setByFile{rules_file_mode},
      ipMode{ip_mode},
      paths_{std::move(paths)},
      addresses_{std::move(interfaces)},
      fdStart_{::eventfd(0, EFD_CLOEXEC)},
      fdAck_{::eventfd(0, EFD_CLOEXEC)},
      fdStop_{::eventfd(0, EFD_CLOEXEC)} {
    ipv4_int_up.store(ipv4 ? 1 : 0, std::memory_order_release);
    ipv6_int_up.store(ipv6 ? 1 : 0, std::memory_order_release);
}

iptSetterState::~iptSetterState() {
    stop();
}

std::string iptSetterState::wan_ipv4() const {
    const std::lock_guard lock{range_lock_};
    return addresses_.wanIp;
}

std::string iptSetterState::wan_ipv6() const {
    const std::lock_guard lock{range_lock_};
    return addresses_.wanIpv6;
}

RangeTargets iptSetterState::targets() const {
    const std::lock_guard lock{range_lock_};
    return range_;
}

std::size_t iptSetterState::nat_entry_count() const {
    const std::lock_guard entries{ipt_update_lock};
    return static_cast<std::size_t>(natList.count());
}

bool iptSetterState::start_worker() {
    if (!fdStart_ || !fdAck_ || !fdStop_) {
        return false;
    }
    worker_ = std::thread{[this] { natApiThread(); }};
    return true;
}

void iptSetterState::start_wan_tracker() {
    tracker_ = std::thread{[this] { wanAddrTrack(); }};
}

void iptSetterState::stop() {
    const std::uint64_t one = 1;
    if (fdStop_ && ::write(fdStop_.get(), &one, sizeof one) != static_cast<ssize_t>(sizeof one)) {
        return;
    }
    for (std::thread* thread : {&worker_, &tracker_}) {
        if (thread->joinable()) {
            thread->join();
        }
    }
}

void iptSetterState::wanAddrTrack() {
    for (;;) {
        if (!ipv4_up()) {
            lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] Checking for IPv4 WAN Address\n");
            std::string wanIp;
            std::string lanIp = lan_address(Family::V4);
            if (getIfIpv4Addr(addresses_.wanIfName, wanIp, false) == 0 &&
                (!lanIp.empty() || getIfIpv4Addr(addresses_.lanIfName, lanIp, true) == 0)) {
                {
                    const std::lock_guard lock{range_lock_};
                    addresses_.wanIp = wanIp;
                    addresses_.lanIp = lanIp;
                }
                ipv4_int_up.store(1, std::memory_order_release);
                lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] IPv4 address read=%s \n", wanIp.c_str());
                break;
            }
        } else if (!ipv6_up()) {
            lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] Checking for IPv6 WAN Address\n");
            std::string wanIpv6;
            getIfIpv6Addr(wanIpv6, addresses_.wanIfName);
            // A LAN without a global IPv6 address at start-up is looked up again:
            // rules with an empty LAN address would only be refused.
            std::string lanIpv6 = lan_address(Family::V6);
            if (!wanIpv6.empty() && lanIpv6.empty()) {
                lanIpv6 = lan_ipv6_with_prefix(addresses_.lanIfName);
            }
            if (!wanIpv6.empty() && !lanIpv6.empty()) {
                {
                    const std::lock_guard lock{range_lock_};
                    addresses_.wanIpv6 = wanIpv6;
                    addresses_.lanIpv6 = lanIpv6;
                }
                ipv6_int_up.store(1, std::memory_order_release);
                break;
            }
        } else {
            break;
        }
        if (stop_requested_within(kTrackerPollMs)) {
            return;
        }
    }
    lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] IPv4 Address=%s, IPv6 Address=%s \n",
            wan_ipv4().c_str(), wan_ipv6().c_str());
    iptSetPortRange(process_config().cloud_port_range.get());  // -1 before any range
    IPT_SET_BY_FILE();
}

std::string iptSetterState::lan_address(Family family) const {
    const std::lock_guard lock{range_lock_};
    return family == Family::V4 ? addresses_.lanIp : addresses_.lanIpv6;
}

iptSetterState* ipt_setter() {
    return the_setter_ptr.load(std::memory_order_acquire);
}

int iptSetterInit(std::span<const char* const> argv, int ipMode) {
    const auto lanIfName = find_arg(argv, "-ifl");
    if (!lanIfName) {
        lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] require LAN interface name -ifl name\n");
        return -1;
    }
    const auto wanIfName = find_arg(argv, "-ifw");
    if (!wanIfName) {
        lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] require WAN interface name -ifw name\n");
        return -1;
    }
    const auto nvDir = find_arg(argv, "-nvdir");
    if (!nvDir) {
        lld_log(LLD_LOG_ERROR,
                "[ZEZ-UDERED] [ERR] require non volatile directory for token storage -nvdir "
                "name\n");
        return -1;
    }

    IptInterfaces interfaces{std::string{*lanIfName}, std::string{*wanIfName}, {}, {}, {}, {}};
    interfaces.lanIpv6 = lan_ipv6_with_prefix(interfaces.lanIfName);
    getIfIpv6Addr(interfaces.wanIpv6, interfaces.wanIfName);
    const bool ipv6 = !interfaces.lanIpv6.empty() && !interfaces.wanIpv6.empty();
    const bool ipv4 = getIfIpv4Addr(interfaces.lanIfName, interfaces.lanIp, true) == 0 &&
                      getIfIpv4Addr(interfaces.wanIfName, interfaces.wanIp, false) == 0;
    if (!ipv4) {
        lld_log(LLD_LOG_ERROR,
                "[ZEZ-UDERED] [ERR] Didn't get IPv4 address for LAN or WAN network "
                "interface...\n");
    }

    std::optional<std::string> iptFile;
    if (const auto file = find_arg(argv, "-iptfile")) {
        iptFile = std::string{*file};
    }
    auto state = std::make_unique<iptSetterState>(
        interfaces, ipv4, ipv6, ipt_paths(*nvDir, iptFile, ipMode), iptFile.has_value(), ipMode);
    const int v4 = state->ipv4_up() ? 1 : 0;
    const int v6 = state->ipv6_up() ? 1 : 0;
    lld_log(LLD_LOG_DEBUG,
            "[ZEZ-UDERED] [DBG] iptSetterInit():lanIp=%s,wanIp=%s,lanIpv6=%s,wanIpv6=%s,"
            "ipMode=%d,ipv4_int_up=%d,ipv6_int_up=%d \n",
            interfaces.lanIp.c_str(), interfaces.wanIp.c_str(), interfaces.lanIpv6.c_str(),
            interfaces.wanIpv6.c_str(), ipMode, v4, v6);
    if (v4 == 0 && v6 == 0) {
        lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] LAN or WAN interfaces not up yet...\n");
        return -1;
    }
    if (!state->start_worker()) {
        lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] Cannot start the NAT worker\n");
        return -1;
    }
    if (ipMode == IP_MODE_DUALSTACK && (v4 == 0 || v6 == 0)) {
        lld_log(LLD_LOG_DEBUG,
                "[ZEZ-UDERED] [DBG] Going to start thread to track IPv4/IPv6 wan address\n");
        state->start_wan_tracker();
    }
    the_setter = std::move(state);
    the_setter_ptr.store(the_setter.get(), std::memory_order_release);
    return the_setter->fdAck();
}

void iptSetterShutdown() {
    the_setter_ptr.store(nullptr, std::memory_order_release);
    the_setter.reset();
}

int iptSetPortRange(std::string_view text) {
    iptSetterState* setter = ipt_setter();
    return setter == nullptr ? -1 : setter->iptSetPortRange(text);
}

bool iptSetterPost(JsonPtr array) {
    iptSetterState* setter = ipt_setter();
    return setter != nullptr && setter->iptSetterPost(std::move(array));
}

std::optional<std::string> iptSetterDataGet() {
    iptSetterState* setter = ipt_setter();
    return setter == nullptr ? std::nullopt : setter->iptSetterDataGet();
}

}  // namespace lld
