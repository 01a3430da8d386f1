// The NAT and DSCP rule setter: the cloud's port range and NAT commands become
// iptables/ip6tables rules, run at once or written to rules files for the
// platform firewall.
//
// Locks: `range_lock_` guards the range and target texts and the address texts,
// and is held around each port-range change and around the forming and running
// of each command. `ipt_update_lock` guards `natList` and the rules files. When
// both are needed, `range_lock_` is taken first.
#pragma once

#include <cjson/cJSON.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "common/fd.hpp"
#include "common/json.hpp"
#include "common/list.hpp"
#include "iptsetter/cmd_ring.hpp"
#include "iptsetter/rule_text.hpp"

namespace lld {

// Where the rule setter keeps its files, all in the non-volatile directory.
struct IptPaths {
    std::string iptTmpPath;
    std::string ip6TmpPath;
    std::string natJsonPath;
    std::optional<std::string> iptRulesPath;  // only in the rules-file mode
    std::optional<std::string> ip6RulesPath;
};
IptPaths ipt_paths(std::string_view nvDir, const std::optional<std::string>& iptFile, int ipMode);

struct IptInterfaces {
    std::string lanIfName;
    std::string wanIfName;
    std::string lanIp;    // address/prefix
    std::string wanIp;    // address
    std::string lanIpv6;  // address/prefix
    std::string wanIpv6;  // address
};

class iptSetterState {
  public:
    static constexpr int kDefaultDscp = 46;
    static constexpr int kDscpToLl = 1;   // "lw_dscp_to_ll"
    static constexpr int kAppDscp = 2;    // "lw_app_dscp": marks the IPv6 port rules
    static constexpr int kWlDscpSet = 4;  // "wl_dscp_set"

    // The flags tell which families are up: both their LAN and WAN addresses known.
    iptSetterState(IptInterfaces interfaces, bool ipv4, bool ipv6, IptPaths paths, bool setByFile,
                   int ipMode);
    ~iptSetterState();
    iptSetterState(const iptSetterState&) = delete;
    iptSetterState& operator=(const iptSetterState&) = delete;

    // --- rules (any thread) ---
    int iptSetPortRange(std::string_view text);
    void iptMultiRule(char letter, std::string_view data);
    void iptDeviceRule(char letter, std::string_view data);
    void conntrackFlushStale(const cJSON* array);
    void conntrackFlushNew(const cJSON* array);
    void IPT_SET_BY_FILE();

    // --- NAT commands ---
    // Main thread: queues the array for the worker, which frees it; false when full.
    bool iptSetterPost(JsonPtr array);
    // Main loop: the next reply for the cloud, if any.
    std::optional<std::string> iptSetterDataGet();
    // Worker thread: carries out one command array.
    void natApiJson(const cJSON* array);
    void natEntryAdd(std::string_view name, std::string_view data, std::string_view cmd);
    void natEntryDel(std::string_view name);
    // Worker thread, before its loop: the entries of the persisted configuration.
    void restore_nat_entries();

    // --- threads ---
    bool start_worker();
    void start_wan_tracker();
    // Stops and joins the threads; their waits watch the stop descriptor.
    void stop();
    int fdAck() const { return fdAck_.get(); }

    // --- readers (any thread) ---
    bool ipv4_up() const { return ipv4_int_up.load(std::memory_order_acquire) != 0; }
    bool ipv6_up() const { return ipv6_int_up.load(std::memory_order_acquire) != 0; }
    std::string wan_ipv4() const;
    std::string wan_ipv6() const;
    std::string lan_address(Family family) const;
    int dscp_value() const { return dscpValue.load(std::memory_order_relaxed); }
    int dscp_flags() const { return dscpFlags.load(std::memory_order_relaxed); }
    RangeTargets targets() const;
    std::size_t nat_entry_count() const;
    bool rules_file_mode() const { return setByFile; }

  private:
    // Each runs with `range_lock_` held.
    void iptRun(const std::string& command);
    void multi_rule(char letter, std::string_view data);
    void device_rule(char letter, std::string_view data);
    void iptBaseRules(char letter);
    void iptReapply(char letter);
    void run_conntrack_script(std::string_view ports);

    void natApiThread();
    void wanAddrTrack();
    void apply_dscp_settings(const cJSON* element, int& res);
    // Waits up to the timeout; true when the threads are asked to stop.
    bool stop_requested_within(int timeout_ms);
    void remove_stored_files();
    void write_rules_files(const RangeTargets& range, const IptInterfaces& addresses);

    const bool setByFile;
    const int ipMode;
    const IptPaths paths_;

    mutable std::mutex range_lock_;
    IptInterfaces addresses_;  // under range_lock_; flags published after the texts
    RangeTargets range_;       // under range_lock_
    std::atomic<int> ipv4_int_up{0};
    std::atomic<int> ipv6_int_up{0};

    std::atomic<int> dscpValue{kDefaultDscp};
    std::atomic<int> dscpFlags{0};

    mutable std::mutex ipt_update_lock;
    tList<natEntry> natList;  // newest first

    cmdRing<JsonPtr, 32> cmdQueue;
    cmdRing<std::string, 128> replyQueue;
    UniqueFd fdStart_;
    UniqueFd fdAck_;
    UniqueFd fdStop_;
    std::thread worker_;
    std::thread tracker_;
};

// The process's rule setter, or null before start-up.
iptSetterState* ipt_setter();

// Start-up: finds the addresses, chooses the families and the mode, starts the
// worker (and the WAN address tracker when needed). Returns fdAck, or -1.
int iptSetterInit(std::span<const char* const> argv, int ipMode);
// Stops the rule setter's threads and releases it.
void iptSetterShutdown();

// The process-wide entry points used by the dispatcher and the main loop.
int iptSetPortRange(std::string_view text);
bool iptSetterPost(JsonPtr array);
std::optional<std::string> iptSetterDataGet();

}  // namespace lld
