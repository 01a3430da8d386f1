// Echoes from the reflector: the receive time (seconds, microseconds, little-endian),
// then 76-byte echoes, each on the path of its sequence number's low bit, where
// cycles 0 to 63 await them. Their delays make the user and the monitor reports.
#include <algorithm>

#include "common/json.hpp"
#include "fuzz.hpp"
#include "pingu/report.hpp"
#include "pingu/wire.hpp"

void lld::fuzz::run(std::span<const std::uint8_t> input, std::string_view /*text*/) {
    const auto le32 = [](const std::uint8_t* at) {
        return at[0] | at[1] << 8 | at[2] << 16 | static_cast<std::uint32_t>(at[3]) << 24;
    };
    std::array<ProbePath, 2> paths;
    for (std::uint32_t seq = 0; seq < 64; ++seq) {
        paths[seq & 1].timeout_ns = 1'000'000'000;
        paths[seq & 1].sent(seq, seq * 10'000'000);
    }
    for (auto echoes = input.subspan(std::min<std::size_t>(8, input.size())); !echoes.empty();) {
        const auto echo = echoes.first(std::min(echoes.size(), kProbeDatagramSize));
        echoes = echoes.subspan(echo.size());
        const auto delay = probe_delay(echo, le32(input.data()), le32(input.data() + 4));
        ProbePath& path = paths[echo[0] & 1];
        check(delay.has_value() == (echo.size() == kProbeDatagramSize));
        if (delay && path.answered(le32(echo.data()), 700'000'000)) {
            check(!path.answered(le32(echo.data()), 700'000'000));  // an echo counts once
            path.samples.push_back(*delay);
        }
    }
    const std::array<std::size_t, 2> counts{paths[0].samples.size(), paths[1].samples.size()};
    // Split or whole, the user reports carry every sample once.
    for (const std::size_t max_size : {kMaxReportSize, std::size_t{160}}) {
        std::array<Samples, 2> user{paths[0].samples, paths[1].samples};
        std::size_t reported = 0;
        for (const std::string& part : format_user_reports(
                 "user_pingu", 7, std::array{&user[0], &user[1]}, "198.51.100.2", max_size)) {
            const JsonPtr report = json_parse(part);
            const cJSON* body = cJSON_GetObjectItem(report.get(), "pingu_user");
            for (const char* name : {"p0", "p1"}) {
                const auto list = json_string_member(body, name).value_or("");
                reported += list.empty() ? 0 : std::ranges::count(list, ',') + 1;
            }
            check(body && part.size() <= max_size);
        }
        check(reported == counts[0] + counts[1]);
    }
    check(json_parse(format_monitor_report("m1", "198.51.100.2", {100, 0, 10101, 5001, {}},
                                           std::array{&paths[0].samples, &paths[1].samples})) &&
          paths[0].samples.size() == (counts[0] < 5 ? counts[0] : 0));
}
