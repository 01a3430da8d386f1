// Development stand-in for the cable modem's RPC tool. It answers the three table queries the
// client makes with raw records in native byte order, built from a small text file, so that tests
// can lay out the modem's tables, let its counters move and make the tool misbehave.
//
// Every word the client must not read is filled with a non-zero marker (0xF111xxxx, low half the
// byte offset): a reader that takes a field from the wrong offset gets an implausible value
// instead of a lucky zero.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace {

// The state file is written by hand or by a test; anything this large is a mistake, and the bounds
// keep a runaway file from turning into a runaway allocation.
constexpr std::size_t kMaxStateBytes = std::size_t{1} << 20;
constexpr std::size_t kMaxLineLength = 1024;

enum class Command : std::size_t { Aggregate, Classifiers, Flows };
constexpr std::size_t kCommandCount = 3;
constexpr std::array<std::string_view, kCommandCount> kCommandNames{"cm_aggserflow", "cm_pktclass",
                                                                    "cm_serflow"};

std::optional<Command> command_by_name(std::string_view name) {
    for (std::size_t i = 0; i < kCommandCount; ++i) {
        if (kCommandNames[i] == name) {
            return static_cast<Command>(i);
        }
    }
    return std::nullopt;
}

constexpr std::size_t index_of(Command command) {
    return static_cast<std::size_t>(command);
}

enum class Fault { NoOutput, Truncated };

struct Classifier {
    std::uint32_t class_id = 0;
    std::uint32_t sfid = 0;
    std::int32_t port_low = 0;
    std::int32_t port_high = 0;
};

struct Flow {
    std::uint32_t sfid = 0;
    std::uint32_t direction = 0;
    std::uint16_t tag16 = 0;
    std::uint64_t count64_a = 0;
    std::uint64_t count64_b = 0;
    std::uint32_t count32_a = 0;
    std::uint32_t count32_b = 0;
    std::uint64_t count64_c = 0;
    std::uint64_t rate = 0;  // added to every counter per elapsed second
};

struct ModemState {
    std::optional<std::uint32_t> ll_sfid;
    std::vector<Classifier> classifiers;
    std::vector<Flow> flows;
    std::optional<std::int64_t> epoch;
    std::array<std::optional<Fault>, kCommandCount> faults{};
    std::array<bool, kCommandCount> unterminated{};
};

// ---------------------------------------------------------------------------------------------
// State file

using Error = std::optional<std::string>;

template <typename T>
std::optional<T> parse_number(std::string_view word) {
    static_assert(std::is_integral_v<T>);
    T value{};
    const char* const end = word.data() + word.size();
    const auto [stop, status] = std::from_chars(word.data(), end, value);
    if (status != std::errc{} || stop != end) {
        return std::nullopt;
    }
    return value;
}

// A word from the file as it may be echoed in a message: the file can hold anything, the
// terminal should not receive it.
std::string shown(std::string_view word) {
    std::string out{word};
    for (char& c : out) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7f) {
            c = '?';
        }
    }
    return out;
}

template <typename T>
Error read_field(std::string_view word, std::string_view name, T& out) {
    const std::optional<T> value = parse_number<T>(word);
    if (!value) {
        return std::string{name} + ": not a number in range: '" + shown(word) + "'";
    }
    out = *value;
    return std::nullopt;
}

std::vector<std::string_view> split_words(std::string_view line) {
    constexpr std::string_view kBlanks = " \t\r\v\f";
    std::vector<std::string_view> words;
    std::size_t pos = 0;
    while ((pos = line.find_first_not_of(kBlanks, pos)) != std::string_view::npos) {
        const std::size_t end = std::min(line.find_first_of(kBlanks, pos), line.size());
        words.push_back(line.substr(pos, end - pos));
        pos = end;
    }
    return words;
}

Error command_argument(std::string_view word, Command& out) {
    const std::optional<Command> command = command_by_name(word);
    if (!command) {
        return "unknown command '" + shown(word) + "'";
    }
    out = *command;
    return std::nullopt;
}

Error apply_line(const std::vector<std::string_view>& words, ModemState& state) {
    const std::string_view key = words.front();
    const std::size_t args = words.size() - 1;

    if (key == "epoch") {
        if (args != 1) {
            return "usage: epoch <unix seconds>";
        }
        if (state.epoch) {
            return "epoch given twice";
        }
        std::int64_t epoch = 0;
        if (Error e = read_field(words[1], "epoch", epoch)) {
            return e;
        }
        state.epoch = epoch;
        return std::nullopt;
    }

    if (key == "aggregate") {
        if (args != 1) {
            return "usage: aggregate <ll_sfid>";
        }
        if (state.ll_sfid) {
            return "aggregate given twice";
        }
        std::uint32_t sfid = 0;
        if (Error e = read_field(words[1], "ll_sfid", sfid)) {
            return e;
        }
        state.ll_sfid = sfid;
        return std::nullopt;
    }

    if (key == "classifier") {
        if (args != 4) {
            return "usage: classifier <class_id> <sfid> <port_low> <port_high>";
        }
        Classifier c;
        if (Error e = read_field(words[1], "class_id", c.class_id)) {
            return e;
        }
        if (Error e = read_field(words[2], "sfid", c.sfid)) {
            return e;
        }
        if (Error e = read_field(words[3], "port_low", c.port_low)) {
            return e;
        }
        if (Error e = read_field(words[4], "port_high", c.port_high)) {
            return e;
        }
        state.classifiers.push_back(c);
        return std::nullopt;
    }

    if (key == "flow") {
        if (args != 8 && args != 9) {
            return "usage: flow <sfid> <direction> <tag16> <count64_a> <count64_b> <count32_a> "
                   "<count32_b> <count64_c> [<rate>]";
        }
        Flow f;
        if (Error e = read_field(words[1], "sfid", f.sfid)) {
            return e;
        }
        if (Error e = read_field(words[2], "direction", f.direction)) {
            return e;
        }
        if (Error e = read_field(words[3], "tag16", f.tag16)) {
            return e;
        }
        if (Error e = read_field(words[4], "count64_a", f.count64_a)) {
            return e;
        }
        if (Error e = read_field(words[5], "count64_b", f.count64_b)) {
            return e;
        }
        if (Error e = read_field(words[6], "count32_a", f.count32_a)) {
            return e;
        }
        if (Error e = read_field(words[7], "count32_b", f.count32_b)) {
            return e;
        }
        if (Error e = read_field(words[8], "count64_c", f.count64_c)) {
            return e;
        }
        if (args == 9) {
            if (Error e = read_field(words[9], "rate", f.rate)) {
                return e;
            }
        }
        state.flows.push_back(f);
        return std::nullopt;
    }

    if (key == "fail") {
        if (args != 2) {
            return "usage: fail <cm_aggserflow|cm_pktclass|cm_serflow> <none|truncated>";
        }
        Command command{};
        if (Error e = command_argument(words[1], command)) {
            return e;
        }
        Fault fault{};
        if (words[2] == "none") {
            fault = Fault::NoOutput;
        } else if (words[2] == "truncated") {
            fault = Fault::Truncated;
        } else {
            return "unknown failure '" + shown(words[2]) + "' (none or truncated)";
        }
        std::optional<Fault>& slot = state.faults[index_of(command)];
        if (slot) {
            return "fail " + std::string{words[1]} + " given twice";
        }
        slot = fault;
        return std::nullopt;
    }

    if (key == "noterm") {
        if (args != 1) {
            return "usage: noterm <cm_pktclass|cm_serflow>";
        }
        Command command{};
        if (Error e = command_argument(words[1], command)) {
            return e;
        }
        if (command == Command::Aggregate) {
            return "noterm: cm_aggserflow has no table";
        }
        state.unterminated[index_of(command)] = true;
        return std::nullopt;
    }

    return "unknown item '" + shown(key) + "'";
}

std::variant<ModemState, std::string> parse_state(std::string_view text) {
    ModemState state;
    std::size_t line_number = 0;
    while (!text.empty()) {
        ++line_number;
        const std::size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);

        const std::string where = "line " + std::to_string(line_number) + ": ";
        if (line.size() > kMaxLineLength) {
            return where + "line longer than " + std::to_string(kMaxLineLength) + " characters";
        }
        line = line.substr(0, line.find('#'));
        const std::vector<std::string_view> words = split_words(line);
        if (words.empty()) {
            continue;
        }
        if (Error e = apply_line(words, state)) {
            return where + *e;
        }
    }
    return state;
}

struct LoadedState {
    ModemState state;
    std::int64_t epoch = 0;  // the epoch line, else the file's modification time
};

std::variant<LoadedState, std::string> load_state(const std::string& path) {
    std::ifstream in{path, std::ios::binary};
    if (!in) {
        return path + ": " + std::strerror(errno);
    }
    std::string text(kMaxStateBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad()) {
        return path + ": read error";
    }
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxStateBytes) {
        return path + ": larger than " + std::to_string(kMaxStateBytes) + " bytes";
    }

    auto parsed = parse_state(text);
    if (auto* error = std::get_if<std::string>(&parsed)) {
        return path + ": " + *error;
    }
    LoadedState loaded{std::get<ModemState>(std::move(parsed))};
    if (loaded.state.epoch) {
        loaded.epoch = *loaded.state.epoch;
    } else {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) {
            return path + ": " + std::strerror(errno);
        }
        loaded.epoch = info.st_mtime;
    }
    return loaded;
}

// ---------------------------------------------------------------------------------------------
// Records

using Bytes = std::vector<std::byte>;

// One record under construction. Offsets are template arguments so a field that would spill past
// the record is a compile error rather than a quiet overrun.
template <std::size_t Size>
class Record {
  public:
    static constexpr std::size_t kSize = Size;

    template <std::size_t Offset, typename T>
    void put(T value) {
        static_assert(std::is_integral_v<T>);
        static_assert(Offset + sizeof(T) <= Size, "field runs past the record");
        std::memcpy(bytes_.data() + Offset, &value, sizeof value);
    }

    template <std::size_t Offset>
    void fill_word() {
        put<Offset>(static_cast<std::uint32_t>(0xF1110000U | Offset));
    }

    void append_to(Bytes& out) const { out.insert(out.end(), bytes_.begin(), bytes_.end()); }

  private:
    std::array<std::byte, Size> bytes_{};
};

using AggregateRecord = Record<16>;
using ClassifierRecord = Record<32>;
using FlowRecord = Record<48>;

std::size_t record_size(Command command) {
    switch (command) {
        case Command::Aggregate:
            return AggregateRecord::kSize;
        case Command::Classifiers:
            return ClassifierRecord::kSize;
        case Command::Flows:
            return FlowRecord::kSize;
    }
    return 0;
}

void append_aggregate(std::uint32_t ll_sfid, Bytes& out) {
    AggregateRecord r;
    r.fill_word<0>();
    r.fill_word<4>();
    r.put<8>(ll_sfid);
    r.fill_word<12>();
    r.append_to(out);
}

void append_classifier(const Classifier& c, Bytes& out) {
    ClassifierRecord r;
    r.put<0>(c.class_id);
    r.put<4>(c.sfid);
    r.fill_word<8>();
    r.fill_word<12>();
    r.put<16>(c.port_low);
    r.put<20>(c.port_high);
    r.fill_word<24>();
    r.fill_word<28>();
    r.append_to(out);
}

void append_flow(const Flow& f, std::uint64_t elapsed, Bytes& out) {
    // Unsigned arithmetic wraps: 64-bit counters modulo 2^64, and the truncation of the 32-bit
    // ones gives modulo 2^32, as a modem's own counters would.
    const std::uint64_t growth = f.rate * elapsed;
    FlowRecord r;
    r.put<0>(f.sfid);
    r.put<4>(f.direction);
    r.put<8>(f.tag16);
    r.put<10>(static_cast<std::uint16_t>(0xF10A));
    r.fill_word<12>();
    r.put<16>(static_cast<std::uint64_t>(f.count64_a + growth));
    r.put<24>(static_cast<std::uint64_t>(f.count64_b + growth));
    r.put<32>(static_cast<std::uint32_t>(f.count32_a + growth));
    r.put<36>(static_cast<std::uint32_t>(f.count32_b + growth));
    r.put<40>(static_cast<std::uint64_t>(f.count64_c + growth));
    r.append_to(out);
}

template <typename R>
void append_terminator(Bytes& out) {
    R{}.append_to(out);
}

std::optional<Bytes> build_output(Command command, const LoadedState& loaded) {
    const ModemState& state = loaded.state;
    Bytes out;
    switch (command) {
        case Command::Aggregate:
            if (!state.ll_sfid) {
                return std::nullopt;
            }
            append_aggregate(*state.ll_sfid, out);
            break;
        case Command::Classifiers:
            for (const Classifier& c : state.classifiers) {
                append_classifier(c, out);
            }
            if (!state.unterminated[index_of(command)]) {
                append_terminator<ClassifierRecord>(out);
            }
            break;
        case Command::Flows: {
            const std::int64_t now = std::time(nullptr);
            const std::uint64_t elapsed =
                now > loaded.epoch ? static_cast<std::uint64_t>(now - loaded.epoch) : 0;
            for (const Flow& f : state.flows) {
                append_flow(f, elapsed, out);
            }
            if (!state.unterminated[index_of(command)]) {
                append_terminator<FlowRecord>(out);
            }
            break;
        }
    }
    return out;
}

bool write_all(const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string state_path() {
    const char* dir = std::getenv("LLD_PLATFORM_DIR");
    std::string path = (dir != nullptr && *dir != '\0') ? dir : "/tmp/platform";
    return path + "/modem.conf";
}

int fail(const std::string& message) {
    std::cerr << "ondrel_rpc_client: " << message << '\n';
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    // A reader that has what it needs may close the pipe early; that is an ordinary end here.
    std::signal(SIGPIPE, SIG_IGN);

    if (argc != 3 || std::string_view{argv[1]} != "arm") {
        return fail("usage: ondrel_rpc_client arm <cm_aggserflow|cm_pktclass|cm_serflow>");
    }
    const std::optional<Command> command = command_by_name(argv[2]);
    if (!command) {
        return fail("unsupported command '" + shown(argv[2]) + "'");
    }

    auto loaded = load_state(state_path());
    if (auto* error = std::get_if<std::string>(&loaded)) {
        return fail(*error);
    }
    const LoadedState& modem = std::get<LoadedState>(loaded);
    const std::string name{kCommandNames[index_of(*command)]};

    const std::optional<Fault> fault = modem.state.faults[index_of(*command)];
    if (fault == Fault::NoOutput) {
        return fail(name + ": failing with no output (fail switch)");
    }

    std::optional<Bytes> output = build_output(*command, modem);
    if (!output) {
        if (fault != Fault::Truncated) {
            return fail(name + ": no 'aggregate' line in the state file");
        }
        // The truncated half of the aggregate record holds only marker words, so the value of
        // the missing SFID doesn't matter.
        output.emplace();
        append_aggregate(0, *output);
    }
    if (fault == Fault::Truncated) {
        output->resize(std::min(output->size(), record_size(*command) / 2));
    }
    if (!write_all(*output)) {
        return 1;
    }
    if (fault == Fault::Truncated) {
        return fail(name + ": output cut short (fail switch)");
    }
    return 0;
}
