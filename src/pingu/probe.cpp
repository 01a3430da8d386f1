#include "pingu/probe.hpp"

#include <sys/epoll.h>
#include <sys/time.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "common/fd.hpp"
#include "common/log.hpp"
#include "pingu/report.hpp"
#include "pingu/schedule.hpp"
#include "pingu/wire.hpp"

namespace lld {
namespace {

constexpr int kWaitTimeoutMs = 10000;

// What a wake-up found ready, one bit for each member of the wait set.
constexpr unsigned kWakeStop = 1U << 0;
constexpr unsigned kWakeInterval = 1U << 1;
constexpr unsigned kWakeRefresh = 1U << 2;
constexpr unsigned kWakeDuration = 1U << 3;

// The probe thread's wait set, registered once (epoll): a wake-up costs the one
// wait queue of the set, not one for each descriptor as poll would.
class WaitSet {
  public:
    WaitSet() : fd_{::epoll_create1(EPOLL_CLOEXEC)} {}

    // False (errno set) when the set or the member can't be had.
    bool add(int fd, unsigned bit) {
        epoll_event member{};
        member.events = EPOLLIN;
        member.data.u32 = bit;
        return fd_ && ::epoll_ctl(fd_.get(), EPOLL_CTL_ADD, fd, &member) == 0;
    }

    // The bits of the members that are readable, once one is or the time-out
    // passed (0); -1 with errno on failure.
    int wait(int timeout_ms) {
        std::array<epoll_event, 4> ready{};
        const int count =
            ::epoll_wait(fd_.get(), ready.data(), static_cast<int>(ready.size()), timeout_ms);
        if (count < 0) {
            return -1;
        }
        unsigned bits = 0;
        for (int i = 0; i < count; ++i) {
            bits |= ready[static_cast<std::size_t>(i)].data.u32;
        }
        return static_cast<int>(bits);
    }

  private:
    UniqueFd fd_;
};

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

// One cycle's datagram, sent on every path before anything else is done (the
// bookkeeping waits until all are out); each path's copy carries the cycle's one
// wall-clock send time. Odd cycles go out first on the low-latency path, even
// ones on the classic path.
void send_cycle(ProbeRun& run, const ProbeNetwork& network) {
    ++run.seq;
    timeval now{};
    ::gettimeofday(&now, nullptr);
    write_probe_header(run.datagram, run.seq, static_cast<std::uint32_t>(now.tv_sec),
                       static_cast<std::uint32_t>(now.tv_usec));
    std::array<ProbePath*, 2> order{&run.paths[0], nullptr};
    if (run.paths.size() > 1) {
        order = {&run.paths[run.seq % 2], &run.paths[1 - run.seq % 2]};
    }
    for (ProbePath* path : order) {
        if (path == nullptr) {
            break;
        }
        const ssize_t sent =
            ::sendto(path->fd.get(), run.datagram.data(), run.datagram.size(), 0,
                     reinterpret_cast<const sockaddr*>(&path->remote), path->remote_length);
        if (sent < 1) {
            log_debug("....sendto result %d ---> %d-%d,proto=%d ...", static_cast<int>(sent),
                      network.up(Family::V4) ? 1 : 0, network.up(Family::V6) ? 1 : 0, path->family);
        }
    }
    const std::int64_t sent_ns = monotonic_ns();
    for (ProbePath& path : run.paths) {
        path.sent(run.seq, sent_ns);
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

// Reads how many of a timer's deadlines passed; nothing to read is logged under
// the timer's name.
std::uint64_t consume(ProbeTimer& timer, const ProbeRequest& request, const char* what) {
    const std::uint64_t count = timer.consume();
    if (count == 0) {
        log_error("PINGU_THREAD '%s' %s error %d", printable(request.name).c_str(), what, errno);
    }
    return count;
}

// Takes in every echo that has arrived on the probe's paths.
void take_echoes(ProbeRun& run) {
    timeval woke{};
    ::gettimeofday(&woke, nullptr);
    const std::int64_t woke_ns = monotonic_ns();
    for (ProbePath& path : run.paths) {
        drain_echoes(path, woke, woke_ns);
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
         {std::pair{request.port_classic, 0},
          std::pair{request.port_lld, network.dscp_value() * 4}}) {
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
    // The thread waits on the stop signal and the three timers only. The sockets
    // are not among them: their echoes are read whenever a timer wakes the thread,
    // so a cycle costs one wake-up whatever comes back.
    WaitSet waits;
    if (!waits.add(stop.fd(), kWakeStop) || !waits.add(run.interval.fd(), kWakeInterval) ||
        !waits.add(run.refresh.fd(), kWakeRefresh) ||
        !waits.add(run.duration.fd(), kWakeDuration)) {
        log_error("PINGU_THREAD '%s' cannot start: %s", printable(request.name).c_str(),
                  std::strerror(errno));
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

    bool refresh_started = false;
    bool duration_started = false;
    for (;;) {
        const int woke = waits.wait(kWaitTimeoutMs);
        if (woke < 0) {
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
        if ((woke & kWakeStop) != 0) {
            return ProbeEnd::Stopped;
        }
        if ((woke & kWakeInterval) != 0) {
            // The send comes first; only then is the expiry read. Deadlines that
            // passed unserved (a wake-up later than a whole interval) each get
            // their cycle now, as the grid has them.
            send_cycle(run, network);
            for (std::uint64_t missed = consume(run.interval, request, "interval timer");
                 missed > 1; --missed) {
                send_cycle(run, network);
            }
        }
        take_echoes(run);
        if ((woke & kWakeRefresh) != 0) {
            consume(run.refresh, request, "refresh period timer");
            if (refresh_started) {
                report(request, run, network, publisher);
            }
            refresh_started = true;
        }
        if ((woke & kWakeDuration) != 0) {
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
        }
    }
}

}  // namespace lld
