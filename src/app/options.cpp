#include "app/options.hpp"

#include <algorithm>
#include <array>

namespace lld {
namespace {

struct Valued {
    std::string_view name;
    std::string Options::*field;  // null for -iptfile, which is optional
    std::string_view missing;     // the log line of a required option left out
    std::string_view meaning;
};

constexpr std::array<Valued, 5> kValued{{
    {"-ifl", &Options::lan_if, "require LAN interface name -ifl name", "the LAN interface"},
    {"-ifw", &Options::wan_if, "require WAN interface name -ifw name", "the WAN interface"},
    {"-nvdir", &Options::nv_dir, "specify non volatile directory for storage -nvdir name",
     "the directory that keeps the NAT configuration"},
    {"-config", &Options::config_path, "specify existing configuration file -config name",
     "the configuration file"},
    {"-iptfile", nullptr, "", "write the rules to this file in -nvdir instead of running them"},
}};

UsageError usage_error(std::string cause, std::string_view log_line = {}) {
    const std::string line = log_line.empty() ? cause : std::string{log_line};
    return UsageError{std::move(cause) + " (see lld-client --help)", line};
}

}  // namespace

CommandLine parse_command_line(std::span<const char* const> argv) {
    Options options;
    std::array<bool, kValued.size()> given{};
    for (std::size_t i = 1; i < argv.size() && argv[i] != nullptr; ++i) {
        const std::string_view word{argv[i]};
        if (word == "-h" || word == "--help") {
            return Request::Help;
        }
        if (word == "--version") {
            return Request::Version;
        }
        const auto* option = std::ranges::find(kValued, word, &Valued::name);
        if (option == kValued.end()) {
            return usage_error("unknown option " + std::string{word});
        }
        if (i + 1 >= argv.size() || argv[i + 1] == nullptr) {
            return usage_error("option " + std::string{word} + " needs a value");
        }
        const std::string value{argv[++i]};
        auto& seen = given[static_cast<std::size_t>(option - kValued.begin())];
        if (!seen) {
            seen = true;
            (option->field ? options.*option->field : options.rules_file.emplace()) = value;
        }
    }
    for (std::size_t i = 0; i < kValued.size(); ++i) {
        if (kValued[i].field && !given[i]) {
            return usage_error("missing option " + std::string{kValued[i].name} + " <" +
                                   std::string{kValued[i].meaning} + ">",
                               kValued[i].missing);
        }
    }
    return options;
}

std::string usage_text() {
    std::string text =
        "Usage: lld-client -ifl <lan-if> -ifw <wan-if> -nvdir <dir> -config <file> "
        "[-iptfile <file>]\n"
        "       lld-client -h | --help | --version\n\n"
        "The low-latency client of a cable gateway: steers chosen LAN traffic into the\n"
        "modem's low-latency port range, measures both paths and serves the flow's counters.\n\n";
    for (const Valued& option : kValued) {
        text += "  " + std::string{option.name};
        text.append(10 - option.name.size(), ' ');
        text += "<value>  " + std::string{option.meaning} + "\n";
    }
    text +=
        "  -h, --help         this text\n"
        "  --version          the version\n\n"
        "LLD_DBG_LVL (error, info, warn or debug) chooses what is logged on standard output.\n"
        "Exit status: 0 once it has run (ended by SIGTERM or SIGINT, or its proxy gone),\n"
        "255 when start-up fails.\n";
    return text;
}

}  // namespace lld
