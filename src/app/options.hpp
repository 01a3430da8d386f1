// The command line: four required options and "-iptfile", each followed by its
// value, or "-h"/"--help" or "--version" alone.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace lld {

struct Options {
    std::string lan_if;                     // -ifl
    std::string wan_if;                     // -ifw
    std::string nv_dir;                     // -nvdir
    std::string config_path;                // -config
    std::optional<std::string> rules_file;  // -iptfile: the rules-file mode
};

enum class Request { Help, Version };

// Why the command line can't be used, for the operator; `log_line` is the log's
// own text for it (a missing required option keeps its long-standing line).
struct UsageError {
    std::string cause;
    std::string log_line;
};

using CommandLine = std::variant<Options, Request, UsageError>;

// Every word must be a known option: an unknown one, or an option without its
// value, is a usage error. A repeated option keeps its first value.
CommandLine parse_command_line(std::span<const char* const> argv);

// The text that "--help" prints.
std::string usage_text();

}  // namespace lld
