#include "docsis/sr_server.hpp"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "app/log.hpp"
#include "common/fd.hpp"
#include "common/shell.hpp"

namespace lld {
namespace {

// The blanks "%d" skips before a number.
bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::optional<std::int32_t> parse_stats_request(std::span<const std::uint8_t> datagram) {
    if (datagram.size() <= kSrRequestWord.size()) {
        return std::nullopt;
    }
    // A NUL ends the number as any other non-digit does, just as it would end C text.
    std::string_view text{reinterpret_cast<const char*>(datagram.data()), datagram.size()};
    if (!text.starts_with(kSrRequestWord)) {
        return std::nullopt;
    }
    text.remove_prefix(kSrRequestWord.size());
    while (!text.empty() && is_blank(text.front())) {
        text.remove_prefix(1);
    }
    // "%d" takes a plus sign, from_chars only a minus; "+-4" still ends up negative.
    if (text.starts_with('+')) {
        text.remove_prefix(1);
    }
    std::int32_t count = 0;
    // Text after the number is allowed; a number that does not fit is refused
    // rather than guessed at.
    const auto parsed = std::from_chars(text.data(), text.data() + text.size(), count);
    if (parsed.ec != std::errc{} || count <= 0) {
        return std::nullopt;
    }
    return count;
}

std::string format_flow_delta(const serflow_entry& now, const serflow_entry& previous) {
    // Unsigned subtraction in each field's own width: a counter that wrapped (or
    // was reset) still gives the modular difference the receiver expects.
    const std::uint64_t d64_a = now.count64_a - previous.count64_a;
    const std::uint64_t d64_b = now.count64_b - previous.count64_b;
    const std::uint32_t d32_a = now.count32_a - previous.count32_a;
    const std::uint32_t d32_b = now.count32_b - previous.count32_b;
    const std::uint64_t d64_c = now.count64_c - previous.count64_c;

    // Five 32-bit and three 64-bit numbers in decimal and eight commas.
    std::array<char, 5 * 10 + 3 * 20 + 8 + 1> line{};
    const int length = std::snprintf(line.data(), line.size(), "%u,%u,%u,%llu,%llu,%u,%u,%llu,",
                                     now.sfid, now.direction, static_cast<unsigned>(now.tag16),
                                     static_cast<unsigned long long>(d64_a),
                                     static_cast<unsigned long long>(d64_b), d32_a, d32_b,
                                     static_cast<unsigned long long>(d64_c));
    if (length <= 0) {
        return {};
    }
    return std::string{line.data(), std::min(static_cast<std::size_t>(length), line.size() - 1)};
}

std::size_t srServerFormat(const serflow_entry& record, srSamples& samples, std::string& reply) {
    serflow_entry* sample = samples.find_key(&serflow_entry::sfid, record.sfid);
    const std::string text = format_flow_delta(record, sample != nullptr ? *sample : record);
    if (text.empty() || reply.size() + text.size() > kSrReplySize) {
        return 0;
    }
    if (sample == nullptr) {
        try {
            sample = &samples.push_front(record);
        } catch (const std::bad_alloc&) {
            return 0;
        }
    }
    reply += text;
    *sample = record;
    return text.size();
}

std::string build_sr_report(std::span<const std::uint8_t> table, srSamples& samples) {
    std::string reply{kSrReportPrefix};
    reply.reserve(kSrReplySize);
    for (const serflow_entry& record : parse_serflow_table(table)) {
        if (srServerFormat(record, samples, reply) == 0) {
            break;
        }
    }
    // The trailing comma of the last flow closes the string; with no flow the
    // prefix already ends in a quote.
    reply.back() = '"';
    return reply;
}

bool srServerState::request(const sockaddr_in& from, std::int32_t count) {
    const bool activated = srSubscribers.empty();
    if (activated) {
        // Samples of an earlier session are stale: changes restart from zero.
        srPrevSamples.clear();
    }
    srServerSubscribe(from, count);
    return activated;
}

void srServerState::srServerSubscribe(const sockaddr_in& from, std::int32_t count) {
    // A subscriber is its IPv4 address: a program that asks again from another
    // port only renews its count, and reports keep going where they went.
    srSubscriber* known = srSubscribers.find_key(
        [](const srSubscriber& s) { return s.address.sin_addr.s_addr; }, from.sin_addr.s_addr);
    if (known != nullptr) {
        known->remaining = count;
        return;
    }
    if (srSubscribers.count() >= kSrMaxSubscribers) {
        lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] srServer full, request ignored\n");
        return;
    }
    srSubscribers.push_front(srSubscriber{count, from});
}

void srServerState::srServerSend(std::string_view datagram, const Sender& send) {
    for (auto it = srSubscribers.begin(); it != srSubscribers.end();) {
        send(it->address, datagram);
        // The report that finds the count at 0 is still sent: N + 1 in all.
        if (it->remaining-- <= 0) {
            it = srSubscribers.erase(it);
        } else {
            ++it;
        }
    }
}

void srServerState::tick(std::span<const std::uint8_t> table, const Sender& send) {
    if (table.size() >= sizeof(serflow_entry)) {
        srServerSend(build_sr_report(table, srPrevSamples), send);
        return;
    }
    srServerSend(kSrFailure, send);
    srSubscribers.clear();
}

namespace {

UniqueFd srServerSocket(std::uint16_t port) {
    UniqueFd socket{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    if (!socket) {
        lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] srServer ERROR opening socket\n");
        return socket;
    }
    const int one = 1;
    ::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        // Kept open unbound: the thread still runs, it just never hears a request.
        lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] srServer ERROR on binding\n");
    }
    return socket;
}

class srServer {
  public:
    // The socket is bound here, before the thread exists, so that a request sent
    // as soon as start-up returns is never lost.
    srServer()
        : stop_{::eventfd(0, EFD_CLOEXEC)},
          stop_error_{stop_ ? 0 : errno},
          socket_{srServerSocket(kSrServerPort)},
          timer_{::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)} {
        if (!timer_) {
            lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] srServer ERROR creating timer\n");
        }
    }
    ~srServer() { stop(); }
    srServer(const srServer&) = delete;
    srServer& operator=(const srServer&) = delete;

    int start() {
        if (!stop_) {
            return stop_error_;
        }
        try {
            thread_ = std::thread{[this] { srServerThread(); }};
        } catch (const std::system_error& failure) {
            return failure.code().value();
        }
        return 0;
    }

    void stop() {
        if (!thread_.joinable()) {
            return;
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(stop_.get(), &one, sizeof one);
        thread_.join();
    }

  private:
    void srServerThread() {
        for (;;) {
            const bool active = state_.active();
            if (active) {
                arm_timer();
            }
            pollfd watched[] = {
                {stop_.get(), POLLIN, 0},
                {socket_.get(), POLLIN, 0},
                {active ? timer_.get() : -1, POLLIN, 0},
            };
            if (::poll(watched, std::size(watched), -1) < 0) {
                continue;  // a signal; the state is unchanged
            }
            if ((watched[0].revents & POLLIN) != 0) {
                return;
            }
            if ((watched[2].revents & POLLIN) != 0) {
                on_timer();
            }
            if ((watched[1].revents & (POLLIN | POLLERR)) != 0) {
                on_request();
            }
        }
    }

    void arm_timer() {
        itimerspec setting{};
        setting.it_value = deadline_;
        ::timerfd_settime(timer_.get(), TFD_TIMER_ABSTIME, &setting, nullptr);
    }

    void on_timer() {
        // Advanced before anything else, so that a slow modem or a late wake-up
        // shifts no later report: a deadline already past fires again at once
        // and the missed seconds are caught up one by one.
        ++deadline_.tv_sec;
        std::uint64_t expirations = 0;
        if (::read(timer_.get(), &expirations, sizeof expirations) !=
            static_cast<ssize_t>(sizeof expirations)) {
            lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] Err timer read\n");
        }
        const auto srTable = srServerPoll();
        state_.tick(srTable, [this](const sockaddr_in& to, std::string_view datagram) {
            // A subscriber that went away costs its count all the same.
            [[maybe_unused]] const ssize_t sent =
                ::sendto(socket_.get(), datagram.data(), datagram.size(), MSG_DONTWAIT,
                         reinterpret_cast<const sockaddr*>(&to), sizeof to);
        });
    }

    // A fresh buffer for every poll: records of an earlier, longer table can never
    // follow those of a shorter one that lacks its terminating record.
    static std::vector<std::uint8_t> srServerPoll() {
        auto output = shell().read_output(std::string{kServFlowCommand}, kSrTableSize);
        return output ? std::move(*output) : std::vector<std::uint8_t>{};
    }

    void on_request() {
        std::array<std::uint8_t, kSrRequestMax> datagram{};
        sockaddr_in from{};
        socklen_t from_length = sizeof from;
        const ssize_t received =
            ::recvfrom(socket_.get(), datagram.data(), datagram.size(), MSG_DONTWAIT,
                       reinterpret_cast<sockaddr*>(&from), &from_length);
        if (received <= 0 || from.sin_family != AF_INET) {
            return;
        }
        const std::span<const std::uint8_t> bytes{datagram.data(),
                                                  static_cast<std::size_t>(received)};
        const auto count = parse_stats_request(bytes);
        if (!count) {
            return;
        }
        const std::string text{bytes.begin(), std::find(bytes.begin(), bytes.end(), 0)};
        std::array<char, INET_ADDRSTRLEN> host{};
        ::inet_ntop(AF_INET, &from.sin_addr, host.data(), host.size());
        lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] %s read value=%d from %s:%d\n", text.c_str(),
                static_cast<int>(*count), host.data(), static_cast<int>(ntohs(from.sin_port)));
        if (state_.request(from, *count)) {
            ::clock_gettime(CLOCK_MONOTONIC, &deadline_);
        }
    }

    UniqueFd stop_;
    int stop_error_;
    UniqueFd socket_;
    UniqueFd timer_;
    srServerState state_;  // the server thread's alone
    timespec deadline_{};  // when the next report is due, on the monotonic clock
    std::thread thread_;
};

// Set and reset only by srServerInit and srServerShutdown.
std::mutex server_lock;
std::unique_ptr<srServer> server;

}  // namespace

int srServerInit() {
    const std::lock_guard lock{server_lock};
    if (server) {
        return EBUSY;
    }
    auto started = std::make_unique<srServer>();
    const int result = started->start();
    if (result == 0) {
        server = std::move(started);
    }
    return result;
}

void srServerShutdown() {
    const std::lock_guard lock{server_lock};
    server.reset();
}

}  // namespace lld
