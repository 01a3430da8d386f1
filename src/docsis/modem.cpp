#include "docsis/modem.hpp"

#include <cjson/cJSON.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/log.hpp"
#include "common/shell.hpp"

namespace lld {
namespace {

struct CjsonDeleter {
    void operator()(cJSON* item) const { cJSON_Delete(item); }
};
using CjsonPtr = std::unique_ptr<cJSON, CjsonDeleter>;

struct CjsonFree {
    void operator()(char* text) const { cJSON_free(text); }
};

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

std::optional<std::vector<std::uint8_t>> run_tool(std::string_view command, std::size_t limit) {
    return shell().read_output(std::string{command}, limit);
}

}  // namespace

std::optional<asf_info> parse_asf_info(std::span<const std::uint8_t> output) {
    if (whole_records<asf_info>(output) == 0) {
        return std::nullopt;
    }
    return record_at<asf_info>(output, 0);
}

std::optional<pktclass_entry> find_pktclass_entry(std::span<const std::uint8_t> table,
                                                  std::uint32_t sfid) {
    const std::size_t count = whole_records<pktclass_entry>(table);
    for (std::size_t i = 0; i < count; ++i) {
        const auto entry = record_at<pktclass_entry>(table, i);
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

std::vector<serflow_entry> parse_serflow_table(std::span<const std::uint8_t> table) {
    const std::size_t count = whole_records<serflow_entry>(table);
    std::vector<serflow_entry> entries;
    entries.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto entry = record_at<serflow_entry>(table, i);
        if (entry.sfid == 0) {
            break;
        }
        entries.push_back(entry);
    }
    return entries;
}

std::string format_sf_stats(std::uint32_t ll_sfid, const serflow_entry& entry) {
    // The SFID and the 32-bit counters go out signed, as the cloud side has
    // always received them.
    std::array<char, 512> line{};
    std::snprintf(line.data(), line.size(), "%d,%s,%llu,%llu,%d,%d",
                  static_cast<int>(static_cast<std::int32_t>(ll_sfid)),
                  entry.direction != 0 ? "US" : "DS",
                  static_cast<unsigned long long>(entry.count64_a),
                  static_cast<unsigned long long>(entry.count64_b),
                  static_cast<int>(static_cast<std::int32_t>(entry.count32_a)),
                  static_cast<int>(static_cast<std::int32_t>(entry.count32_b)));

    CjsonPtr root{cJSON_CreateObject()};
    CjsonPtr array{cJSON_CreateArray()};
    if (!root || !array) {
        return {};
    }
    CjsonPtr text{cJSON_CreateString(line.data())};
    if (!text || !cJSON_AddItemToArray(array.get(), text.get())) {
        return {};
    }
    text.release();  // owned by the array from here on
    if (!cJSON_AddItemToObject(root.get(), "docsis", array.get())) {
        return {};
    }
    array.release();  // owned by the object from here on

    const std::unique_ptr<char, CjsonFree> printed{cJSON_Print(root.get())};
    if (!printed) {
        return {};
    }
    return std::string{printed.get()};
}

int get_asf_info(asf_info* out) {
    if (out == nullptr) {
        return -1;
    }
    const auto output = run_tool(kAggServFlowCommand, kAggServFlowLimit);
    if (!output) {
        return -1;
    }
    const auto info = parse_asf_info(*output);
    if (!info) {
        return -1;
    }
    *out = *info;
    return 0;
}

int get_pktclass_entry(std::uint32_t sfid, pktclass_entry* out) {
    if (out == nullptr) {
        return -1;
    }
    const auto table = run_tool(kPktClassCommand, kPktClassLimit);
    if (!table) {
        return -1;
    }
    const auto entry = find_pktclass_entry(*table, sfid);
    if (!entry) {
        return -1;
    }
    *out = *entry;
    return 0;
}

int get_wan_service_status(int* started) {
    if (started == nullptr) {
        return -1;
    }
    *started = 0;
    const auto output = run_tool(kWanServiceCommand, kWanServiceLimit);
    if (!output || output->empty()) {
        return -1;
    }
    *started = wan_service_started(*output) ? 1 : 0;
    return 0;
}

int lld_get_port_range(std::span<char> buffer) {
    if (buffer.empty()) {
        return -1;
    }
    // Failures are deliberately not told apart: callers get "0-0" for a modem
    // that can't be asked, just as for one without a low-latency classifier.
    asf_info info{};
    pktclass_entry entry{};
    static_cast<void>(get_asf_info(&info));
    static_cast<void>(get_pktclass_entry(info.ll_sfid, &entry));
    std::snprintf(buffer.data(), buffer.size(), "%d-%d", static_cast<int>(entry.port_low),
                  static_cast<int>(entry.port_high));
    return 0;
}

std::optional<std::string> lld_get_sf_stats() {
    asf_info info{};
    if (get_asf_info(&info) != 0) {
        lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] LLD: get_asf_info failed \n");
        return std::nullopt;
    }

    const auto table = run_tool(kServFlowCommand, kServFlowLimit);
    if (!table) {
        lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] LLD: Failed to get GET_SF_STATS \n");
    }
    if (!table || table->size() < sizeof(serflow_entry)) {
        lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] LLD: lld_get_sf_stats failed \n");
        return std::nullopt;
    }

    for (const serflow_entry& entry : parse_serflow_table(*table)) {
        lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] LLD : LowLatencySFID=%d, FlowSID=%d \n",
                static_cast<int>(static_cast<std::int32_t>(info.ll_sfid)),
                static_cast<int>(static_cast<std::int32_t>(entry.sfid)));
        if (entry.sfid != info.ll_sfid) {
            continue;
        }
        lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] LLD SFID(%d) matching, returning the stats...\n",
                static_cast<int>(static_cast<std::int32_t>(info.ll_sfid)));
        std::string stats = format_sf_stats(info.ll_sfid, entry);
        if (stats.empty()) {
            return std::nullopt;
        }
        return stats;
    }

    lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] LLD: lld_get_sf_stats failed \n");
    return std::nullopt;
}

}  // namespace lld
