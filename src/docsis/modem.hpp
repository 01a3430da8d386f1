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
#include <string_view>
#include <type_traits>
#include <vector>

namespace lld {

inline constexpr std::string_view kAggServFlowCommand = "ondrel_rpc_client arm cm_aggserflow";
inline constexpr std::string_view kPktClassCommand = "ondrel_rpc_client arm cm_pktclass";
inline constexpr std::string_view kServFlowCommand = "ondrel_rpc_client arm cm_serflow";
inline constexpr std::string_view kWanServiceCommand = "sysevent get wan_service-status";

// Aggregate service-flow record.
struct asf_info {
    std::uint32_t pad_0;
    std::uint32_t pad_4;
    std::uint32_t ll_sfid;  // SFID of the low-latency service flow
    std::uint32_t pad_12;
};

// Classifier record; a zero class_id ends the table.
struct pktclass_entry {
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
struct serflow_entry {
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
static_assert(sizeof(asf_info) == 16 && offsetof(asf_info, ll_sfid) == 8);
static_assert(sizeof(pktclass_entry) == 32 && offsetof(pktclass_entry, sfid) == 4 &&
              offsetof(pktclass_entry, port_low) == 16 &&
              offsetof(pktclass_entry, port_high) == 20);
static_assert(sizeof(serflow_entry) == 48 && offsetof(serflow_entry, tag16) == 8 &&
              offsetof(serflow_entry, count64_a) == 16 &&
              offsetof(serflow_entry, count64_b) == 24 &&
              offsetof(serflow_entry, count32_a) == 32 &&
              offsetof(serflow_entry, count32_b) == 36 && offsetof(serflow_entry, count64_c) == 40);
static_assert(std::is_trivially_copyable_v<asf_info> &&
              std::is_trivially_copyable_v<pktclass_entry> &&
              std::is_trivially_copyable_v<serflow_entry>);

// Output limits of the tool runs; the tool's output beyond them is ignored.
inline constexpr std::size_t kAggServFlowLimit = 512;
inline constexpr std::size_t kPktClassLimit = 512;
inline constexpr std::size_t kServFlowLimit = 8096;
inline constexpr std::size_t kWanServiceLimit = 15;

// The first record of the aggregate output; nullopt when fewer than 16 bytes.
std::optional<asf_info> parse_asf_info(std::span<const std::uint8_t> output);

// The first classifier feeding `sfid`, searched up to the terminating record or
// the last whole record of the buffer.
std::optional<pktclass_entry> find_pktclass_entry(std::span<const std::uint8_t> table,
                                                  std::uint32_t sfid);

// Whether the event store's answer begins with "started" (case-sensitive).
bool wan_service_started(std::span<const std::uint8_t> output);

// The service-flow records before the terminating record, or all whole records
// of the buffer when it has none.
std::vector<serflow_entry> parse_serflow_table(std::span<const std::uint8_t> table);

// The statistics JSON of the low-latency flow in cJSON_Print form; empty only
// when cJSON can't allocate.
std::string format_sf_stats(std::uint32_t ll_sfid, const serflow_entry& entry);

// Each query runs its tool afresh; 0 on success, -1 on failure. Outputs are
// written only on success, except that `started` is cleared first.
int get_asf_info(asf_info* out);
int get_pktclass_entry(std::uint32_t sfid, pktclass_entry* out);
int get_wan_service_status(int* started);

// Writes the low-latency classifier's range as "%d-%d", truncated to the buffer
// and NUL-terminated; "0-0" when the modem gives no such classifier. -1 only for
// an empty buffer.
int lld_get_port_range(std::span<char> buffer);

// The low-latency flow's statistics JSON, or nullopt on any failure.
std::optional<std::string> lld_get_sf_stats();

}  // namespace lld
