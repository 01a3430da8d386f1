// An srServer session: a request datagram (the first line, cut as the server cuts
// it), then the modem's tables, one a second, each up to its terminating record.
#include <algorithm>

#include "docsis/stats_server.hpp"
#include "fuzz.hpp"

void lld::fuzz::run(std::span<const std::uint8_t> input, std::string_view /*text*/) {
    const auto line = static_cast<std::size_t>(std::ranges::find(input, '\n') - input.begin());
    const auto count = parse_stats_request(input.first(std::min(line, kStatsRequestMax)));
    StatsServerState state;
    if (count) {
        state.request(sockaddr_in{.sin_family = AF_INET, .sin_port = htons(40000)}, *count, 0);
    }
    auto table = input.subspan(std::min(line + 1, input.size()));
    for (int second = 0; second < 4 && state.active(); ++second) {
        const bool answered = table.size() >= sizeof(ServiceFlowEntry);
        std::size_t sent = 0;
        state.tick(table, [&](std::span<const Subscriber> to, std::string_view report) {
            sent += to.size();
            check(answered ? report.starts_with(kStatsReportPrefix) && report.ends_with('"') &&
                                 report.size() <= kStatsReplySize
                           : report == kStatsFailure);
        });
        // N + 1 reports in all, and none after an "err".
        check(*count > 0 && sent == 1 && state.active() == (answered && second < *count));
        const std::size_t records = parse_service_flows(table).size() + 1;
        table = table.subspan(std::min(table.size(), records * sizeof(ServiceFlowEntry)));
    }
}
