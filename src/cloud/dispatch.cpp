#include "cloud/dispatch.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <string>

#include "app/config.hpp"
#include "app/log.hpp"
#include "app/status.hpp"
#include "common/fd.hpp"
#include "common/json.hpp"
#include "docsis/modem.hpp"
#include "docsis/publisher.hpp"
#include "iptsetter/ipt_setter.hpp"
#include "pingu/control.hpp"

namespace lld {
namespace {

void process_user_pingu(const cJSON* value, tPinguArgs& args) {
    lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] message_recv PINGU_USER\n");
    if (pingu_config_parse(value, PINGU_USER, &args) == 0) {
        PINGU_REQUEST(args);
    } else {
        lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] message_recv PINGU_USER processing Failed\n");
    }
}

void process_pingu_monitor_config(const cJSON* value, tPinguArgs& args) {
    int count = 0;
    if (value != nullptr) {
        count = cJSON_IsArray(value) ? cJSON_GetArraySize(value) : 1;
    }
    lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] message_recv PINGU_MONITOR %d count\n", count);
    for (int position = 0; position < count; ++position) {
        const cJSON* element = cJSON_IsArray(value) ? cJSON_GetArrayItem(value, position) : value;
        if (element == nullptr) {
            continue;
        }
        lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] message_recv PINGU_MONITOR %d processing\n",
                position + 1);
        if (pingu_config_parse(element, PINGU_MONITOR, &args) == 0) {
            PINGU_REQUEST(args);
        } else {
            lld_log(LLD_LOG_DEBUG,
                    "[ZEZ-UDERED] [DBG] message_recv PINGU_MONITOR processing Failed\n");
        }
    }
}

void process_docsis_config(const cJSON* value) {
    lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] LLD: processing docsis_config...\n");
    docsis_config_process(value);
}

// The token directory, opened only when it is a directory owned by this user
// and not a symbolic link.
UniqueFd open_token_dir(const char* dir) {
    if (::mkdir(dir, 0700) != 0 && errno != EEXIST) {
        return UniqueFd{};
    }
    UniqueFd fd{::open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
    struct stat status {};
    if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISDIR(status.st_mode) ||
        status.st_uid != ::geteuid()) {
        return UniqueFd{};
    }
    return fd;
}

}  // namespace

bool json_has(const cJSON* object, const char* name) {
    return cJSON_GetObjectItemCaseSensitive(object, name) != nullptr;
}

int handle_lld_config(const cJSON* value) {
    if (value == nullptr || !json_has(value, "port_range")) {
        return -1;
    }
    const cJSON* range = cJSON_GetObjectItemCaseSensitive(value, "port_range");
    if (!cJSON_IsString(range) || range->valuestring == nullptr) {
        return -1;  // a range that is not a text is no range at all
    }
    const std::string_view cloud_range{range->valuestring};

    std::array<char, 16> docsis_range{};
    lld_get_port_range(docsis_range);

    StatusSlot& slot = lld_status();
    slot.lld_status_buf = cloud_range == docsis_range.data()
                              ? format_running_report()
                              : format_error_report(docsis_range.data(), cloud_range);
    slot.lld_status_pending = true;

    process_config().cloud_port_range.set(cloud_range);
    iptSetPortRange(cloud_range);
    return 0;
}

int handle_user_game_config(const cJSON* value) {
    if (value != nullptr) {
        // The worker owns the copy from here on; a full queue frees it at once.
        iptSetterPost(JsonPtr{cJSON_Duplicate(value, true)});
    }
    return -1;
}

int store_gui_token(const char* dir, std::string_view token) {
    const std::string path = std::string{dir} + "/token";
    const UniqueFd dir_fd = open_token_dir(dir);
    const UniqueFd file{dir_fd
                            ? ::openat(dir_fd.get(), "token",
                                       O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600)
                            : -1};
    if (!file) {
        lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] Failed to open %s\n", path.c_str());
        return -1;
    }
    // A token file left by an older run may be readable by others.
    ::fchmod(file.get(), 0600);
    if (!write_all(file.get(), token)) {
        lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] Failed to write %s\n", path.c_str());
        return -1;
    }
    return 0;
}

int handle_gui_token(const cJSON* message) {
    const auto token = json_string_member(message, "gui_token");
    if (!token) {
        lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] No token found!!\n");
        return -1;
    }
    return store_gui_token(kTokenDir, *token);
}

int handle_event(const cJSON* message) {
    const auto event = json_string_member(message, "event");
    if (!event) {
        lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] No event found!!\n");
        return -1;
    }
    if (event->find("send_status") == std::string_view::npos) {
        return -1;
    }
    return lld_send_ready_status();
}

void userMsgProcess(std::int32_t /*type*/, std::optional<std::string_view> /*topic*/,
                    std::optional<std::string_view> payload) {
    std::fflush(stdout);
    const JsonPtr message = payload ? json_parse(*payload) : nullptr;
    if (!message) {
        lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] Error json msg\n");
        return;
    }
    const std::string payload_text{*payload};
    lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] ===userMsgProcess->: %s \n", payload_text.c_str());

    const cJSON* root = message.get();
    if (json_has(root, "lld_config")) {
        handle_lld_config(cJSON_GetObjectItemCaseSensitive(root, "lld_config"));
    }
    if (json_has(root, "user_game_config")) {
        handle_user_game_config(cJSON_GetObjectItemCaseSensitive(root, "user_game_config"));
    }
    // One probe record per message, reused for every request in it.
    tPinguArgs pingu_args;
    if (json_has(root, "user_pingu")) {
        process_user_pingu(cJSON_GetObjectItemCaseSensitive(root, "user_pingu"), pingu_args);
    }
    process_pingu_monitor_config(cJSON_GetObjectItemCaseSensitive(root, "pingu_monitor_config"),
                                 pingu_args);
    if (json_has(root, "docsis_config")) {
        process_docsis_config(cJSON_GetObjectItemCaseSensitive(root, "docsis_config"));
    }
    if (json_has(root, "gui_token")) {
        lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] message_recv Auth Token\n");
        if (handle_gui_token(root) != 0) {
            lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] message_recv Token processing Failed\n");
        }
    }
    if (json_has(root, "event")) {
        lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] message_recv go event request\n");
        if (handle_event(root) != 0) {
            lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] message_recv event processing Failed\n");
        }
    }
}

}  // namespace lld
