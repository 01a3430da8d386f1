#include "common/json.hpp"

#include <algorithm>
#include <cstdio>

namespace lld {

JsonPtr json_parse(std::string_view text) {
    return JsonPtr{cJSON_ParseWithLength(text.data(), text.size())};
}

std::optional<std::string> json_print(const cJSON* tree) {
    const JsonText printed{cJSON_Print(tree)};
    if (!printed) {
        return std::nullopt;
    }
    return std::string{printed.get()};
}

std::optional<std::string_view> json_string_member(const cJSON* object, const char* name) {
    const cJSON* item = cJSON_GetObjectItem(object, name);
    if (!cJSON_IsString(item) || item->valuestring == nullptr) {
        return std::nullopt;
    }
    return std::string_view{item->valuestring};
}

std::string redact_secrets(std::string_view json_text) {
    static constexpr const char* kSecrets[] = {"password", "hadp", "gui_token"};
    const JsonPtr tree = json_parse(json_text);
    bool redacted = false;
    for (const char* name : kSecrets) {
        if (cJSON_IsObject(tree.get()) && cJSON_GetObjectItem(tree.get(), name) != nullptr) {
            cJSON_ReplaceItemInObject(tree.get(), name, cJSON_CreateString("********"));
            redacted = true;
        }
    }
    if (!redacted) {
        return std::string{json_text};
    }
    const JsonText printed{cJSON_PrintUnformatted(tree.get())};
    return printed ? std::string{printed.get()} : std::string{"(secret not shown)"};
}

namespace {

// The escaped form of one character, or of one whole UTF-8 sequence.
std::string escape_unit(std::string_view text, std::size_t& pos) {
    const auto c = static_cast<unsigned char>(text[pos]);
    switch (c) {
        case '"':
            ++pos;
            return "\\\"";
        case '\\':
            ++pos;
            return "\\\\";
        case '\b':
            ++pos;
            return "\\b";
        case '\f':
            ++pos;
            return "\\f";
        case '\n':
            ++pos;
            return "\\n";
        case '\r':
            ++pos;
            return "\\r";
        case '\t':
            ++pos;
            return "\\t";
        default:
            break;
    }
    if (c < 0x20) {
        char hex[7];
        std::snprintf(hex, sizeof hex, "\\u%04x", c);
        ++pos;
        return hex;
    }
    std::size_t length = 1;
    if (c >= 0xC0) {
        // Keep a multi-byte character together, so that a bounded cut never splits it.
        while (pos + length < text.size() && length < 4 &&
               (static_cast<unsigned char>(text[pos + length]) & 0xC0) == 0x80) {
            ++length;
        }
    }
    std::string unit{text.substr(pos, length)};
    pos += length;
    return unit;
}

}  // namespace

std::string json_escape_bounded(std::string_view text, std::size_t limit) {
    std::string escaped;
    escaped.reserve(std::min(limit, text.size() + 8));
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::string unit = escape_unit(text, pos);
        if (escaped.size() + unit.size() > limit) {
            break;
        }
        escaped += unit;
    }
    return escaped;
}

std::string json_escape(std::string_view text) {
    return json_escape_bounded(text, std::string::npos);
}

}  // namespace lld
