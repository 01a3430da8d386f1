#include "pingu/control.hpp"

#include <sys/prctl.h>

#include <algorithm>
#include <cstring>
#include <system_error>

#include "common/log.hpp"
#include "pingu/probe.hpp"

namespace lld {
namespace {

// Deliberately small: a probe needs little stack, and a gateway may run dozens.
// Sanitizer builds need more room for their bookkeeping.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kProbeStackSize = 2 * 1024 * 1024;
#else
constexpr std::size_t kProbeStackSize = 256 * 1024;
#endif

}  // namespace

ProbeControl::~ProbeControl() {
    stop_all();
}

void ProbeControl::stop_all() {
    std::list<Probe> stopping;
    {
        const std::lock_guard lock{mutex_};
        for (Probe& probe : probes_) {
            probe.worker.request_stop();
        }
        stopping.splice(stopping.end(), probes_);
    }
    // Joined outside the lock: a probe's last step takes it.
}

std::optional<ProbeRequest> ProbeControl::parse(const cJSON* json, ProbeKind kind) {
    ProbeRequest request;
    std::optional<std::string> refusal;
    if (json == nullptr) {
        refusal = "";
    } else {
        refusal = parse_probe_members(json, kind, request);
        if (!refusal && !request.start) {
            log_probe_request(request);
            return request;
        }
        if (!refusal) {
            refusal = assign_probe_ports(network_.classifier_range(), rotation_, request);
        }
        if (!refusal && !probe_timing_valid(request)) {
            refusal = "Improper values of interval, refresh_period and duration";
        }
    }
    if (!refusal) {
        log_probe_request(request);
        return request;
    }
    if (!refusal->empty()) {
        log_error("%s", refusal->c_str());
    }
    if (running(kUserProbeName)) {
        publish_state(ProbeKind::User, ProbeState::Rejected);
    }
    return std::nullopt;
}

void ProbeControl::request(ProbeRequest request) {
    log_debug("PINGU_REQUEST looking for '%s'", printable(request.name).c_str());
    const bool is_running = running(request.name);
    if (request.start) {
        log_debug("PINGU_REQUEST to start");
        if (is_running) {
            log_debug("PINGU_REQUEST is already running");
            stop(request.name);
        }
        start(request);
        return;
    }
    log_debug("PINGU_REQUEST to stop");
    if (is_running) {
        stop(request.name);
    } else {
        log_debug("PINGU_REQUEST is not running");
    }
}

bool ProbeControl::start(const ProbeRequest& request) {
    log_debug("PINGU_START for '%s'", printable(request.name).c_str());
    reap();
    Probe* probe = nullptr;
    {
        const std::lock_guard lock{mutex_};
        const auto monitors = std::ranges::count_if(probes_, [](const Probe& other) {
            return other.kind == ProbeKind::Monitor && !other.finished;
        });
        if (request.kind == ProbeKind::Monitor &&
            static_cast<std::size_t>(monitors) >= kMaxMonitors) {
            log_error("PINGU_START for '%s' refused: %zu monitor probes run already",
                      printable(request.name).c_str(), kMaxMonitors);
        } else {
            probe = &probes_.emplace_front(request.name.substr(0, ProbeRequest::kNameMax),
                                           request.kind);
        }
    }
    if (probe == nullptr) {
        publish_state(request.kind, ProbeState::Rejected, request.name);
        return false;
    }
    try {
        probe->worker =
            Worker{[this, probe, request](const StopSignal& stop) { run(request, *probe, stop); },
                   kProbeStackSize};
    } catch (const std::system_error& failure) {
        log_error("Failed to create pingu thread for '%s': %s", printable(probe->name).c_str(),
                  failure.what());
        {
            const std::lock_guard lock{mutex_};
            probes_.pop_front();
        }
        publish_state(request.kind, ProbeState::Rejected, request.name);
        return false;
    }
    {
        const std::lock_guard lock{mutex_};
        probe->thread = probe->worker.thread_id();
        log_debug("PINGU_ACTIVE '%s':%lu at %p added", printable(probe->name).c_str(),
                  probe->thread, static_cast<const void*>(probe));
    }
    probe->registered.release();
    return true;
}

void ProbeControl::run(const ProbeRequest& request, Probe& probe, const StopSignal& stop) {
    probe.registered.acquire();
    // Wake-ups exactly at the deadlines: the default slack lets them come up to
    // 50 us late.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    const auto self = static_cast<unsigned long>(pthread_self());
    log_debug("PINGU_THREAD '%s' %lu started", printable(request.name).c_str(), self);
    const ProbeEnd end = run_probe(request, network_, publisher_, stop);
    if (end == ProbeEnd::Completed) {
        if (request.name == kUserProbeName && running(kUserProbeName)) {
            publish_state(ProbeKind::User, ProbeState::Completed);
        }
        log_debug("PINGU_THREAD '%s' %lu completed", printable(request.name).c_str(), self);
    } else if (end == ProbeEnd::Failed) {
        publish_state(request.kind, ProbeState::Rejected, request.name);
    }
    // Sockets and timers are closed by now, so a restarted probe finds its ports free.
    finish(probe);
}

void ProbeControl::finish(Probe& probe) {
    const std::lock_guard lock{mutex_};
    log_debug("PINGU_ACTIVE '%s':%lu at %p deleted", printable(probe.name).c_str(), probe.thread,
              static_cast<const void*>(&probe));
    probe.finished = true;
}

void ProbeControl::reap() {
    std::list<Probe> finished;
    {
        const std::lock_guard lock{mutex_};
        for (auto it = probes_.begin(); it != probes_.end();) {
            const auto next = std::next(it);
            if (it->finished) {
                finished.splice(finished.end(), probes_, it);
            }
            it = next;
        }
    }
    // Their threads are past their last step: the joins return at once.
}

bool ProbeControl::running(std::string_view name) const {
    const std::lock_guard lock{mutex_};
    return std::ranges::any_of(
        probes_, [name](const Probe& probe) { return !probe.finished && probe.name == name; });
}

void ProbeControl::stop(std::string_view name) {
    const std::string own{name};
    log_debug("PINGU_STOP for '%s'", printable(own).c_str());
    const bool interrupts_user =
        own.find(kUserProbeName) != std::string::npos && running(kUserProbeName);
    std::list<Probe> stopping;
    {
        const std::lock_guard lock{mutex_};
        for (auto it = probes_.begin(); it != probes_.end();) {
            const auto next = std::next(it);
            if (it->name == own) {
                it->worker.request_stop();
                stopping.splice(stopping.end(), probes_, it);
            }
            it = next;
        }
    }
    // Each thread ends once its sockets and timers are gone.
    stopping.clear();
    // Published once the thread is gone, so that nothing it sent (its "started"
    // or a last report) can follow the "interrupted".
    if (interrupts_user) {
        publish_state(ProbeKind::User, ProbeState::Interrupted);
    }
}

void ProbeControl::publish_state(ProbeKind kind, ProbeState state, std::string_view name) {
    publish_probe_state(publisher_, kind, state, name);
}

}  // namespace lld
