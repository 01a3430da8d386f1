// The command line: four required options and "-iptfile", each followed by its value.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace lld {

struct Options {
    std::string lan_if;                     // -ifl
    std::string wan_if;                     // -ifw
    std::string nv_dir;                     // -nvdir
    std::string config_path;                // -config
    std::optional<std::string> rules_file;  // -iptfile: the rules-file mode
};

// The value following the first exact occurrence of `name`; an option given
// last, with nothing after it, is not found.
std::optional<std::string_view> find_arg(std::span<const char* const> argv, std::string_view name);

// nullopt, after the error line of the first required option that is missing.
std::optional<Options> parse_options(std::span<const char* const> argv);

}  // namespace lld
