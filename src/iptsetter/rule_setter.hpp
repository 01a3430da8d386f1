// The NAT and DSCP rule setter: the cloud's port range and NAT command arrays
// become iptables/ip6tables rules, run at once or written to rules files for the
// platform firewall.
//
// Threads: the NAT worker is the one thread that changes the firewall and the
// rule setter's state: it carries out the queued command arrays and range
// changes in the order they were posted, so no lock is ever held across a child
// process. The WAN address tracker (dual-stack only, while a family is missing)
// looks for the missing WAN address and hands what it finds to the worker. Any
// thread may read the state.
//
// Locks: `range_mutex_` guards the addresses, the range and its targets for the
// readers on other threads (the worker, their only writer, reads them without
// it); `entries_mutex_` guards the stored entries and the files. When both are
// needed, `range_mutex_` is taken first. Neither is held while a child runs.
#pragma once

#include <cjson/cJSON.h>

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/child.hpp"
#include "common/json.hpp"
#include "common/types.hpp"
#include "common/worker.hpp"
#include "iptsetter/rules.hpp"

namespace lld {

// Where the rule setter keeps its files, all in the non-volatile directory.
struct RulePaths {
    std::string nat_config;
    std::optional<std::string> ipv4_rules;  // only in the rules-file mode
    std::optional<std::string> ipv6_rules;
};
RulePaths rule_paths(std::string_view nv_dir, const std::optional<std::string>& rules_file,
                     IpMode mode);

struct InterfaceAddresses {
    std::string lan_if;
    std::string wan_if;
    std::string lan_ipv4;  // address/prefix
    std::string wan_ipv4;  // address
    std::string lan_ipv6;  // address/prefix
    std::string wan_ipv6;  // address
};

struct RuleSetterSettings {
    InterfaceAddresses addresses;
    bool ipv4_up = false;  // both its LAN and WAN addresses known
    bool ipv6_up = false;
    RulePaths paths;
    bool rules_file_mode = false;
    IpMode ip_mode = IpMode::None;
};

// Start-up: reads the interfaces' addresses and logs what it found; nullopt
// (after its error line) when neither family is up.
std::optional<RuleSetterSettings> discover_rule_settings(std::string_view lan_if,
                                                         std::string_view wan_if,
                                                         std::string_view nv_dir,
                                                         std::optional<std::string> rules_file,
                                                         IpMode mode, ChildRunner& runner);

class RuleSetter {
  public:
    static constexpr int kDefaultDscp = 46;
    static constexpr int kDscpToLl = 1;   // "lw_dscp_to_ll"
    static constexpr int kAppDscp = 2;    // "lw_app_dscp": marks the IPv6 port rules
    static constexpr int kWlDscpSet = 4;  // "wl_dscp_set"
    // Command arrays waiting for the worker; more are dropped.
    static constexpr std::size_t kQueueCapacity = 31;

    // Starts the NAT worker, and the WAN address tracker when a dual-stack
    // gateway misses a family. Throws std::system_error when a thread can't start.
    RuleSetter(RuleSetterSettings settings, ChildRunner& runner);
    ~RuleSetter();
    RuleSetter(const RuleSetter&) = delete;
    RuleSetter& operator=(const RuleSetter&) = delete;

    // Queues a command array for the worker; false (the array freed) when full.
    bool post(JsonPtr array);
    // Queues a range text from the cloud for the worker, which applies it (see
    // set_port_range) and then calls `done`.
    void post_port_range(std::string_view text, std::function<void()> done);
    // Stops the worker and the tracker; what is still queued is dropped.
    void stop();
    // Stops, then deletes every rule this run put in the chains (the immediate
    // mode; in the rules-file mode the platform firewall owns them) with
    // `runner`, which outlives the shutdown signal. A delete that overruns its
    // time-out leaves the rest in place.
    void withdraw(ChildRunner& runner);

    // The worker's jobs, callable directly by tests while the worker is idle.
    // A range text is kept for a family that comes up later, and applied when it
    // is valid (-1 when it is not).
    int set_port_range(std::string_view text);
    // Carries out one command array.
    void apply(const cJSON* array);
    // The entries of the persisted configuration, before the worker's loop.
    void restore_entries();

    bool up(Family family) const;
    std::string wan_address(Family family) const;
    int dscp_value() const { return dscp_value_.load(std::memory_order_relaxed); }
    int dscp_flags() const { return dscp_flags_.load(std::memory_order_relaxed); }
    RangeTargets targets() const;
    std::vector<NatEntry> entries() const;

  private:
    // A queued job: a command array, or any other task of the worker's.
    struct Job {
        JsonPtr array;
        std::function<void()> task;
    };

    // The worker's own, like everything that runs rules.
    void run_rule(const Argv& rule);
    void command_rules(RuleAction action, std::string_view cmd, std::string_view data);
    void base_rules(RuleAction action);
    void reapply(RuleAction action);
    FamilyRules family_rules(Family family, const RangeTargets& targets,
                             const InterfaceAddresses& addresses) const;

    int apply_range(std::optional<PortRange> range);
    void run_firewall_restart();
    void run_conntrack_script(std::string_view ports);
    void flush_stale_conntrack(const cJSON* array);
    void flush_new_conntrack(const cJSON* array);
    int apply_dscp_settings(const cJSON* element);
    void add_entry(std::string_view name, std::string_view data, std::string_view cmd);
    void remove_entry(std::string_view name);
    void remove_file(const std::string& path);
    void write_rules_files();

    void post_job(Job job);
    void run_worker(const StopSignal& stop);
    void track_wan_addresses(const StopSignal& stop);
    // The worker's side of the tracker: a family whose addresses appeared.
    void family_up(Family family, std::string wan, std::string lan);

    const RulePaths paths_;
    const bool rules_file_mode_;
    const IpMode ip_mode_;
    ChildRunner& runner_;
    // Runs the rule commands: runner_, or withdraw's once the worker has stopped.
    ChildRunner* rule_runner_;
    bool withdrawing_ = false;
    bool gave_up_ = false;  // a delete overran while withdrawing

    mutable std::mutex range_mutex_;
    InterfaceAddresses addresses_;  // flags published after the texts
    RangeTargets targets_;
    std::optional<PortRange> cloud_range_;  // the last range text, as the tracker applies it
    std::atomic<bool> ipv4_up_;
    std::atomic<bool> ipv6_up_;
    std::atomic<int> dscp_value_{kDefaultDscp};
    std::atomic<int> dscp_flags_{0};

    mutable std::mutex entries_mutex_;
    std::vector<NatEntry> entries_;  // newest first

    std::mutex queue_mutex_;
    std::deque<Job> queue_;
    std::size_t arrays_waiting_ = 0;
    std::size_t posted_ = 0;
    UniqueFd wake_;  // counts the arrays posted

    Worker worker_;  // last: stopped before the state goes
    Worker tracker_;
};

}  // namespace lld
