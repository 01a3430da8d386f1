#include "pingu/report.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <concepts>
#include <initializer_list>
#include <optional>
#include <utility>

#include "common/json.hpp"

namespace lld {

namespace {

// A path needs this many samples before its statistics mean anything.
constexpr std::size_t kMinStatsSamples = 5;

template <std::integral T>
void append_int(std::string& out, T value) {
    std::array<char, 24> digits;  // any 64-bit value with its sign
    const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), value);
    out.append(digits.data(), result.ptr);
}

// Microseconds as milliseconds with three decimals, in the form "%d.%03d" of
// (v / 1000, v % 1000) that the reports have always had. Only a wrapped deviation
// total is ever negative; it prints as printf would ("-1.-500", "0.-05").
void append_ms(std::string& out, std::int64_t us) {
    append_int(out, us / 1000);
    out += '.';
    std::int64_t fraction = us % 1000;
    if (fraction < 0) {
        out += '-';
        fraction = -fraction;
        if (fraction < 10) {
            out += '0';
        }
    } else {
        if (fraction < 100) {
            out += '0';
        }
        if (fraction < 10) {
            out += '0';
        }
    }
    append_int(out, fraction);
}

void append_figures(std::string& out, std::initializer_list<std::int64_t> figures) {
    for (const std::int64_t us : figures) {
        out += ',';
        append_ms(out, us);
    }
}

// Deviations wrap in 32 bits exactly as a signed 32-bit total would; the sum is
// kept unsigned only so that the wrap is defined.
std::int32_t mean_absolute_deviation(const Samples& samples, std::uint32_t mean, int n) {
    std::uint32_t total = 0;
    for (const std::uint32_t sample : samples) {
        const auto difference = static_cast<std::uint32_t>(sample - mean);
        const bool negative = static_cast<std::int32_t>(difference) < 0;
        total += negative ? 0U - difference : difference;
    }
    return static_cast<std::int32_t>(total) / n;
}

void append_histogram(std::string& out, const Samples& samples, const HistogramShape& shape) {
    // 64-bit edges: a shape in milliseconds times 1000 can pass the 32-bit range.
    std::int64_t step = std::int64_t{shape.hist_step_fine} * 1000;
    std::int64_t edge = step;
    std::int64_t coarse_start = std::int64_t{shape.hist_switch} * 1000;
    const std::int64_t end = std::int64_t{shape.hist_end} * 1000;

    auto current = samples.begin();
    // A step that doesn't advance would never reach the end; whatever is left
    // then goes to the final count.
    while (current != samples.end() && edge < end && step > 0) {
        if (edge > coarse_start) {
            step = std::int64_t{shape.hist_step_coarse} * 1000;
            edge = coarse_start + step;
            coarse_start = end;
            if (step <= 0) {
                break;
            }
        }
        const auto bin_end = std::find_if(current, samples.end(),
                                          [edge](std::uint32_t sample) { return sample >= edge; });
        out += ',';
        append_int(out, bin_end - current);
        current = bin_end;
        edge += step;
    }
    if (current != samples.end()) {
        out += ',';
        append_int(out, samples.end() - current);
    }
}

void append_quoted(std::string& out, std::string_view text) {
    out += '"';
    out += json_escape(text);
    out += '"';
}

}  // namespace

std::uint32_t sample_median(const Samples& samples, int& from, int& to) {
    // Wide enough that no pair of int positions overflows; a and b always lie
    // between from and to, so they fit back.
    const std::int64_t k = std::int64_t{to} - from;
    const auto a = static_cast<int>(from + (k - 1) / 2);
    const auto b = static_cast<int>(from + k / 2);
    from = a;
    to = b;
    const auto at = [&samples](int pos) -> std::optional<std::uint32_t> {
        if (pos < 0 || static_cast<std::size_t>(pos) >= samples.size()) {
            return std::nullopt;
        }
        return samples[static_cast<std::size_t>(pos)];
    };
    const auto low = at(a);
    const auto high = at(b);
    if (!low || !high) {
        return 0;
    }
    if (a == b) {
        return *low;
    }
    return static_cast<std::uint32_t>(*low + *high) / 2;
}

std::string format_sample_list(Samples& samples) {
    sort_samples(samples);
    std::string out = "\"";
    bool first = true;
    for (const std::uint32_t sample : samples) {
        if (!first) {
            out += ',';
        }
        first = false;
        append_int(out, sample);
    }
    samples.clear();
    out += '"';
    return out;
}

std::string format_path_stats(Samples& samples, const HistogramShape& shape) {
    sort_samples(samples);
    const int n = static_cast<int>(samples.size());
    std::string out;
    append_int(out, n);
    if (n == 0) {
        // Nothing to divide by: zero figures and no bins.
        append_figures(out, {0, 0, 0, 0, 0, 0, 0});
        out += '"';
        return out;
    }

    std::uint64_t sum = 0;
    for (const std::uint32_t sample : samples) {
        sum += sample;
    }
    // The mean of 32-bit values fits 32 bits.
    const auto mean = static_cast<std::uint32_t>(sum / static_cast<std::uint64_t>(n));
    const std::int32_t deviation = mean_absolute_deviation(samples, mean, n);

    int lower = 0;
    int upper = n;
    const std::uint32_t median = sample_median(samples, lower, upper);
    int first_from = 0;
    int first_to = lower;
    const std::uint32_t first_quartile = sample_median(samples, first_from, first_to);
    int third_from = upper;
    int third_to = n;
    const std::uint32_t third_quartile = sample_median(samples, third_from, third_to);

    const std::uint32_t minimum = samples.front();
    const std::uint32_t maximum = samples.back();

    append_figures(out,
                   {minimum, first_quartile, median, third_quartile, maximum, mean, deviation});
    append_histogram(out, samples, shape);
    samples.clear();
    out += '"';
    return out;
}

namespace {

// A user report of the given sample lists (texts without their quotes), with the
// part members when it is one of several.
std::string user_report_text(std::string_view name, std::uint32_t seq,
                             const std::vector<std::string>& lists, std::string_view wan_address,
                             std::optional<std::pair<std::size_t, std::size_t>> part) {
    std::string out = "{\"pingu_user\":{\"name\":";
    append_quoted(out, name);
    out += ",\"a\":";
    append_int(out, seq);
    for (std::size_t index = 0; index < lists.size(); ++index) {
        out += ",\"p";
        append_int(out, index);
        out += "\":\"";
        out += lists[index];
        out += '"';
    }
    out += ",\"s\":";
    append_quoted(out, wan_address);
    if (part) {
        out += ",\"part\":";
        append_int(out, part->first);
        out += ",\"parts\":";
        append_int(out, part->second);
    }
    out += "}}";
    return out;
}

}  // namespace

std::string format_user_report(std::string_view name, std::uint32_t seq,
                               std::span<Samples* const> paths, std::string_view wan_address) {
    return format_user_reports(name, seq, paths, wan_address, std::string::npos).front();
}

std::vector<std::string> format_user_reports(std::string_view name, std::uint32_t seq,
                                             std::span<Samples* const> paths,
                                             std::string_view wan_address, std::size_t max_size) {
    std::vector<std::vector<std::string>> numbers;
    std::vector<std::string> whole;
    for (Samples* path : paths) {
        if (path == nullptr) {
            break;
        }
        sort_samples(*path);
        auto& texts = numbers.emplace_back();
        for (const std::uint32_t sample : *path) {
            texts.push_back(std::to_string(sample));
        }
        std::string list = format_sample_list(*path);  // empties the path
        whole.push_back(list.substr(1, list.size() - 2));
    }
    std::string report = user_report_text(name, seq, whole, wan_address, std::nullopt);
    if (report.size() <= max_size) {
        return {std::move(report)};
    }
    // Each part has room for what its frame (with the widest part numbers) leaves.
    constexpr std::size_t kWidest = 99999;
    const std::vector<std::string> empty(numbers.size());
    const std::size_t frame =
        user_report_text(name, seq, empty, wan_address, std::pair{kWidest, kWidest}).size();
    const std::size_t room = max_size > frame ? max_size - frame : 1;
    std::vector<std::vector<std::string>> parts{empty};
    std::size_t used = 0;
    for (std::size_t path = 0; path < numbers.size(); ++path) {
        for (const std::string& text : numbers[path]) {
            std::string* list = &parts.back()[path];
            if (used > 0 && used + text.size() + (list->empty() ? 0 : 1) > room) {
                parts.push_back(empty);
                list = &parts.back()[path];
                used = 0;
            }
            used += text.size() + (list->empty() ? 0 : 1);
            *list += list->empty() ? text : "," + text;
        }
    }
    std::vector<std::string> reports;
    for (std::size_t index = 0; index < parts.size(); ++index) {
        reports.push_back(user_report_text(name, seq, parts[index], wan_address,
                                           std::pair{index + 1, parts.size()}));
    }
    return reports;
}

std::string format_monitor_report(std::string_view name, std::string_view wan_address,
                                  const MonitorFigures& figures, std::span<Samples* const> paths) {
    std::string out = "{\"pingu_monitor\":{ \"name\":";
    append_quoted(out, name);
    out += ",\"s\":";
    append_quoted(out, wan_address);
    out += ",\"a\":\"";
    const HistogramShape& shape = figures.shape;
    bool first = true;
    for (const std::int32_t figure :
         {figures.interval, figures.duration, figures.port_classic, figures.port_lld,
          shape.hist_step_fine, shape.hist_step_coarse, shape.hist_switch, shape.hist_end}) {
        if (!first) {
            out += ',';
        }
        first = false;
        append_int(out, figure);
    }
    out += '"';
    int index = 0;
    for (Samples* path : paths) {
        if (path == nullptr) {
            break;
        }
        if (path->size() >= kMinStatsSamples) {
            out += ",\"p";
            append_int(out, index);
            out += "\":\"";
            out += format_path_stats(*path, shape);
        }
        ++index;
    }
    out += "}}";
    return out;
}

}  // namespace lld
