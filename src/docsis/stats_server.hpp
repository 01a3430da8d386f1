// srServer: local programs ask for per-second service-flow statistics with a
// "stats N" datagram on UDP port 52418 and then receive N + 1 reports, one a
// second, each listing every flow of the modem with the change of its counters
// over that second.
//
// The request parser and the report builder are pure; the subscriber book-keeping
// lives in StatsServerState, which knows nothing of sockets or clocks, so whole
// sessions can be replayed in tests. Only StatsServer's thread does I/O.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/fd.hpp"
#include "common/worker.hpp"
#include "docsis/modem.hpp"

namespace lld {

inline constexpr std::uint16_t kStatsServerPort = 52418;
// Poll output and report share one size, so a report always fits a datagram.
inline constexpr std::size_t kStatsTableSize = 8192;
inline constexpr std::size_t kStatsReplySize = 8192;
// Longer requests are cut to this; nothing valid needs more.
inline constexpr std::size_t kStatsRequestMax = 63;
// Every subscriber costs memory and a datagram a second; requests are not
// authenticated, so their number must be bounded, and so must each one's count
// (an hour of reports), so that the slots free up again.
inline constexpr std::size_t kMaxSubscribers = 64;
inline constexpr std::int32_t kMaxStatsCount = 3600;

inline constexpr std::string_view kStatsRequestWord = "stats ";
inline constexpr std::string_view kStatsReportPrefix = "\"stats\":\"";
inline constexpr std::string_view kStatsFailure = "err";

struct Subscriber {
    std::int32_t remaining;  // reports still due after the next one
    sockaddr_in address;     // where reports go: the first request's address and port
    std::size_t via;         // the server socket the request came in on
};

// The last reported record of each flow, by sfid.
using FlowSamples = std::unordered_map<std::uint32_t, ServiceFlowEntry>;

// The count of a "stats N" request, or nullopt for anything to be ignored: fewer
// than 7 bytes, another first word, no number, a number outside 32 bits, or a
// count that is not positive. A count above kMaxStatsCount is taken as that.
// Blanks may precede the number; text after it is ignored; the text ends at the
// first NUL.
std::optional<std::int32_t> parse_stats_request(std::span<const std::uint8_t> datagram);

// One flow's text: sfid, direction, tag16, then the five counter changes from
// `previous` to `now`, each wrapping in its field's width, every field followed
// by a comma.
std::string format_flow_delta(const ServiceFlowEntry& now, const ServiceFlowEntry& previous);

// The report for one poll's output `table`: the prefix, then the text of each
// whole record up to the first with sfid 0, with the very last character made a
// double quote. Each flow's change is measured against its sample (a flow seen
// for the first time is its own sample, so all its changes are 0), and the
// record then becomes its sample. The report stops before the first flow that
// would take it past kStatsReplySize; that flow keeps its sample, so its next
// change still spans from the last one reported.
std::string build_stats_report(std::span<const std::uint8_t> table, FlowSamples& samples);

// The subscribers and the previous samples.
class StatsServerState {
  public:
    using Sender = std::function<void(std::span<const Subscriber> to, std::string_view datagram)>;

    // A valid request for `count` reports from `from`, on server socket `via`.
    // True when it made an idle server active; the caller then starts the
    // one-second grid at once.
    bool request(const sockaddr_in& from, std::int32_t count, std::size_t via);

    // One second's work on a poll's output: a report to every subscriber, or
    // "err" to every subscriber followed by dropping them all when the output
    // holds no whole record.
    void tick(std::span<const std::uint8_t> table, const Sender& send);

    bool active() const { return !subscribers_.empty(); }
    const std::vector<Subscriber>& subscribers() const { return subscribers_; }

  private:
    void subscribe(const sockaddr_in& from, std::int32_t count, std::size_t via);
    void send_all(std::string_view datagram, const Sender& send);

    std::vector<Subscriber> subscribers_;  // newest first; also the send order
    FlowSamples samples_;
};

class StatsServer {
  public:
    // Binds a socket on each of the addresses (the loopback and the LAN's, never
    // the WAN's) before the thread exists, so that a request sent as soon as
    // start-up returns is never lost. A socket that can't be opened or bound is
    // logged and the thread runs without it.
    StatsServer(Modem& modem, const std::vector<std::string>& addresses,
                std::uint16_t port = kStatsServerPort);

  private:
    void run(const StopSignal& stop);
    void arm_timer();
    void on_timer();
    void on_request(std::size_t via);
    // One datagram to each of `to`, a call per server socket.
    void send_report(std::span<const Subscriber> to, std::string_view datagram);

    Modem& modem_;
    std::vector<UniqueFd> sockets_;
    UniqueFd timer_;
    StatsServerState state_;         // the server thread's alone
    timespec deadline_{};            // when the next report is due, on the monotonic clock
    std::vector<mmsghdr> messages_;  // send_report's, kept for the next second
    Worker worker_;                  // last: stopped before the rest goes
};

}  // namespace lld
