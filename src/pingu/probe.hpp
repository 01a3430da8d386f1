// One probe's run: every interval it sends the datagram on the classic path and,
// when a low-latency port was assigned, on the low-latency path; it turns the
// reflector's echoes into round-trip delays and reports them every refresh
// period, until its duration ends or it is asked to stop.
#pragma once

#include "common/publisher.hpp"
#include "common/worker.hpp"
#include "pingu/network.hpp"
#include "pingu/request.hpp"

namespace lld {

enum class ProbeEnd { Completed, Stopped, Failed };

// Runs on the calling thread (a probe's own).
ProbeEnd run_probe(const ProbeRequest& request, ProbeNetwork& network, Publisher& publisher,
                   const StopSignal& stop);

// Publishes a probe state on the status topic, after its debug line.
void publish_probe_state(Publisher& publisher, ProbeKind kind, ProbeState state,
                         std::string_view name = {});

}  // namespace lld
