#include "docsis/modem.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "common/json.hpp"
#include "common/log.hpp"

namespace lld {
namespace {

constexpr std::size_t kAggregateLimit = 512;
constexpr std::size_t kClassifierLimit = 512;
constexpr std::size_t kWanServiceLimit = 15;

// Record `index` of a table; the tool's bytes carry no alignment guarantee.
template <typename Record>
Record record_at(std::span<const std::uint8_t> table, std::size_t index) {
    Record record{};
    std::memcpy(&record, table.data() + index * sizeof(Record), sizeof(Record));
    return record;
}

template <typename Record>
std::size_t whole_records(std::span<const std::uint8_t> table) {
    return table.size() / sizeof(Record);
}

Argv modem_command(const char* query) {
    return {"ondrel_rpc_client", "arm", query};
}

int as_signed(std::uint32_t value) {
    return static_cast<int>(static_cast<std::int32_t>(value));
}

}  // namespace

std::optional<AggregateFlowInfo> parse_aggregate_info(std::span<const std::uint8_t> output) {
    if (whole_records<AggregateFlowInfo>(output) == 0) {
        return std::nullopt;
    }
    return record_at<AggregateFlowInfo>(output, 0);
}

std::optional<ClassifierEntry> find_classifier(std::span<const std::uint8_t> table,
                                               std::uint32_t sfid) {
    const std::size_t count = whole_records<ClassifierEntry>(table);
    for (std::size_t i = 0; i < count; ++i) {
        const auto entry = record_at<ClassifierEntry>(table, i);
        if (entry.class_id == 0) {
            break;
        }
        if (entry.sfid == sfid) {
            return entry;
        }
    }
    return std::nullopt;
}

bool wan_service_started(std::span<const std::uint8_t> output) {
    constexpr std::string_view kStarted = "started";
    return output.size() >= kStarted.size() &&
           std::equal(kStarted.begin(), kStarted.end(), output.begin());
}

std::vector<ServiceFlowEntry> parse_service_flows(std::span<const std::uint8_t> table) {
    const std::size_t count = whole_records<ServiceFlowEntry>(table);
    std::vector<ServiceFlowEntry> entries;
    entries.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto entry = record_at<ServiceFlowEntry>(table, i);
        if (entry.sfid == 0) {
            break;
        }
        entries.push_back(entry);
    }
    return entries;
}

std::string format_flow_stats(std::uint32_t ll_sfid, const ServiceFlowEntry& entry) {
    // The SFID and the 32-bit counters go out signed, as the cloud side has
    // always received them.
    std::array<char, 512> line{};
    std::snprintf(line.data(), line.size(), "%d,%s,%llu,%llu,%d,%d", as_signed(ll_sfid),
                  entry.direction != 0 ? "US" : "DS",
                  static_cast<unsigned long long>(entry.count64_a),
                  static_cast<unsigned long long>(entry.count64_b), as_signed(entry.count32_a),
                  as_signed(entry.count32_b));
    const JsonPtr root{cJSON_CreateObject()};
    cJSON* array = cJSON_AddArrayToObject(root.get(), "docsis");
    if (array == nullptr || !cJSON_AddItemToArray(array, cJSON_CreateString(line.data()))) {
        return {};
    }
    return json_print(root.get()).value_or("");
}

std::vector<std::uint8_t> Modem::query(Argv command, std::size_t limit) {
    return runner_.run(command, limit).output;
}

std::optional<AggregateFlowInfo> Modem::aggregate_info() {
    return parse_aggregate_info(query(modem_command("cm_aggserflow"), kAggregateLimit));
}

std::optional<ClassifierEntry> Modem::classifier(std::uint32_t sfid) {
    return find_classifier(query(modem_command("cm_pktclass"), kClassifierLimit), sfid);
}

std::optional<bool> Modem::wan_service_status() {
    const auto output = query({"sysevent", "get", "wan_service-status"}, kWanServiceLimit);
    if (output.empty()) {
        return std::nullopt;
    }
    return wan_service_started(output);
}

std::vector<std::uint8_t> Modem::service_flow_table(std::size_t limit) {
    return query(modem_command("cm_serflow"), limit);
}

PortRange Modem::classifier_range() {
    // Failures are deliberately not told apart: callers get 0-0 for a modem that
    // can't be asked, just as for one without a low-latency classifier. A modem
    // that did not answer in time is not asked a second question.
    const ChildResult aggregate = runner_.run(modem_command("cm_aggserflow"), kAggregateLimit);
    if (aggregate.status == -1) {
        return PortRange{};
    }
    const auto info = parse_aggregate_info(aggregate.output);
    const auto entry = classifier(info ? info->ll_sfid : 0);
    return entry ? PortRange{entry->port_low, entry->port_high} : PortRange{};
}

std::optional<std::string> Modem::low_latency_stats() {
    const auto info = aggregate_info();
    if (!info) {
        log_debug("LLD: get_asf_info failed ");
        return std::nullopt;
    }
    const auto table = service_flow_table();
    if (table.size() < sizeof(ServiceFlowEntry)) {
        log_debug("LLD: lld_get_sf_stats failed ");
        return std::nullopt;
    }
    for (const ServiceFlowEntry& entry : parse_service_flows(table)) {
        log_debug("LLD : LowLatencySFID=%d, FlowSID=%d ", as_signed(info->ll_sfid),
                  as_signed(entry.sfid));
        if (entry.sfid != info->ll_sfid) {
            continue;
        }
        log_debug("LLD SFID(%d) matching, returning the stats...", as_signed(info->ll_sfid));
        std::string stats = format_flow_stats(info->ll_sfid, entry);
        if (stats.empty()) {
            return std::nullopt;
        }
        return stats;
    }
    log_debug("LLD: lld_get_sf_stats failed ");
    return std::nullopt;
}

}  // namespace lld
