// The modem tool's outputs: the aggregate record (the first 16 bytes), then a table
// read as classifiers and as service flows; the whole as the event store's answer.
#include "docsis/modem.hpp"
#include "common/json.hpp"
#include "fuzz.hpp"
#include "pingu/request.hpp"

void lld::fuzz::run(std::span<const std::uint8_t> input, std::string_view /*text*/) {
    wan_service_started(input);
    const auto info = parse_aggregate_info(input);
    const auto table = input.subspan(std::min(input.size(), sizeof(AggregateFlowInfo)));
    const std::uint32_t sfid = info ? info->ll_sfid : 0;
    if (const auto entry = find_classifier(table, sfid)) {
        // Its range is where a probe's low-latency ports come from.
        const PortRange range{entry->port_low, entry->port_high};
        ProbeRequest probe;
        std::int32_t rotation = 0;
        check(entry->class_id != 0 && entry->sfid == sfid &&
              (assign_probe_ports(range, rotation, probe) || range.low == range.high ||
               (probe.port_lld >= range.low && probe.port_lld <= range.high)));
    }
    for (const ServiceFlowEntry& flow : parse_service_flows(table)) {
        check(flow.sfid != 0 && (flow.sfid != sfid || json_parse(format_flow_stats(sfid, flow))));
    }
}
