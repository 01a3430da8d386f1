// The NAT worker: carries out the cloud's command arrays off the main thread,
// keeps the stored NAT entries and restores them at start-up.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>

#include "app/config.hpp"
#include "app/log.hpp"
#include "iptsetter/ipt_setter.hpp"

namespace lld {
namespace {

bool flag_on(const cJSON* element, const char* name) {
    const cJSON* item = cJSON_GetObjectItem(element, name);
    return cJSON_IsTrue(item) || (cJSON_IsNumber(item) && item->valuedouble != 0);
}

int integer_member(const cJSON* element, const char* name) {
    const cJSON* item = cJSON_GetObjectItem(element, name);
    return cJSON_IsNumber(item) ? item->valueint : 0;
}

// Refuses data that would reach a command line in a form the firewall can't
// take, or that could run something else.
bool accepted(std::string_view cmd, std::string_view name, std::string_view data) {
    const auto problem = invalid_nat_data(cmd, data);
    if (!problem) {
        return true;
    }
    // The name is the cloud's text: escaped, so that it can't forge log lines.
    lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] %s \"%s\" refused: %s\n", json_escape(cmd).c_str(),
            json_escape(name).c_str(), problem->c_str());
    return false;
}

}  // namespace

bool iptSetterState::iptSetterPost(JsonPtr array) {
    if (!cmdQueue.push(array)) {
        return false;  // the array is freed here
    }
    const std::uint64_t one = 1;
    const ssize_t written = ::write(fdStart_.get(), &one, sizeof one);
    if (written != static_cast<ssize_t>(sizeof one)) {
        lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] fdNotify fd:%d err:%d\n", fdStart_.get(),
                static_cast<int>(written));
    }
    return true;
}

std::optional<std::string> iptSetterState::iptSetterDataGet() {
    return replyQueue.pop();
}

void iptSetterState::natEntryAdd(std::string_view name, std::string_view data,
                                 std::string_view cmd) {
    const std::lock_guard entries{ipt_update_lock};
    natList.push_front(natEntry{std::string{name}, std::string{data}, std::string{cmd}});
}

void iptSetterState::natEntryDel(std::string_view name) {
    std::optional<natEntry> removed;
    {
        const std::lock_guard entries{ipt_update_lock};
        removed = natList.remove_if([name](const natEntry& entry) { return entry.name == name; });
    }
    if (!removed) {
        lld_log(LLD_LOG_INFO, "[ZEZ-UDERED] [INF] %s was not present\n", std::string{name}.c_str());
    }
}

void iptSetterState::restore_nat_entries() {
    const auto file = read_file(paths_.natJsonPath, nullptr, 0);
    if (!file) {
        return;  // nothing persisted yet
    }
    const JsonPtr tree = json_parse({file->data(), file->size()});
    if (!cJSON_IsArray(tree.get())) {
        lld_log(LLD_LOG_ERROR,
                "[ZEZ-UDERED] [ERR] %s is not a NAT configuration, no entry restored\n",
                paths_.natJsonPath.c_str());
        return;
    }
    const cJSON* element = nullptr;
    cJSON_ArrayForEach(element, tree.get()) {
        const auto cmd = json_string_member(element, "cmd");
        const auto name = json_string_member(element, "name");
        const auto data = json_string_member(element, "data");
        if (cmd && name && data && accepted(*cmd, *name, *data)) {
            natEntryAdd(*name, *data, *cmd);
        }
    }
}

void iptSetterState::apply_dscp_settings(const cJSON* element, int& res) {
    const int value = integer_member(element, "value");
    if (value == 0) {
        lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] dscp error res(%d) \n", -1);
        res = -1;
        return;
    }
    const int flags = (flag_on(element, "lw_dscp_to_ll") ? kDscpToLl : 0) |
                      (flag_on(element, "lw_app_dscp") ? kAppDscp : 0) |
                      (flag_on(element, "wl_dscp_set") ? kWlDscpSet : 0);
    if (value == dscp_value() && flags == dscp_flags()) {
        lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] dscp no update res(%d) \n", -1);
        res = -1;
        return;
    }
    dscpFlags.store(flags, std::memory_order_relaxed);
    dscpValue.store(value >= 1 && value <= 63 ? value : 0, std::memory_order_relaxed);
    lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] dscp update res(%d) \n", res);
}

void iptSetterState::remove_stored_files() {
    for (const std::optional<std::string>& path :
         {std::optional{paths_.natJsonPath}, paths_.iptRulesPath, paths_.ip6RulesPath}) {
        std::error_code error;
        if (path && std::filesystem::exists(*path, error) && ::unlink(path->c_str()) != 0) {
            lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] *** Canot remove %s(errno=%d)\n",
                    path->c_str(), errno);
        }
    }
}

void iptSetterState::natApiJson(const cJSON* array) {
    lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] *** natApiJson awake!\n");
    if (!cJSON_IsArray(array)) {
        return;
    }
    if (ipv4_up()) {
        conntrackFlushStale(array);
    }
    {
        // Each array replaces the stored configuration.
        const std::lock_guard entries{ipt_update_lock};
        natList.clear();
        remove_stored_files();
    }

    int res = 0;
    const cJSON* element = nullptr;
    cJSON_ArrayForEach(element, array) {
        const auto cmd = json_string_member(element, "cmd");
        const auto name = json_string_member(element, "name");
        const auto data = json_string_member(element, "data");
        if (!cmd) {
            // nothing to do
        } else if (*cmd == "dscp-settings") {
            apply_dscp_settings(element, res);
        } else if (!name || !data) {
            // a command without its members is skipped
        } else if (!accepted(*cmd, *name, *data)) {
            res = -1;
        } else if (*cmd == "portrange") {
            process_config().cloud_port_range.set(*data);
            res = iptSetPortRange(*data);
        } else if (*cmd == "device-add") {
            lld_log(LLD_LOG_INFO, "[ZEZ-UDERED] [INF] device add for %s\n",
                    std::string{*data}.c_str());
            iptDeviceRule('I', *data);
            natEntryAdd(*name, *data, *cmd);
        } else if (*cmd == "device-del") {
            lld_log(LLD_LOG_INFO, "[ZEZ-UDERED] [INF] device del for %s\n",
                    std::string{*data}.c_str());
            iptDeviceRule('D', *data);
            natEntryDel(*name);
        } else if (*cmd == "multi-add") {
            lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] multi add for %s\n",
                    std::string{*data}.c_str());
            iptMultiRule('I', *data);
            natEntryAdd(*name, *data, *cmd);
        } else if (*cmd == "multi-del") {
            lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] multi del for %s\n",
                    std::string{*data}.c_str());
            iptMultiRule('D', *data);
            natEntryDel(*name);
        } else {
            lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] data else res(%d) \n", -1);
            res = -1;
        }
        lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] res = %d\n", res);
    }

    IPT_SET_BY_FILE();
    {
        const std::lock_guard lock{range_lock_};
        iptRun("sysevent set firewall-restart");
    }
    if (ipv4_up()) {
        conntrackFlushNew(array);
        conntrackFlushStale(array);
    }
}

bool iptSetterState::stop_requested_within(int timeout_ms) {
    pollfd stop{fdStop_.get(), POLLIN, 0};
    return ::poll(&stop, 1, timeout_ms) > 0 && (stop.revents & POLLIN) != 0;
}

void iptSetterState::natApiThread() {
    restore_nat_entries();
    for (;;) {
        pollfd watched[] = {{fdStop_.get(), POLLIN, 0}, {fdStart_.get(), POLLIN, 0}};
        const int ready = ::poll(watched, 2, -1);
        if (ready > 0 && (watched[0].revents & POLLIN) != 0) {
            return;
        }
        if (ready <= 0 || (watched[1].revents & POLLIN) == 0) {
            continue;
        }
        std::uint64_t count = 0;
        if (::read(fdStart_.get(), &count, sizeof count) != static_cast<ssize_t>(sizeof count)) {
            lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] iptSetter fdStart rd err:%d\n", 1);
        }
        // One wake-up carries out every array queued so far.
        while (auto array = cmdQueue.pop()) {
            natApiJson(array->get());
        }
    }
}

}  // namespace lld
