#include "app/options.hpp"

#include "common/log.hpp"

namespace lld {

std::optional<std::string_view> find_arg(std::span<const char* const> argv, std::string_view name) {
    for (std::size_t i = 0; i + 1 < argv.size(); ++i) {
        if (argv[i] != nullptr && argv[i + 1] != nullptr && name == argv[i]) {
            return std::string_view{argv[i + 1]};
        }
    }
    return std::nullopt;
}

std::optional<Options> parse_options(std::span<const char* const> argv) {
    struct Required {
        const char* name;
        const char* missing;
        std::string Options::*field;
    };
    static constexpr Required kRequired[] = {
        {"-ifl", "require LAN interface name -ifl name", &Options::lan_if},
        {"-ifw", "require WAN interface name -ifw name", &Options::wan_if},
        {"-nvdir", "specify non volatile directory for storage -nvdir name", &Options::nv_dir},
        {"-config", "specify existing configuration file -config name", &Options::config_path},
    };
    Options options;
    for (const Required& option : kRequired) {
        const auto value = find_arg(argv, option.name);
        if (!value) {
            log_error("%s", option.missing);
            return std::nullopt;
        }
        options.*option.field = *value;
    }
    if (const auto file = find_arg(argv, "-iptfile")) {
        options.rules_file = std::string{*file};
    }
    return options;
}

}  // namespace lld
