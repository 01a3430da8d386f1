// lld-proxy: bridges lld-client's local socket and the cloud's MQTT broker on a
// gateway that has no platform proxy.
#include <signal.h>
#include <sys/signalfd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>

#include "app/config.hpp"
#include "app/proxy/bridge.hpp"
#include "app/proxy/broker.hpp"
#include "app/proxy/settings.hpp"
#include "common/fd.hpp"
#include "common/log.hpp"

namespace {

constexpr int kStartupFailure = 255;

// SIGTERM and SIGINT, blocked before anything else exists and read from a descriptor.
class StopSignals {
  public:
    StopSignals() {
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGTERM);
        sigaddset(&signals, SIGINT);
        if (::sigprocmask(SIG_BLOCK, &signals, nullptr) == 0) {
            fd_.reset(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
        }
        if (!fd_) {
            throw lld::proxy::StartupError(std::string{"signalfd: "} + std::strerror(errno));
        }
        // A peer that went away must not end the process before it cleans up.
        std::signal(SIGPIPE, SIG_IGN);
    }
    int fd() const { return fd_.get(); }

  private:
    lld::UniqueFd fd_;
};

int startup_failure(const char* cause) {
    lld::log_error("Start-up failed: %s", cause);
    std::fprintf(stderr, "lld-proxy: %s\n", cause);
    return kStartupFailure;
}

int run(std::span<const char* const> args) {
    using lld::proxy::Action;
    const lld::proxy::Options options = lld::proxy::parse_options(args);
    if (options.action == Action::Help) {
        std::fputs(lld::proxy::usage_text().c_str(), stdout);
        return 0;
    }
    if (options.action == Action::Version) {
        std::printf("lld-proxy %s\n", lld::kClientVersion);
        return 0;
    }
    const StopSignals stop;
    lld::log_info("lld-proxy, version:%s", lld::kClientVersion);
    const lld::proxy::MosquittoLibrary library;
    lld::proxy::Bridge bridge{lld::proxy::load_settings(options.config_path), stop.fd()};
    return bridge.run();
}

}  // namespace

int main(int argc, char** argv) {
    const std::span<const char* const> args{argv, static_cast<std::size_t>(argc)};
    try {
        return run(args);
    } catch (const lld::proxy::StartupError& failure) {
        return startup_failure(failure.what());
    }
}
