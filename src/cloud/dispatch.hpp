// The dispatcher of cloud messages: each datagram's payload is a JSON object
// whose members name the message kinds, served in a fixed order.
#pragma once

#include <cjson/cJSON.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace lld {

inline constexpr const char* kTokenDir = "/tmp/lld";

// The link's receive handler; only the payload is read.
void userMsgProcess(std::int32_t type, std::optional<std::string_view> topic,
                    std::optional<std::string_view> payload);

// True when the object has a member of exactly this name (letter case included).
bool json_has(const cJSON* object, const char* name);

int handle_lld_config(const cJSON* value);
// Queues a deep copy of the NAT command array for the rule setter's worker.
int handle_user_game_config(const cJSON* value);
int handle_gui_token(const cJSON* message);
int handle_event(const cJSON* message);

// Writes the token as the file "token" in `dir`, creating `dir` with mode 0700.
// The directory must be a real directory of this user, not a link to one.
int store_gui_token(const char* dir, std::string_view token);

}  // namespace lld
