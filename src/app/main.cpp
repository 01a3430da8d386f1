#include <cstdio>
#include <variant>

#include "app/client.hpp"

int main(int argc, char** argv) {
    const lld::CommandLine command =
        lld::parse_command_line({argv, static_cast<std::size_t>(argc)});
    if (const auto* request = std::get_if<lld::Request>(&command)) {
        const std::string text = *request == lld::Request::Help
                                     ? lld::usage_text()
                                     : std::string{lld::kBanner} + lld::kClientVersion + "\n";
        return std::fputs(text.c_str(), stdout) < 0 ? lld::kStartupFailure : 0;
    }
    lld::ShutdownSignals signals;
    const auto client = lld::Client::start(command, signals);
    return client ? client->run() : lld::kStartupFailure;
}
