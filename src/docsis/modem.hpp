// Queries to the cable modem and the platform's event store. The modem's RPC
// tool writes raw fixed-size records in native byte order with no framing, so
// the records below mirror its layout byte for byte; fields the client never
// reads keep their place as padding. Parsing is kept apart from the child
// processes so that it can be exercised on plain byte buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "common/child.hpp"
#include "common/types.hpp"

namespace lld {

// Aggregate service-flow record.
struct AggregateFlowInfo {
    std::uint32_t pad_0;
    std::uint32_t pad_4;
    std::uint32_t ll_sfid;  // SFID of the low-latency service flow
    std::uint32_t pad_12;
};

// Classifier record; a zero class_id ends the table.
struct ClassifierEntry {
    std::uint32_t class_id;
    std::uint32_t sfid;  // the service flow this classifier feeds
    std::uint32_t pad_8;
    std::uint32_t pad_12;
    std::int32_t port_low;
    std::int32_t port_high;
    std::uint32_t pad_24;
    std::uint32_t pad_28;
};

// Service-flow record; a zero sfid ends the table. The counters are passed on
// exactly as the modem reports them.
struct ServiceFlowEntry {
    std::uint32_t sfid;
    std::uint32_t direction;  // 0 downstream, anything else upstream
    std::uint16_t tag16;
    std::uint16_t pad_10;
    std::uint32_t pad_12;
    std::uint64_t count64_a;
    std::uint64_t count64_b;
    std::uint32_t count32_a;
    std::uint32_t count32_b;
    std::uint64_t count64_c;
};

// The records are filled by memcpy from the tool's output, so their layout must
// match it on every target, 32-bit ARM included.
static_assert(sizeof(AggregateFlowInfo) == 16 && offsetof(AggregateFlowInfo, ll_sfid) == 8);
static_assert(sizeof(ClassifierEntry) == 32 && offsetof(ClassifierEntry, sfid) == 4 &&
              offsetof(ClassifierEntry, port_low) == 16 &&
              offsetof(ClassifierEntry, port_high) == 20);
static_assert(sizeof(ServiceFlowEntry) == 48 && offsetof(ServiceFlowEntry, tag16) == 8 &&
              offsetof(ServiceFlowEntry, count64_a) == 16 &&
              offsetof(ServiceFlowEntry, count64_b) == 24 &&
              offsetof(ServiceFlowEntry, count32_a) == 32 &&
              offsetof(ServiceFlowEntry, count32_b) == 36 &&
              offsetof(ServiceFlowEntry, count64_c) == 40);
static_assert(std::is_trivially_copyable_v<AggregateFlowInfo> &&
              std::is_trivially_copyable_v<ClassifierEntry> &&
              std::is_trivially_copyable_v<ServiceFlowEntry>);

// The first record of the aggregate output; nullopt when fewer than 16 bytes.
std::optional<AggregateFlowInfo> parse_aggregate_info(std::span<const std::uint8_t> output);

// The first classifier feeding `sfid`, searched up to the terminating record or
// the last whole record of the buffer.
std::optional<ClassifierEntry> find_classifier(std::span<const std::uint8_t> table,
                                               std::uint32_t sfid);

// Whether the event store's answer begins with "started" (case-sensitive).
bool wan_service_started(std::span<const std::uint8_t> output);

// The service-flow records before the terminating record, or all whole records
// of the buffer when it has none.
std::vector<ServiceFlowEntry> parse_service_flows(std::span<const std::uint8_t> table);

// The statistics JSON of the low-latency flow in cJSON_Print form; empty only
// when cJSON can't allocate.
std::string format_flow_stats(std::uint32_t ll_sfid, const ServiceFlowEntry& entry);

// Each query runs its tool afresh; the runner bounds how long it may take.
class Modem {
  public:
    // The size of the service-flow table a query reads at most.
    static constexpr std::size_t kServiceFlowLimit = 8096;

    explicit Modem(ChildRunner& runner) : runner_{runner} {}

    std::optional<AggregateFlowInfo> aggregate_info();
    std::optional<ClassifierEntry> classifier(std::uint32_t sfid);
    // Whether the WAN service has started; nullopt when the event store can't tell.
    std::optional<bool> wan_service_status();
    // The raw service-flow table, at most `limit` bytes; empty when the tool failed.
    std::vector<std::uint8_t> service_flow_table(std::size_t limit = kServiceFlowLimit);

    // The low-latency classifier's range; 0-0 when the modem gives no such
    // classifier, or can't be asked.
    PortRange classifier_range();
    // The low-latency flow's statistics JSON, or nullopt on any failure.
    std::optional<std::string> low_latency_stats();

  private:
    std::vector<std::uint8_t> query(Argv command, std::size_t limit);

    ChildRunner& runner_;
};

}  // namespace lld
