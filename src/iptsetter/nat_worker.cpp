// The NAT worker: carries out the cloud's command arrays off the main thread,
// keeps the stored NAT entries and restores them at start-up.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/files.hpp"
#include "common/log.hpp"
#include "iptsetter/rule_setter.hpp"

namespace lld {
namespace {

constexpr std::size_t kConntrackCommandMax = 1023;

bool flag_on(const cJSON* element, const char* name) {
    const cJSON* item = cJSON_GetObjectItem(element, name);
    return cJSON_IsTrue(item) || (cJSON_IsNumber(item) && item->valuedouble != 0);
}

// The port list of a "multi-add" that may reach the connection-tracking script.
std::optional<std::string_view> flushable_ports(std::string_view data) {
    const auto split = split_port_data(data);
    if (split && valid_port_list(split->ports)) {
        return split->ports;
    }
    return std::nullopt;
}

}  // namespace

bool RuleSetter::post(JsonPtr array) {
    {
        const std::lock_guard lock{queue_mutex_};
        if (arrays_waiting_ >= kQueueCapacity) {
            // The queue's slot numbers, as a ring of kQueueCapacity + 1 slots counts them.
            const std::size_t slots = kQueueCapacity + 1;
            log_debug("full @ %d/%d", static_cast<int>(posted_ % slots),
                      static_cast<int>((posted_ + 1) % slots));
            return false;  // the array is freed here
        }
        ++arrays_waiting_;
        ++posted_;
    }
    post_job(Job{std::move(array), nullptr});
    return true;
}

void RuleSetter::post_port_range(std::string_view text, std::function<void()> done) {
    post_job(Job{nullptr, [this, text = std::string{text}, done = std::move(done)] {
                     set_port_range(text);
                     done();
                 }});
}

void RuleSetter::post_job(Job job) {
    {
        const std::lock_guard lock{queue_mutex_};
        queue_.push_back(std::move(job));
    }
    const std::uint64_t one = 1;
    const ssize_t written = ::write(wake_.get(), &one, sizeof one);
    if (written != static_cast<ssize_t>(sizeof one)) {
        log_debug("fdNotify fd:%d err:%d", wake_.get(), static_cast<int>(written));
    }
}

std::vector<NatEntry> RuleSetter::entries() const {
    const std::lock_guard lock{entries_mutex_};
    return entries_;
}

void RuleSetter::add_entry(std::string_view name, std::string_view data, std::string_view cmd) {
    const std::lock_guard lock{entries_mutex_};
    entries_.insert(entries_.begin(),
                    NatEntry{std::string{name}, std::string{data}, std::string{cmd}});
}

void RuleSetter::remove_entry(std::string_view name) {
    {
        const std::lock_guard lock{entries_mutex_};
        const auto found = std::ranges::find(entries_, name, &NatEntry::name);
        if (found != entries_.end()) {
            entries_.erase(found);
            return;
        }
    }
    log_info("%s was not present", printable(name).c_str());
}

void RuleSetter::restore_entries() {
    const auto file = read_file(paths_.nat_config);
    if (!file) {
        return;  // nothing persisted yet
    }
    const auto entries = parse_nat_config(*file);
    if (!entries) {
        log_error("%s is not a NAT configuration, no entry restored", paths_.nat_config.c_str());
        return;
    }
    for (const NatEntry& entry : *entries) {
        add_entry(entry.name, entry.data, entry.cmd);
    }
}

int RuleSetter::apply_dscp_settings(const cJSON* element) {
    const cJSON* item = cJSON_GetObjectItem(element, "value");
    const double number = cJSON_IsNumber(item) ? item->valuedouble : 0;
    if (number == 0) {
        log_debug("dscp error res(%d) ", -1);
        return -1;
    }
    // A DSCP value is six bits; anything else is refused and the settings stay.
    if (!(number >= 1 && number <= 63) || number != static_cast<double>(static_cast<int>(number))) {
        log_error("dscp-settings value %g refused: not a whole number from 1 to 63", number);
        return -1;
    }
    const int value = static_cast<int>(number);
    const int flags = (flag_on(element, "lw_dscp_to_ll") ? kDscpToLl : 0) |
                      (flag_on(element, "lw_app_dscp") ? kAppDscp : 0) |
                      (flag_on(element, "wl_dscp_set") ? kWlDscpSet : 0);
    if (value == dscp_value() && flags == dscp_flags()) {
        log_debug("dscp no update res(%d) ", -1);
        return -1;
    }
    dscp_flags_.store(flags, std::memory_order_relaxed);
    dscp_value_.store(value, std::memory_order_relaxed);
    return 0;
}

void RuleSetter::remove_file(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        log_error("*** Canot remove %s(errno=%d)", path.c_str(), errno);
    }
}

void RuleSetter::run_firewall_restart() {
    const Argv restart{"sysevent", "set", "firewall-restart"};
    log_debug("%s", command_text(restart).c_str());
    // Before any range the firewall has nothing of ours to take up.
    if (!targets_.range) {
        return;
    }
    if (const int status = runner_.run(restart, 0).status; status != 0 && status != -1) {
        log_error("%s failed: %s", command_text(restart).c_str(), describe_status(status).c_str());
    }
}

void RuleSetter::run_conntrack_script(std::string_view ports) {
    std::string list{ports};
    if (list.size() > kConntrackCommandMax) {
        list.resize(kConntrackCommandMax);
    }
    const int status = runner_.run(Argv{"sh", "/etc/atom/conntrack_extract.sh", list}, 0).status;
    log_debug("Return of system %d", status);
}

void RuleSetter::flush_stale_conntrack(const cJSON* array) {
    // A stored port list that the new array no longer has.
    std::vector<std::string> stale;
    for (const NatEntry& entry : entries()) {
        if (entry.cmd != "multi-add") {
            continue;
        }
        bool still_there = false;
        const cJSON* element = nullptr;
        cJSON_ArrayForEach(element, array) {
            const NatCommand command{element};
            if (command.cmd && command.name == entry.name && command.data == entry.data) {
                still_there = true;
                break;
            }
        }
        if (const auto ports = flushable_ports(entry.data); ports && !still_there) {
            stale.emplace_back(*ports);
        }
    }
    for (const std::string& ports : stale) {
        run_conntrack_script(ports);
    }
}

void RuleSetter::flush_new_conntrack(const cJSON* array) {
    const cJSON* element = nullptr;
    cJSON_ArrayForEach(element, array) {
        const NatCommand command{element};
        if (command.cmd != "multi-add" || !command.name || !command.data) {
            continue;
        }
        // Only port lists that passed validation reach the script.
        if (const auto ports = flushable_ports(*command.data)) {
            run_conntrack_script(*ports);
        }
    }
}

void RuleSetter::apply(const cJSON* array) {
    log_debug("*** natApiJson awake!");
    if (!cJSON_IsArray(array)) {
        return;
    }
    if (up(Family::V4)) {
        flush_stale_conntrack(array);
    }
    {
        // Each array replaces the stored configuration. In the rules-file mode the
        // files stay until their new versions replace them; the immediate mode keeps
        // none, so what an earlier run in the other mode left goes now.
        const std::lock_guard lock{entries_mutex_};
        entries_.clear();
        if (!rules_file_mode_) {
            for (const std::optional<std::string>& path :
                 {std::optional{paths_.nat_config}, paths_.ipv4_rules, paths_.ipv6_rules}) {
                if (path) {
                    remove_file(*path);
                }
            }
        }
    }

    int res = 0;
    const cJSON* element = nullptr;
    cJSON_ArrayForEach(element, array) {
        const NatCommand command{element};
        if (!command.cmd) {
            // nothing to do
        } else if (*command.cmd == "dscp-settings") {
            if (apply_dscp_settings(element) != 0) {
                res = -1;
            } else {
                log_debug("dscp update res(%d) ", res);
            }
        } else if (!command.name || !command.data) {
            // a command without its members is skipped
        } else if (!accept_nat_data(*command.cmd, *command.name, *command.data)) {
            res = -1;
        } else if (*command.cmd == "portrange") {
            res = set_port_range(*command.data);
        } else if (*command.cmd == "device-add" || *command.cmd == "multi-add" ||
                   *command.cmd == "device-del" || *command.cmd == "multi-del") {
            const std::string data{*command.data};
            const bool add = command.cmd->ends_with("-add");
            const bool device = command.cmd->starts_with("device");
            if (device) {
                log_info("device %s for %s", add ? "add" : "del", data.c_str());
            } else {
                log_debug("multi %s for %s", add ? "add" : "del", data.c_str());
            }
            command_rules(add ? RuleAction::Insert : RuleAction::Delete, *command.cmd, data);
            if (add) {
                add_entry(*command.name, data, *command.cmd);
            } else {
                remove_entry(*command.name);
            }
        } else {
            log_debug("data else res(%d) ", -1);
            res = -1;
        }
        log_debug("res = %d", res);
    }

    write_rules_files();
    run_firewall_restart();
    if (up(Family::V4)) {
        flush_new_conntrack(array);
        flush_stale_conntrack(array);
    }
}

void RuleSetter::run_worker(const StopSignal& stop) {
    restore_entries();
    for (;;) {
        pollfd watched[] = {{stop.fd(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
        const int ready = ::poll(watched, 2, -1);
        if (ready > 0 && (watched[0].revents & POLLIN) != 0) {
            return;
        }
        if (ready <= 0 || (watched[1].revents & POLLIN) == 0) {
            continue;
        }
        std::uint64_t count = 0;
        if (::read(wake_.get(), &count, sizeof count) != static_cast<ssize_t>(sizeof count)) {
            log_error("iptSetter fdStart rd err:%d", 1);
        }
        // One wake-up carries out every job queued so far, unless a stop comes first.
        while (!stop.requested()) {
            Job job;
            {
                const std::lock_guard lock{queue_mutex_};
                if (queue_.empty()) {
                    break;
                }
                job = std::move(queue_.front());
                queue_.pop_front();
                if (job.array) {
                    --arrays_waiting_;
                }
            }
            if (job.task) {
                job.task();
            } else {
                apply(job.array.get());
            }
        }
    }
}

}  // namespace lld
