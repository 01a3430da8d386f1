// Probe reports: the texts a probe publishes on the metrics topic at each
// refresh. A user probe lists every delay of the period; a monitor probe
// condenses each path into order statistics and a delay histogram. Building a
// report consumes the samples it covers, so the next report starts afresh.
//
// Everything here is a pure function of its arguments; the probe thread owns the
// lists and does the publishing.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pingu/samples.hpp"

namespace lld {

// Histogram parameters in milliseconds: bins of hist_step_fine up to hist_switch,
// then of hist_step_coarse up to hist_end.
struct HistogramShape {
    std::int32_t hist_step_fine = 1, hist_step_coarse = 10, hist_switch = 20, hist_end = 500;
};

// Median of the positions from <= k < to. Hands back in `from` and `to` the
// lower and upper middle positions it used, which is how the quartiles find
// their halves. Two middle samples are added in 32 bits, as the reports always
// have. A position outside the list counts as 0. The samples must be sorted.
std::uint32_t sample_median(const Samples& samples, int& from, int& to);

// The samples, sorted, as a quoted, comma-separated list ("\"800,950,1210\"");
// empties the list.
std::string format_sample_list(Samples& samples);

// One monitor path field without its opening quote, from the sorted samples:
// count, minimum, quartiles,
// maximum, mean and mean absolute deviation in milliseconds, then one count per
// histogram bin up to the bin of the largest delay, then the count of delays at
// or past the last bin's upper edge if any, then the closing quote. Empties the
// list. Meant for 5 samples or more; fewer still give a well-formed field.
std::string format_path_stats(Samples& samples, const HistogramShape& shape);

// {"pingu_user":{"name":...,"a":<seq>,"p0":"...","p1":"...","s":"<wan>"}}.
// Paths are numbered by position and end at the first null; every reported list
// is emptied. Name and address are JSON-escaped.
std::string format_user_report(std::string_view name, std::uint32_t seq,
                               std::span<Samples* const> paths, std::string_view wan_address);

// The most a report may take: whatever the period holds, each datagram stays
// well within what the proxy link and its peer take.
inline constexpr std::size_t kMaxReportSize = 8192;

// The user report of a period as format_user_report gives it when it is at most
// `max_size` characters; a longer one is split into parts of at most that size,
// each the same object with the same "a" and two more members, "part" (1, 2, ...)
// and "parts" (their number), after "s". The parts carry the samples in order:
// "p0" sorted and cut where a part is full, then "p1"; a path with none of its
// samples in a part shows "". Together the parts hold every sample once.
std::vector<std::string> format_user_reports(std::string_view name, std::uint32_t seq,
                                             std::span<Samples* const> paths,
                                             std::string_view wan_address, std::size_t max_size);

// What the monitor report's "a" member carries.
struct MonitorFigures {
    std::int32_t interval, duration, port_classic, port_lld;
    HistogramShape shape;
};

// {"pingu_monitor":{ "name":...,"s":...,"a":"...","p0":"..."}}. A path with 4
// samples or fewer is left out and keeps its samples, so they count towards the
// next report; the other paths keep their position number and are emptied.
// Paths end at the first null. Name and address are JSON-escaped.
std::string format_monitor_report(std::string_view name, std::string_view wan_address,
                                  const MonitorFigures& figures, std::span<Samples* const> paths);

}  // namespace lld
