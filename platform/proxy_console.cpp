// Development stand-in for the gateway's local proxy daemon: "listen" takes the proxy's socket and
// prints what the client publishes; "send" plays the cloud and delivers one message to the client.
//
// The listener is deliberately strict about the envelope: only an object with exactly "type" (an
// integer), "topic" and "payload" (strings), in that order, with no NUL and nothing after the JSON
// text, is decoded. Anything else is shown raw, so a client that frames its datagrams wrongly is
// visible in a test's output rather than quietly accepted.

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr const char* kDefaultProxySocket = "/tmp/proxy_unix_sock.server";
constexpr const char* kDefaultClientSocket = "/tmp/lld_unix_sock.client";
constexpr std::int64_t kDefaultType = 1;
constexpr const char* kDefaultTopic = "CS/device/LLD/config";
// Largest integer a JSON number (a double) carries exactly.
constexpr std::int64_t kMaxExactInteger = std::int64_t{1} << 53;

class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_{fd} {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_{std::exchange(other.fd_, -1)} {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

  private:
    void reset() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = -1;
    }
    int fd_ = -1;
};

// Removes the bound socket's file when the listener ends, however it ends.
class SocketFile {
  public:
    explicit SocketFile(std::string path) : path_{std::move(path)} {}
    ~SocketFile() { ::unlink(path_.c_str()); }
    SocketFile(const SocketFile&) = delete;
    SocketFile& operator=(const SocketFile&) = delete;

  private:
    std::string path_;
};

struct JsonDeleter {
    void operator()(cJSON* item) const { cJSON_Delete(item); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;

struct JsonTextDeleter {
    void operator()(char* text) const { cJSON_free(text); }
};
using JsonText = std::unique_ptr<char, JsonTextDeleter>;

int fail(const std::string& message) {
    std::cerr << "proxy_console: " << message << '\n';
    return 1;
}

std::string errno_text(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

std::string socket_path(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    return (value != nullptr && *value != '\0') ? value : fallback;
}

struct UnixAddress {
    sockaddr_un addr{};
    socklen_t length = 0;
};

std::optional<UnixAddress> unix_address(const std::string& path) {
    UnixAddress a;
    if (path.size() >= sizeof a.addr.sun_path) {
        return std::nullopt;
    }
    a.addr.sun_family = AF_UNIX;
    std::memcpy(a.addr.sun_path, path.data(), path.size());
    a.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return a;
}

template <typename T>
std::optional<T> parse_integer(std::string_view word) {
    T value{};
    const char* const end = word.data() + word.size();
    const auto [stop, status] = std::from_chars(word.data(), end, value);
    if (status != std::errc{} || stop != end) {
        return std::nullopt;
    }
    return value;
}

// ---------------------------------------------------------------------------------------------
// listen

struct Envelope {
    std::int64_t type = 0;
    std::string topic;
    std::string payload;
};

bool only_whitespace(const char* begin, const char* end) {
    for (const char* p = begin; p < end; ++p) {
        if (*p != ' ' && *p != '\t' && *p != '\n' && *p != '\r') {
            return false;
        }
    }
    return true;
}

std::optional<Envelope> decode(const std::vector<char>& datagram) {
    if (datagram.empty() || std::memchr(datagram.data(), '\0', datagram.size()) != nullptr) {
        return std::nullopt;
    }
    const char* parse_end = nullptr;
    const Json root{cJSON_ParseWithLengthOpts(datagram.data(), datagram.size(), &parse_end, 0)};
    if (!root || !cJSON_IsObject(root.get()) || parse_end == nullptr ||
        !only_whitespace(parse_end, datagram.data() + datagram.size())) {
        return std::nullopt;
    }

    const cJSON* type = root->child;
    const cJSON* topic = type != nullptr ? type->next : nullptr;
    const cJSON* payload = topic != nullptr ? topic->next : nullptr;
    if (payload == nullptr || payload->next != nullptr || std::strcmp(type->string, "type") != 0 ||
        std::strcmp(topic->string, "topic") != 0 || std::strcmp(payload->string, "payload") != 0) {
        return std::nullopt;
    }
    if (!cJSON_IsNumber(type) || !cJSON_IsString(topic) || !cJSON_IsString(payload) ||
        topic->valuestring == nullptr || payload->valuestring == nullptr) {
        return std::nullopt;
    }
    const double number = type->valuedouble;
    if (std::trunc(number) != number || std::fabs(number) > static_cast<double>(kMaxExactInteger)) {
        return std::nullopt;
    }
    return Envelope{static_cast<std::int64_t>(number), topic->valuestring, payload->valuestring};
}

// One line, whatever the bytes: the raw form is for looking at mistakes, so it must not be able
// to pass itself off as the start of another block.
std::string escape_raw(const std::vector<char>& datagram) {
    std::string out;
    out.reserve(datagram.size());
    for (const char c : datagram) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (byte < 0x20 || byte == 0x7f) {
            constexpr std::string_view kHex = "0123456789abcdef";
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0f];
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<std::string> pretty_json(const std::string& text) {
    const char* parse_end = nullptr;
    const Json tree{cJSON_ParseWithOpts(text.c_str(), &parse_end, 1)};
    if (!tree) {
        return std::nullopt;
    }
    const JsonText printed{cJSON_Print(tree.get())};
    if (!printed) {
        return std::nullopt;
    }
    std::string out;
    std::string_view rest{printed.get()};
    while (!rest.empty()) {
        const std::size_t newline = rest.find('\n');
        out += "  ";
        out += rest.substr(0, newline);
        out += '\n';
        rest.remove_prefix(newline == std::string_view::npos ? rest.size() : newline + 1);
    }
    return out;
}

std::string format_block(const std::vector<char>& datagram, bool pretty) {
    const std::optional<Envelope> message = decode(datagram);
    if (!message) {
        return "raw=" + escape_raw(datagram) + '\n';
    }
    std::string block = "type=" + std::to_string(message->type) + " topic=" + message->topic + '\n';
    if (pretty) {
        if (std::optional<std::string> formatted = pretty_json(message->payload)) {
            return block + *formatted;
        }
    }
    return block + "payload=" + message->payload + '\n';
}

// The datagram's length is peeked first, so a datagram of any size arrives whole.
std::optional<std::vector<char>> receive_datagram(int fd) {
    for (;;) {
        const ssize_t size = ::recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC);
        if (size < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        std::vector<char> datagram(static_cast<std::size_t>(size));
        const ssize_t got = ::recv(fd, datagram.data(), datagram.size(), 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        datagram.resize(static_cast<std::size_t>(got));
        return datagram;
    }
}

int run_listen(int argc, char** argv) {
    bool pretty = false;
    std::uint64_t limit = 0;  // 0: until a stop signal
    for (int i = 0; i < argc; ++i) {
        const std::string_view arg{argv[i]};
        if (arg == "--pretty") {
            pretty = true;
        } else if (arg == "--count" && i + 1 < argc) {
            const auto count = parse_integer<std::uint64_t>(argv[++i]);
            if (!count || *count == 0) {
                return fail("--count needs a positive number");
            }
            limit = *count;
        } else {
            return fail("usage: proxy_console listen [--pretty] [--count N]");
        }
    }

    const std::string path = socket_path("LLD_PROXY_SOCKET", kDefaultProxySocket);
    const std::optional<UnixAddress> address = unix_address(path);
    if (!address) {
        return fail("socket path too long: " + path);
    }

    // Blocked before anything else exists, so a stop request can't slip in between set-up steps;
    // it is then read from the descriptor like any other input.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    if (sigprocmask(SIG_BLOCK, &stop_signals, nullptr) != 0) {
        return fail(errno_text("sigprocmask"));
    }
    const Fd signals{::signalfd(-1, &stop_signals, SFD_CLOEXEC)};
    if (!signals.valid()) {
        return fail(errno_text("signalfd"));
    }
    // A reader that went away must not kill us before the socket file is cleaned up.
    std::signal(SIGPIPE, SIG_IGN);

    const Fd sock{::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    if (!sock.valid()) {
        return fail(errno_text("socket"));
    }
    ::unlink(path.c_str());
    if (::bind(sock.get(), reinterpret_cast<const sockaddr*>(&address->addr), address->length) !=
        0) {
        return fail(errno_text("bind " + path));
    }
    const SocketFile socket_file{path};

    std::uint64_t received = 0;
    while (limit == 0 || received < limit) {
        std::array<pollfd, 2> watched{{{sock.get(), POLLIN, 0}, {signals.get(), POLLIN, 0}}};
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail(errno_text("poll"));
        }
        // Datagrams already queued are printed before a stop request is honoured, so a test that
        // sends and then stops the listener sees everything it sent.
        if ((watched[0].revents & POLLIN) != 0) {
            const std::optional<std::vector<char>> datagram = receive_datagram(sock.get());
            if (!datagram) {
                return fail(errno_text("recv"));
            }
            const std::string block = format_block(*datagram, pretty);
            if (std::fwrite(block.data(), 1, block.size(), stdout) != block.size() ||
                std::fflush(stdout) != 0) {
                return fail(errno_text("write to standard output"));
            }
            ++received;
            continue;
        }
        if ((watched[1].revents & POLLIN) != 0) {
            break;
        }
        if ((watched[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            return fail("socket error");
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// send

int send_datagram(const std::string& text) {
    const std::string path = socket_path("LLD_CLIENT_SOCKET", kDefaultClientSocket);
    const std::optional<UnixAddress> address = unix_address(path);
    if (!address) {
        return fail("socket path too long: " + path);
    }
    const Fd sock{::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    if (!sock.valid()) {
        return fail(errno_text("socket"));
    }
    for (;;) {
        const ssize_t sent =
            ::sendto(sock.get(), text.data(), text.size(), 0,
                     reinterpret_cast<const sockaddr*>(&address->addr), address->length);
        if (sent >= 0) {
            return 0;
        }
        if (errno != EINTR) {
            return fail(errno_text("send to " + path));
        }
    }
}

std::optional<std::string> envelope_text(std::int64_t type, const std::string& topic,
                                         const std::string& payload) {
    const Json root{cJSON_CreateObject()};
    if (!root ||
        cJSON_AddNumberToObject(root.get(), "type", static_cast<double>(type)) == nullptr ||
        cJSON_AddStringToObject(root.get(), "topic", topic.c_str()) == nullptr ||
        cJSON_AddStringToObject(root.get(), "payload", payload.c_str()) == nullptr) {
        return std::nullopt;
    }
    const JsonText printed{cJSON_Print(root.get())};
    if (!printed) {
        return std::nullopt;
    }
    return std::string{printed.get()};
}

int run_send(int argc, char** argv) {
    constexpr const char* kUsage =
        "usage: proxy_console send [--type N] [--topic T] [--] [PAYLOAD]\n"
        "       proxy_console send --raw [--] [TEXT]";
    std::int64_t type = kDefaultType;
    std::string topic = kDefaultTopic;
    bool raw = false;
    bool enveloped = false;  // --type or --topic given
    std::optional<std::string> payload;

    int i = 0;
    for (; i < argc; ++i) {
        const std::string_view arg{argv[i]};
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "--type" && i + 1 < argc) {
            const auto value = parse_integer<std::int64_t>(argv[++i]);
            if (!value || *value > kMaxExactInteger || *value < -kMaxExactInteger) {
                return fail("--type needs an integer");
            }
            type = *value;
            enveloped = true;
        } else if (arg == "--topic" && i + 1 < argc) {
            topic = argv[++i];
            enveloped = true;
        } else if (arg == "--raw") {
            raw = true;
        } else if (arg.starts_with("--")) {
            return fail(kUsage);
        } else {
            break;
        }
    }
    if (argc - i > 1 || (raw && enveloped)) {
        return fail(kUsage);
    }
    if (i < argc) {
        payload = argv[i];
    } else {
        std::string all{std::istreambuf_iterator<char>{std::cin}, std::istreambuf_iterator<char>{}};
        if (std::cin.bad()) {
            return fail("cannot read standard input");
        }
        payload = std::move(all);
    }

    if (raw) {
        return send_datagram(*payload);
    }
    if (payload->find('\0') != std::string::npos || topic.find('\0') != std::string::npos) {
        return fail("a NUL byte can't travel in a JSON text member");
    }
    const std::optional<std::string> text = envelope_text(type, topic, *payload);
    if (!text) {
        return fail("cannot build the JSON message");
    }
    return send_datagram(*text);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2) {
        const std::string_view mode{argv[1]};
        if (mode == "listen") {
            return run_listen(argc - 2, argv + 2);
        }
        if (mode == "send") {
            return run_send(argc - 2, argv + 2);
        }
    }
    return fail(
        "usage: proxy_console listen [--pretty] [--count N]\n"
        "       proxy_console send [--type N] [--topic T] [--raw] [--] [PAYLOAD]");
}
