// Ownership helpers for cJSON trees and printed texts, and JSON string escaping
// for the reports that are formatted by hand.
#pragma once

#include <cjson/cJSON.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace lld {

struct JsonDeleter {
    void operator()(cJSON* tree) const { cJSON_Delete(tree); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

struct JsonTextDeleter {
    void operator()(char* text) const { cJSON_free(text); }
};
using JsonText = std::unique_ptr<char, JsonTextDeleter>;

// Parses exactly `text` (no terminator needed); null when it is not JSON.
JsonPtr json_parse(std::string_view text);

// cJSON's formatted print of the tree, or nullopt when it can't be printed.
std::optional<std::string> json_print(const cJSON* tree);

// The string value of a member matched without regard to letter case; nullopt
// when the member is missing or not a string.
std::optional<std::string_view> json_string_member(const cJSON* object, const char* name);

// The text with the value of every secret member of a JSON object ("password",
// "hadp", "gui_token", names matched without regard to letter case) replaced by
// "********", printed without blanks; the text itself when it holds none. For
// log lines, which never show a secret.
std::string redact_secrets(std::string_view json_text);

// `text` escaped for the inside of a JSON string (quotes not included).
std::string json_escape(std::string_view text);

// Like json_escape, but stops before the escape of the first character that
// would take the result past `limit` characters, so a cut never splits an
// escape sequence or a UTF-8 character.
std::string json_escape_bounded(std::string_view text, std::size_t limit);

}  // namespace lld
