// Probe control: the cloud's probe requests start, restart and stop probes, each
// on a thread of its own; the registry of running probes ("PINGU_ACTIVE" in the
// log) tells which run, and the user probe's state goes to the status topic.
#pragma once

#include <cjson/cJSON.h>

#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <semaphore>
#include <string>
#include <string_view>

#include "common/publisher.hpp"
#include "common/worker.hpp"
#include "pingu/network.hpp"
#include "pingu/request.hpp"

namespace lld {

// A probe that cannot start (its port taken, its reflector without an address, no
// thread or descriptor left) fails alone: an [ERR] line, and its request is
// answered "rejected" ({"user_pingu_state":"rejected"}, or for a monitor probe
// {"monitor_pingu_state":"rejected","name":"<name>"}); the others go on.
class ProbeControl {
  public:
    // Monitor probes that may run at once; more are refused.
    static constexpr std::size_t kMaxMonitors = 32;

    ProbeControl(ProbeNetwork& network, Publisher& publisher)
        : network_{network}, publisher_{publisher} {}
    // Stops every probe; a stopped probe publishes nothing more.
    ~ProbeControl();
    ProbeControl(const ProbeControl&) = delete;
    ProbeControl& operator=(const ProbeControl&) = delete;

    // Parses and checks a request, assigning its ports (main thread). A refusal
    // is logged, and answered with "rejected" while the user probe runs.
    std::optional<ProbeRequest> parse(const cJSON* request, ProbeKind kind);
    // Starts (a running probe of that name is stopped first) or stops a probe.
    void request(ProbeRequest request);
    bool start(const ProbeRequest& request);
    void stop(std::string_view name);
    // Stops every probe, publishing nothing.
    void stop_all();

    bool running(std::string_view name) const;
    void publish_state(ProbeKind kind, ProbeState state, std::string_view name = {});

  private:
    struct Probe {
        Probe(std::string probe_name, ProbeKind probe_kind)
            : name{std::move(probe_name)}, kind{probe_kind} {}
        std::string name;
        ProbeKind kind;
        unsigned long thread = 0;
        bool finished = false;                // under mutex_: the thread has removed it
        std::binary_semaphore registered{0};  // the thread waits for its entry
        Worker worker;
    };

    void run(const ProbeRequest& request, Probe& probe, const StopSignal& stop);
    void finish(Probe& probe);
    // Joins the threads of finished probes and forgets them (main thread).
    void reap();

    ProbeNetwork& network_;
    Publisher& publisher_;
    std::int32_t rotation_ = 0;  // main thread only

    mutable std::mutex mutex_;
    std::list<Probe> probes_;  // newest first; an entry stays put while its thread runs
};

}  // namespace lld
