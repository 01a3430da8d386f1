// Development stand-in for the platform parameter library. Each session loads the device data
// model from a small text file when it is opened, so that a test can lay out the parameters, make
// the library fail where it wants, and read back from a call log every session opened, every read
// and every session released.

#include "csapi.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#define CSAPI_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Anything this large is a mistake; the bound keeps a runaway file from a runaway allocation.
constexpr std::size_t kMaxValuesBytes = std::size_t{1} << 20;
constexpr std::string_view kBlanks = " \t\r\v\f";

// What one loading of the values file yields.
struct DataModel {
    std::map<std::string, std::string, std::less<>> values;
    std::map<std::string, int, std::less<>> failing_reads;
    std::optional<int> init_failure;  // CS_Init hands out no handle and returns this
    std::optional<int> init_result;   // CS_Init hands out a handle but returns this
};

std::string state_path(const char* variable, const char* file_name) {
    if (const char* path = std::getenv(variable); path != nullptr && *path != '\0') {
        return path;
    }
    const char* dir = std::getenv("LLD_PLATFORM_DIR");
    return std::string{dir != nullptr && *dir != '\0' ? dir : "/tmp/platform"} + "/" + file_name;
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

std::optional<int> parse_status(std::string_view word) {
    int value = 0;
    const char* const end = word.data() + word.size();
    const auto [stop, error] = std::from_chars(word.data(), end, value);
    if (error != std::errc{} || stop != end) {
        return std::nullopt;
    }
    return value;
}

// Splits off the first blank-separated word; `rest` keeps what follows it, leading blanks removed.
std::string_view next_word(std::string_view& rest) {
    const std::size_t start = std::min(rest.find_first_not_of(kBlanks), rest.size());
    const std::size_t end = std::min(rest.find_first_of(kBlanks, start), rest.size());
    const std::string_view word = rest.substr(start, end - start);
    rest.remove_prefix(end);
    rest.remove_prefix(std::min(rest.find_first_not_of(kBlanks), rest.size()));
    return word;
}

using Error = std::optional<std::string>;

// "fail init [STATUS]" or "fail get NAME [STATUS]".
Error apply_failure(std::string_view rest, DataModel& model) {
    const std::string_view what = next_word(rest);
    if (what == "init") {
        const std::string_view status_word = next_word(rest);
        if (!rest.empty()) {
            return "usage: fail init [STATUS]";
        }
        if (model.init_failure) {
            return "fail init given twice";
        }
        const std::optional<int> status =
            status_word.empty() ? std::optional<int>{CS_ERR_INIT} : parse_status(status_word);
        if (!status) {
            return "not a status: '" + shown(status_word) + "'";
        }
        model.init_failure = status;
        return std::nullopt;
    }
    if (what == "get") {
        const std::string_view name = next_word(rest);
        const std::string_view status_word = next_word(rest);
        if (name.empty() || !rest.empty()) {
            return "usage: fail get NAME [STATUS]";
        }
        const std::optional<int> status =
            status_word.empty() ? std::optional<int>{CS_ERR_FAILED} : parse_status(status_word);
        if (!status || *status == CS_OK) {
            return "not a failure status: '" + shown(status_word) + "'";
        }
        if (!model.failing_reads.emplace(name, *status).second) {
            return "fail get " + shown(name) + " given twice";
        }
        return std::nullopt;
    }
    return "unknown failure '" + shown(what) + "' (init or get)";
}

Error apply_line(std::string_view line, DataModel& model) {
    std::string_view rest = line;
    const std::string_view key = next_word(rest);
    if (key == "fail") {
        return apply_failure(rest, model);
    }
    if (key == "init") {
        const std::string_view returns = next_word(rest);
        const std::optional<int> status = parse_status(next_word(rest));
        if (returns != "returns" || !status || !rest.empty()) {
            return "usage: init returns STATUS";
        }
        if (model.init_result) {
            return "init returns given twice";
        }
        model.init_result = status;
        return std::nullopt;
    }
    // A parameter: its name, then the rest of the line (possibly empty) as its value.
    if (!model.values.emplace(key, rest).second) {
        return "parameter " + shown(key) + " given twice";
    }
    return std::nullopt;
}

std::variant<DataModel, std::string> parse_values(std::string_view text) {
    DataModel model;
    std::size_t line_number = 0;
    while (!text.empty()) {
        ++line_number;
        const std::size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);

        line.remove_prefix(std::min(line.find_first_not_of(kBlanks), line.size()));
        const std::size_t last = line.find_last_not_of(kBlanks);
        line = line.substr(0, last == std::string_view::npos ? 0 : last + 1);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        if (Error e = apply_line(line, model)) {
            return "line " + std::to_string(line_number) + ": " + *e;
        }
    }
    return model;
}

std::variant<DataModel, std::string> load_values() {
    const std::string path = state_path("LLD_CSAPI_VALUES", "csapi.conf");
    std::ifstream in{path, std::ios::binary};
    if (!in) {
        return path + ": " + std::strerror(errno);
    }
    std::string text(kMaxValuesBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad()) {
        return path + ": read error";
    }
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxValuesBytes) {
        return path + ": larger than " + std::to_string(kMaxValuesBytes) + " bytes";
    }
    auto parsed = parse_values(text);
    if (auto* error = std::get_if<std::string>(&parsed)) {
        return path + ": " + *error;
    }
    return parsed;
}

struct Session {
    std::map<std::string, std::string, std::less<>> values;
    std::map<std::string, int, std::less<>> failing_reads;  // name -> status to return
};

// Open sessions by id. A handle is its session's id, never reused within the process, so a
// released or foreign handle is always told apart from an open one.
std::mutex sessions_lock;
std::map<std::uintptr_t, Session> open_sessions;
std::uintptr_t next_session_id = 1;

std::uintptr_t id_of(CS_HANDLE handle) {
    return reinterpret_cast<std::uintptr_t>(handle);
}

// One line per call in the call log; silently skipped when the log can't be opened.
void record(const std::string& line) {
    const std::string path = state_path("LLD_CSAPI_LOG", "csapi.log");
    if (std::FILE* log = std::fopen(path.c_str(), "a")) {
        std::fprintf(log, "%s\n", line.c_str());
        std::fclose(log);
    }
}

int init(CS_HANDLE* handle) {
    const std::lock_guard lock{sessions_lock};
    if (handle == nullptr || *handle != nullptr) {
        record("init 0");
        return CS_ERR_ARGUMENT;
    }
    auto loaded = load_values();
    if (auto* error = std::get_if<std::string>(&loaded)) {
        std::fprintf(stderr, "csapi: %s\n", error->c_str());
        record("init 0");
        return CS_ERR_INIT;
    }
    DataModel& model = std::get<DataModel>(loaded);
    if (model.init_failure) {
        record("init 0");
        return *model.init_failure;
    }
    const std::uintptr_t id = next_session_id++;
    open_sessions.emplace(id, Session{std::move(model.values), std::move(model.failing_reads)});
    *handle = reinterpret_cast<CS_HANDLE>(id);
    record("init " + std::to_string(id));
    return model.init_result.value_or(CS_OK);
}

int read_value(const Session& session, const char* name, char* value, int size) {
    if (name == nullptr || value == nullptr || size < 0) {
        return CS_ERR_ARGUMENT;
    }
    if (const auto failing = session.failing_reads.find(name);
        failing != session.failing_reads.end()) {
        return failing->second;
    }
    const auto found = session.values.find(name);
    if (found == session.values.end()) {
        return CS_ERR_NO_PARAM;
    }
    const std::string& text = found->second;
    if (text.size() >= static_cast<std::size_t>(size)) {
        return CS_ERR_TOO_SMALL;
    }
    std::memcpy(value, text.c_str(), text.size() + 1);
    return CS_OK;
}

int get(CS_HANDLE handle, const char* name, char* value, int size) {
    const std::lock_guard lock{sessions_lock};
    const auto open = open_sessions.find(id_of(handle));
    const bool is_open = open != open_sessions.end();
    const int status = is_open ? read_value(open->second, name, value, size) : CS_ERR_HANDLE;
    record("get " + (is_open ? std::to_string(open->first) : "stale") + " " +
           (name != nullptr ? shown(name) : "(null)") + " " + std::to_string(size) + " " +
           std::to_string(status));
    return status;
}

int uninit(CS_HANDLE handle) {
    const std::lock_guard lock{sessions_lock};
    const auto open = open_sessions.find(id_of(handle));
    if (open == open_sessions.end()) {
        record("uninit stale");
        return CS_ERR_HANDLE;
    }
    record("uninit " + std::to_string(open->first));
    open_sessions.erase(open);
    return CS_OK;
}

// Nothing thrown inside may cross the C interface.
template <typename Operation>
int guarded(Operation operation) noexcept {
    try {
        return operation();
    } catch (...) {
        return CS_ERR_INTERNAL;
    }
}

}  // namespace

CSAPI_EXPORT int CS_Init(CS_HANDLE* handle) {
    return guarded([&] { return init(handle); });
}

CSAPI_EXPORT int CS_GetParamValue(CS_HANDLE handle, const char* name, char* value, int size) {
    return guarded([&] { return get(handle, name, value, size); });
}

CSAPI_EXPORT int CS_UnInit(CS_HANDLE handle) {
    return guarded([&] { return uninit(handle); });
}
