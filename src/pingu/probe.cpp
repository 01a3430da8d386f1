#include "pingu/probe.hpp"

#include <poll.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "common/log.hpp"
#include "pingu/report.hpp"
#include "pingu/schedule.hpp"
#include "pingu/wire.hpp"

namespace lld {
namespace {

constexpr int kWaitTimeoutMs = 10000;
constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

struct ProbeRun {
    explicit ProbeRun(const ProbeRequest& request)
        : interval{request.interval},
          refresh{static_cast<std::int64_t>(request.refresh_period) * 1000},
          duration{static_cast<std::int64_t>(request.duration) * 1000} {}

    ProbeTimer interval;
    ProbeTimer refresh;
    ProbeTimer duration;
    HistogramShape shape;
    std::uint32_t seq = 0;
    ProbeDatagram datagram{};
    // paths[0] the classic path, paths[1] the low-latency path when there is one.
    std::vector<ProbePath> paths;
};

std::int64_t monotonic_ns() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * kNanosPerSecond + now.tv_nsec;
}

void send_cycle(ProbeRun& run, const ProbeNetwork& network) {
    ++run.seq;
    timeval now{};
    ::gettimeofday(&now, nullptr);
    const std::int64_t sent_ns = monotonic_ns();
    write_probe_header(run.datagram, run.seq, static_cast<std::uint32_t>(now.tv_sec),
                       static_cast<std::uint32_t>(now.tv_usec));
    // Odd cycles go out first on the low-latency path, even ones on the classic path.
    std::vector<ProbePath*> order{&run.paths[0]};
    if (run.paths.size() > 1) {
        order = {&run.paths[run.seq % 2], &run.paths[1 - run.seq % 2]};
    }
    for (ProbePath* path : order) {
        path->sent(run.seq, sent_ns);
        const ssize_t sent =
            ::sendto(path->fd.get(), run.datagram.data(), run.datagram.size(), 0,
                     reinterpret_cast<const sockaddr*>(&path->remote), path->remote_length);
        if (sent < 1) {
            log_debug("....sendto result %d ---> %d-%d,proto=%d ...", static_cast<int>(sent),
                      network.up(Family::V4) ? 1 : 0, network.up(Family::V6) ? 1 : 0, path->family);
        }
    }
}

void report(const ProbeRequest& request, ProbeRun& run, const ProbeNetwork& network,
            Publisher& publisher) {
    std::vector<Samples*> lists;
    for (ProbePath& path : run.paths) {
        lists.push_back(&path.samples);
    }
    const std::string wan =
        network.wan_address(run.paths[0].family == AF_INET ? Family::V4 : Family::V6);
    if (request.kind == ProbeKind::Monitor) {
        const MonitorFigures figures{request.interval, request.duration, request.port_classic,
                                     request.port_lld, run.shape};
        publisher.publish(Topic::Metrics, format_monitor_report(request.name, wan, figures, lists));
        return;
    }
    // A long period goes out in parts, in order, each within a datagram's size.
    for (const std::string& part :
         format_user_reports(request.name, run.seq, lists, wan, kMaxReportSize)) {
        publisher.publish(Topic::Metrics, part);
    }
}

// Reads a timer's expiry; an error is logged under the timer's name.
void consume(ProbeTimer& timer, const ProbeRequest& request, const char* what) {
    if (!timer.consume()) {
        log_error("PINGU_THREAD '%s' %s error %d", printable(request.name).c_str(), what, errno);
    }
}

}  // namespace

void publish_probe_state(Publisher& publisher, ProbeKind kind, ProbeState state,
                         std::string_view name) {
    const std::string payload = probe_state_payload(kind, state, name);
    log_debug("publishing pingu state = %s", payload.c_str());
    if (!publisher.publish(Topic::Status, payload)) {
        log_debug("LLD: Publish failed for pingu state response ");
    }
}

ProbeEnd run_probe(const ProbeRequest& request, ProbeNetwork& network, Publisher& publisher,
                   const StopSignal& stop) {
    ProbeRun run{request};
    const int family = network.up(Family::V4) ? AF_INET : AF_INET6;
    const auto reflector_port = static_cast<std::uint16_t>(request.reflector_port);
    // An echo counts within the refresh period after its send.
    const std::int64_t echo_timeout_ns = std::int64_t{request.refresh_period} * kNanosPerSecond;
    for (const auto& [port, traffic_class] :
         {std::pair{request.port_classic, 0}, std::pair{request.port_lld, network.dscp_value() * 4}}) {
        if (port == 0 && !run.paths.empty()) {
            continue;  // no low-latency path
        }
        auto path = open_probe_path(request.reflector_url, static_cast<std::uint16_t>(port),
                                    reflector_port, traffic_class, family, echo_timeout_ns);
        if (!path) {
            log_error("PINGU_THREAD '%s' cannot start", printable(request.name).c_str());
            return ProbeEnd::Failed;
        }
        run.paths.push_back(std::move(*path));
    }
    write_probe_text(run.datagram, request.kind);
    if (!run.interval.valid() || !run.refresh.valid() || !run.duration.valid()) {
        log_debug("PINGU_THREAD '%s' failed to create tTestInstance",
                  printable(request.name).c_str());
        return ProbeEnd::Failed;
    }
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    run.interval.start(now);
    run.refresh.start(now);
    run.duration.start(now);
    if (request.name.find(kUserProbeName) != std::string::npos) {
        publish_probe_state(publisher, ProbeKind::User, ProbeState::Started);
    }

    // Positions in the poll set: the stop signal, the three timers, then the sockets.
    constexpr std::size_t kStop = 0;
    constexpr std::size_t kInterval = 1;
    constexpr std::size_t kRefresh = 2;
    constexpr std::size_t kDuration = 3;
    constexpr std::size_t kSockets = 4;
    std::vector<pollfd> watched{{stop.fd(), POLLIN, 0},
                                {run.interval.fd(), POLLIN, 0},
                                {run.refresh.fd(), POLLIN, 0},
                                {run.duration.fd(), POLLIN, 0}};
    for (const ProbePath& path : run.paths) {
        watched.push_back({path.fd.get(), POLLIN, 0});
    }
    bool refresh_started = false;
    bool duration_started = false;
    for (;;) {
        for (pollfd& entry : watched) {
            entry.revents = 0;
        }
        if (::poll(watched.data(), watched.size(), kWaitTimeoutMs) < 0) {
            const int error = errno;
            if (error == EINTR) {
                continue;
            }
            log_error("PINGU_THREAD '%s' select error %d:%s", printable(request.name).c_str(),
                      error, std::strerror(error));
            if (stop.wait_for(std::chrono::seconds{1})) {
                return ProbeEnd::Stopped;
            }
            continue;
        }
        if ((watched[kStop].revents & POLLIN) != 0) {
            return ProbeEnd::Stopped;
        }
        timeval woke{};
        ::gettimeofday(&woke, nullptr);
        const std::int64_t woke_ns = monotonic_ns();
        for (std::size_t i = 0; i < run.paths.size(); ++i) {
            if ((watched[kSockets + i].revents & POLLIN) != 0) {
                drain_echoes(run.paths[i], woke, woke_ns);
            }
        }
        if ((watched[kInterval].revents & POLLIN) != 0) {
            consume(run.interval, request, "interval timer");
            run.interval.advance();
            send_cycle(run, network);
        }
        if ((watched[kRefresh].revents & POLLIN) != 0) {
            consume(run.refresh, request, "refresh period timer");
            if (refresh_started) {
                report(request, run, network, publisher);
            }
            refresh_started = true;
            run.refresh.advance();
        }
        if ((watched[kDuration].revents & POLLIN) != 0) {
            consume(run.duration, request, "duration timer");
            if (duration_started) {
                // The refresh that falls on the end may not have woken us yet: the
                // last period is reported all the same.
                if (refresh_started && run.refresh.due()) {
                    report(request, run, network, publisher);
                }
                return ProbeEnd::Completed;
            }
            duration_started = true;
            run.duration.advance();
        }
    }
}

}  // namespace lld
