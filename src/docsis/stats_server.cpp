#include "docsis/stats_server.hpp"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <system_error>

#include "common/log.hpp"

namespace lld {
namespace {

// The blanks "%d" skips before a number.
bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Bound to that address alone and without SO_REUSEADDR, so that no other program
// can share the port and take the requests.
UniqueFd open_server_socket(const std::string& text, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    UniqueFd socket{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    if (!socket) {
        log_error("srServer ERROR opening socket");
    } else if (inet_pton(AF_INET, text.c_str(), &address.sin_addr) != 1 ||
               ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
                   0) {
        log_error("srServer ERROR on binding %s:%u: %s", text.c_str(), static_cast<unsigned>(port),
                  std::strerror(errno));
        socket.reset();
    }
    return socket;
}

// Room for one flow's text: five 32-bit and three 64-bit numbers in decimal and
// eight commas.
constexpr std::size_t kFlowTextMax = 5 * 10 + 3 * 20 + 8;
using FlowText = std::array<char, kFlowTextMax>;

std::size_t write_flow_delta(const ServiceFlowEntry& now, const ServiceFlowEntry& previous,
                             FlowText& text) {
    // Unsigned subtraction in each field's own width: a counter that wrapped (or
    // was reset) still gives the modular difference the receiver expects.
    const std::uint64_t fields[] = {now.sfid,
                                    now.direction,
                                    now.tag16,
                                    now.count64_a - previous.count64_a,
                                    now.count64_b - previous.count64_b,
                                    std::uint32_t{now.count32_a - previous.count32_a},
                                    std::uint32_t{now.count32_b - previous.count32_b},
                                    now.count64_c - previous.count64_c};
    char* at = text.data();
    for (const std::uint64_t field : fields) {
        at = std::to_chars(at, text.data() + text.size(), field).ptr;  // always has room
        *at++ = ',';
    }
    return static_cast<std::size_t>(at - text.data());
}

// Appends the record's text when it fits; false when it did not.
bool append_flow(const ServiceFlowEntry& record, FlowSamples& samples, std::string& reply) {
    const auto sample = samples.find(record.sfid);
    FlowText text;
    const std::size_t length =
        write_flow_delta(record, sample != samples.end() ? sample->second : record, text);
    if (reply.size() + length > kStatsReplySize) {
        return false;
    }
    reply.append(text.data(), length);
    samples.insert_or_assign(record.sfid, record);
    return true;
}

// Sends what `messages` hold on `socket`, as few calls as the kernel allows. A
// datagram that can't go (a full buffer, a subscriber that went away) is skipped
// and the rest still go.
void send_messages(int socket, std::span<mmsghdr> messages) {
    while (!messages.empty()) {
        const int sent = ::sendmmsg(socket, messages.data(), static_cast<unsigned>(messages.size()),
                                    MSG_DONTWAIT);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        // A failure after the first message ends the call with the count sent;
        // the next call then fails on that message, which is skipped.
        messages = messages.subspan(sent > 0 ? static_cast<std::size_t>(sent) : 1);
    }
}

}  // namespace

std::optional<std::int32_t> parse_stats_request(std::span<const std::uint8_t> datagram) {
    if (datagram.size() <= kStatsRequestWord.size()) {
        return std::nullopt;
    }
    // A NUL ends the number as any other non-digit does, just as it would end C text.
    std::string_view text{reinterpret_cast<const char*>(datagram.data()), datagram.size()};
    if (!text.starts_with(kStatsRequestWord)) {
        return std::nullopt;
    }
    text.remove_prefix(kStatsRequestWord.size());
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
    return std::min(count, kMaxStatsCount);
}

std::string format_flow_delta(const ServiceFlowEntry& now, const ServiceFlowEntry& previous) {
    FlowText text;
    return std::string{text.data(), write_flow_delta(now, previous, text)};
}

std::string build_stats_report(std::span<const std::uint8_t> table, FlowSamples& samples) {
    std::string reply{kStatsReportPrefix};
    reply.reserve(kStatsReplySize);
    for (const ServiceFlowEntry& record : parse_service_flows(table)) {
        if (!append_flow(record, samples, reply)) {
            break;
        }
    }
    // The trailing comma of the last flow closes the string; with no flow the
    // prefix already ends in a quote.
    reply.back() = '"';
    return reply;
}

bool StatsServerState::request(const sockaddr_in& from, std::int32_t count, std::size_t via) {
    const bool activated = subscribers_.empty();
    if (activated) {
        // Samples of an earlier session are stale: changes restart from zero.
        samples_.clear();
    }
    subscribe(from, count, via);
    return activated;
}

void StatsServerState::subscribe(const sockaddr_in& from, std::int32_t count, std::size_t via) {
    // A subscriber is its IPv4 address: a program that asks again from another
    // port only renews its count, and reports keep going where they went.
    const auto known = std::ranges::find_if(subscribers_, [&from](const Subscriber& s) {
        return s.address.sin_addr.s_addr == from.sin_addr.s_addr;
    });
    if (known != subscribers_.end()) {
        known->remaining = count;
        return;
    }
    if (subscribers_.size() >= kMaxSubscribers) {
        log_debug("srServer full, request ignored");
        return;
    }
    subscribers_.insert(subscribers_.begin(), Subscriber{count, from, via});
}

void StatsServerState::send_all(std::string_view datagram, const Sender& send) {
    // A subscriber that went away costs its count all the same.
    send(subscribers_, datagram);
    for (Subscriber& subscriber : subscribers_) {
        --subscriber.remaining;
    }
    // The report that finds the count at 0 is still sent: N + 1 in all.
    std::erase_if(subscribers_, [](const Subscriber& s) { return s.remaining < 0; });
}

void StatsServerState::tick(std::span<const std::uint8_t> table, const Sender& send) {
    if (table.size() >= sizeof(ServiceFlowEntry)) {
        send_all(build_stats_report(table, samples_), send);
        return;
    }
    send_all(kStatsFailure, send);
    subscribers_.clear();
}

StatsServer::StatsServer(Modem& modem, const std::vector<std::string>& addresses,
                         std::uint16_t port)
    : modem_{modem}, timer_{::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)} {
    for (const std::string& address : addresses) {
        if (UniqueFd socket = open_server_socket(address, port)) {
            sockets_.push_back(std::move(socket));
        }
    }
    if (!timer_) {
        log_error("srServer ERROR creating timer");
    }
    try {
        worker_ = Worker{[this](const StopSignal& stop) { run(stop); }};
    } catch (const std::system_error& failure) {
        log_error("srServer ERROR creating thread: %s", failure.what());
    }
}

void StatsServer::run(const StopSignal& stop) {
    for (;;) {
        const bool active = state_.active();
        if (active) {
            arm_timer();
        }
        // The stop signal, the timer, then the sockets.
        std::vector<pollfd> watched{{stop.fd(), POLLIN, 0},
                                    {active ? timer_.get() : -1, POLLIN, 0}};
        for (const UniqueFd& socket : sockets_) {
            watched.push_back({socket.get(), POLLIN, 0});
        }
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            continue;  // a signal; the state is unchanged
        }
        if ((watched[0].revents & POLLIN) != 0) {
            return;
        }
        if ((watched[1].revents & POLLIN) != 0) {
            on_timer();
        }
        for (std::size_t via = 0; via < sockets_.size(); ++via) {
            if ((watched[2 + via].revents & (POLLIN | POLLERR)) != 0) {
                on_request(via);
            }
        }
    }
}

void StatsServer::arm_timer() {
    itimerspec setting{};
    setting.it_value = deadline_;
    ::timerfd_settime(timer_.get(), TFD_TIMER_ABSTIME, &setting, nullptr);
}

void StatsServer::on_timer() {
    // Advanced before anything else, so that a slow modem or a late wake-up
    // shifts no later report: a deadline already past fires again at once
    // and the missed seconds are caught up one by one.
    ++deadline_.tv_sec;
    std::uint64_t expirations = 0;
    if (::read(timer_.get(), &expirations, sizeof expirations) !=
        static_cast<ssize_t>(sizeof expirations)) {
        log_error("Err timer read");
    }
    // A fresh table for every poll: records of an earlier, longer table can never
    // follow those of a shorter one that lacks its terminating record.
    const auto table = modem_.service_flow_table(kStatsTableSize);
    state_.tick(table, [this](std::span<const Subscriber> to, std::string_view datagram) {
        send_report(to, datagram);
    });
}

void StatsServer::send_report(std::span<const Subscriber> to, std::string_view datagram) {
    // The socket API takes no const pointers; nothing written goes through them.
    iovec payload{const_cast<char*>(datagram.data()), datagram.size()};
    for (std::size_t via = 0; via < sockets_.size(); ++via) {
        messages_.clear();
        for (const Subscriber& subscriber : to) {
            if (subscriber.via == via) {
                mmsghdr message{};
                message.msg_hdr.msg_name = const_cast<sockaddr_in*>(&subscriber.address);
                message.msg_hdr.msg_namelen = sizeof subscriber.address;
                message.msg_hdr.msg_iov = &payload;
                message.msg_hdr.msg_iovlen = 1;
                messages_.push_back(message);
            }
        }
        send_messages(sockets_[via].get(), messages_);
    }
}

void StatsServer::on_request(std::size_t via) {
    std::array<std::uint8_t, kStatsRequestMax> datagram{};
    sockaddr_in from{};
    socklen_t from_length = sizeof from;
    const ssize_t received =
        ::recvfrom(sockets_[via].get(), datagram.data(), datagram.size(), MSG_DONTWAIT,
                   reinterpret_cast<sockaddr*>(&from), &from_length);
    if (received <= 0 || from.sin_family != AF_INET) {
        return;
    }
    const std::span<const std::uint8_t> bytes{datagram.data(), static_cast<std::size_t>(received)};
    const auto count = parse_stats_request(bytes);
    if (!count) {
        return;
    }
    const std::string text{bytes.begin(), std::find(bytes.begin(), bytes.end(), 0)};
    std::array<char, INET_ADDRSTRLEN> host{};
    ::inet_ntop(AF_INET, &from.sin_addr, host.data(), host.size());
    log_debug("%s read value=%d from %s:%d", printable(text).c_str(), static_cast<int>(*count),
              host.data(), static_cast<int>(ntohs(from.sin_port)));
    if (state_.request(from, *count, via)) {
        ::clock_gettime(CLOCK_MONOTONIC, &deadline_);
    }
}

}  // namespace lld
