// srServer: local programs ask for per-second service-flow statistics with a
// "stats N" datagram on UDP port 52418 and then receive N + 1 reports, one a
// second, each listing every flow of the modem with the change of its counters
// over that second.
//
// The request parser and the report builder are pure; the subscriber book-keeping
// lives in srServerState, which knows nothing of sockets or clocks, so whole
// sessions can be replayed in tests. Only the thread in sr_server.cpp does I/O.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/list.hpp"
#include "docsis/modem.hpp"

namespace lld {

inline constexpr std::uint16_t kSrServerPort = 52418;
// Poll output and report share one size, so a report always fits a datagram.
inline constexpr std::size_t kSrTableSize = 8192;
inline constexpr std::size_t kSrReplySize = 8192;
// Longer requests are cut to this; nothing valid needs more.
inline constexpr std::size_t kSrRequestMax = 63;
// Every subscriber costs memory and a datagram a second; requests are not
// authenticated, so their number must be bounded.
inline constexpr int kSrMaxSubscribers = 64;

inline constexpr std::string_view kSrRequestWord = "stats ";
inline constexpr std::string_view kSrReportPrefix = "\"stats\":\"";
inline constexpr std::string_view kSrFailure = "err";

struct srSubscriber {
    std::int32_t remaining;  // reports still due after the next one
    sockaddr_in address;     // where reports go: the first request's address and port
};

using srSamples = tList<serflow_entry>;

// The count of a "stats N" request, or nullopt for anything to be ignored: fewer
// than 7 bytes, another first word, no number, a number outside 32 bits, or a
// count that is not positive. Blanks may precede the number; text after it is
// ignored; the text ends at the first NUL.
std::optional<std::int32_t> parse_stats_request(std::span<const std::uint8_t> datagram);

// One flow's text: sfid, direction, tag16, then the five counter changes from
// `previous` to `now`, each wrapping in its field's width, every field followed
// by a comma.
std::string format_flow_delta(const serflow_entry& now, const serflow_entry& previous);

// Appends `record`'s text to `reply` when it fits in kSrReplySize, measured
// against the sample stored in `samples` under its sfid (a flow seen for the
// first time is its own sample, so all its changes are 0), and then makes the
// record the stored sample. Returns the length appended: 0 when it did not fit
// or no memory was left for a new sample; a flow that did not fit keeps its
// sample, so its next change still spans from the last one reported.
std::size_t srServerFormat(const serflow_entry& record, srSamples& samples, std::string& reply);

// The report for one poll's output `table`: the prefix, then the text of each
// whole record up to the first with sfid 0, with the very last character made a
// double quote. Records that do not fit in kSrReplySize are left out.
std::string build_sr_report(std::span<const std::uint8_t> table, srSamples& samples);

// The subscribers and the previous samples.
class srServerState {
  public:
    using Sender = std::function<void(const sockaddr_in& to, std::string_view datagram)>;

    // A valid request for `count` reports from `from`. True when it made an idle
    // server active; the caller then starts the one-second grid at once.
    bool request(const sockaddr_in& from, std::int32_t count);

    // One second's work on a poll's output: a report to every subscriber, or
    // "err" to every subscriber followed by dropping them all when the output
    // holds no whole record.
    void tick(std::span<const std::uint8_t> table, const Sender& send);

    bool active() const { return !srSubscribers.empty(); }
    const tList<srSubscriber>& subscribers() const { return srSubscribers; }

  private:
    void srServerSubscribe(const sockaddr_in& from, std::int32_t count);
    void srServerSend(std::string_view datagram, const Sender& send);

    tList<srSubscriber> srSubscribers;  // newest first; also the send order
    srSamples srPrevSamples;
};

// Opens and binds the server's socket and starts its thread. 0 on success,
// otherwise an errno value: EBUSY when it already runs, or the failure to create
// the thread or its stop descriptor. A socket that can't be opened or bound is
// logged and the thread runs without it.
int srServerInit();
// Stops and joins the thread; a no-op when it doesn't run.
void srServerShutdown();

}  // namespace lld
