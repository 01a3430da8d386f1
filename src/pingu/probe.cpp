#include "pingu/probe.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/time.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <semaphore>
#include <vector>

#include "app/log.hpp"
#include "cloud/link.hpp"
#include "iptsetter/ipt_setter.hpp"
#include "pingu/registry.hpp"

namespace lld {
namespace {

// Deliberately small: a probe needs little stack, and a gateway may run dozens.
// Sanitizer builds need more room for their bookkeeping.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kProbeStackSize = 2 * 1024 * 1024;
#else
constexpr std::size_t kProbeStackSize = 256 * 1024;
#endif
constexpr int kWaitTimeoutMs = 10000;

void put_le32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint32_t get_le32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

[[noreturn]] void fatal(const char* what) {
    std::perror(what);
    std::fflush(nullptr);
    std::_Exit(1);
}

int probe_family() {
    const iptSetterState* setter = ipt_setter();
    return setter == nullptr || setter->ipv4_up() ? AF_INET : AF_INET6;
}

std::unique_ptr<tConnection> connectionSet(const std::string& reflector, std::uint16_t local_port,
                                           std::uint16_t remote_port, bool timestamps,
                                           int traffic_class, int family) {
    auto connection = std::make_unique<tConnection>();
    connection->family = family;
    connection->fd.reset(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!connection->fd) {
        fatal("Connection Socket creation failed");
    }
    const int fd = connection->fd.get();
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (timestamps) {
        ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on);
    }
    int bound = 0;
    if (family == AF_INET) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        local.sin_port = htons(local_port);
        bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    } else {
        if (traffic_class != 0) {
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_TCLASS, &traffic_class, sizeof traffic_class);
        }
        sockaddr_in6 local{};
        local.sin6_family = AF_INET6;
        local.sin6_addr = in6addr_any;
        local.sin6_port = htons(local_port);
        bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    }
    if (bound != 0) {
        fatal("ERROR on binding");
    }
    const auto address = reflector_resolve(reflector, family);
    if (!address) {
        fatal("Failed to get IPv4/v6 address");
    }
    lld_log(LLD_LOG_DEBUG,
            "[ZEZ-UDERED] [DBG] LLD Reflector URL Address = %s(%s),proto_family=%d \n",
            reflector.c_str(), address->c_str(), family);
    if (family == AF_INET) {
        sockaddr_in remote{};
        remote.sin_family = AF_INET;
        remote.sin_port = htons(remote_port);
        inet_pton(AF_INET, address->c_str(), &remote.sin_addr);
        std::memcpy(&connection->remote, &remote, sizeof remote);
        connection->remote_length = sizeof remote;
    } else {
        sockaddr_in6 remote{};
        remote.sin6_family = AF_INET6;
        remote.sin6_port = htons(remote_port);
        inet_pton(AF_INET6, address->c_str(), &remote.sin6_addr);
        std::memcpy(&connection->remote, &remote, sizeof remote);
        connection->remote_length = sizeof remote;
    }
    return connection;
}

// A timer on the monotonic clock that keeps its own absolute deadline: each
// expiry moves it on by exactly one period, however late it was handled.
class ProbeTimer {
  public:
    explicit ProbeTimer(std::int64_t period_ms)
        : fd_{::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)},
          period_ns_{period_ms * 1'000'000} {}

    int fd() const { return fd_.get(); }
    bool valid() const { return static_cast<bool>(fd_); }

    // A timer with a period fires at once, then every period.
    void start(const timespec& now) {
        deadline_ns_ = static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
        if (period_ns_ > 0) {
            arm();
        }
    }

    // True when the deadline has passed but the expiry was not handled yet.
    bool due() const {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        return period_ns_ > 0 &&
               static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec >= deadline_ns_;
    }

    // Reads the expiry count; false when it was not 8 bytes.
    bool consume() {
        std::uint64_t count = 0;
        return ::read(fd_.get(), &count, sizeof count) == static_cast<ssize_t>(sizeof count);
    }

    void advance() {
        deadline_ns_ += period_ns_;
        arm();
    }

  private:
    void arm() {
        itimerspec expiry{};
        expiry.it_value.tv_sec = static_cast<time_t>(deadline_ns_ / 1'000'000'000);
        expiry.it_value.tv_nsec = static_cast<long>(deadline_ns_ % 1'000'000'000);
        ::timerfd_settime(fd_.get(), TFD_TIMER_ABSTIME, &expiry, nullptr);
    }

    UniqueFd fd_;
    std::int64_t period_ns_;
    std::int64_t deadline_ns_ = 0;
};

struct tTestInstance {
    explicit tTestInstance(const tPinguArgs& args)
        : interval{args.interval},
          timer_interval{args.interval},
          timer_refresh{static_cast<std::int64_t>(args.refresh_period) * 1000},
          timer_duration{static_cast<std::int64_t>(args.duration) * 1000} {}

    std::int32_t interval;
    HistogramShape shape;
    ProbeTimer timer_interval;
    ProbeTimer timer_refresh;
    ProbeTimer timer_duration;
    std::uint32_t seq = 0;
    ProbeDatagram tx_buf{};
    // conns[0] the classic path, conns[1] the low-latency path when there is one.
    std::vector<std::unique_ptr<tConnection>> conns;
};

// Reads every waiting echo of one socket; each 76-byte echo becomes a sample.
void drain(tConnection& connection, const timeval& woke) {
    for (;;) {
        std::array<std::uint8_t, kProbeDatagramSize + 4> rx{};
        alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(timeval))> control{};
        iovec io{rx.data(), rx.size()};
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        const ssize_t got = ::recvmsg(connection.fd.get(), &message, MSG_DONTWAIT);
        if (got < 0) {
            return;
        }
        timeval received = woke;
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
             header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_TIMESTAMP &&
                header->cmsg_len == CMSG_LEN(sizeof(timeval))) {
                std::memcpy(&received, CMSG_DATA(header), sizeof received);
            }
        }
        const auto delay = probe_delay({rx.data(), static_cast<std::size_t>(got)},
                                       static_cast<std::uint32_t>(received.tv_sec),
                                       static_cast<std::uint32_t>(received.tv_usec));
        if (delay) {
            connection.samples.insert_sorted(*delay);
        }
    }
}

void send_cycle(tTestInstance& instance) {
    ++instance.seq;
    timeval now{};
    ::gettimeofday(&now, nullptr);
    write_probe_header(instance.tx_buf, instance.seq, static_cast<std::uint32_t>(now.tv_sec),
                       static_cast<std::uint32_t>(now.tv_usec));
    // Odd cycles go out first on the low-latency path, even ones on the classic path.
    std::vector<tConnection*> order;
    if (instance.conns.size() > 1) {
        order = {instance.conns[instance.seq % 2].get(),
                 instance.conns[1 - instance.seq % 2].get()};
    } else {
        order = {instance.conns[0].get()};
    }
    for (tConnection* connection : order) {
        const ssize_t sent = ::sendto(
            connection->fd.get(), instance.tx_buf.data(), instance.tx_buf.size(), 0,
            reinterpret_cast<const sockaddr*>(&connection->remote), connection->remote_length);
        if (sent < 1) {
            const iptSetterState* setter = ipt_setter();
            lld_log(LLD_LOG_DEBUG,
                    "[ZEZ-UDERED] [DBG] ....sendto result %d ---> %d-%d,proto=%d ...\n",
                    static_cast<int>(sent), setter && setter->ipv4_up() ? 1 : 0,
                    setter && setter->ipv6_up() ? 1 : 0, connection->family);
        }
    }
}

std::string wan_address(const tTestInstance& instance) {
    const iptSetterState* setter = ipt_setter();
    if (setter == nullptr) {
        return {};
    }
    return instance.conns[0]->family == AF_INET ? setter->wan_ipv4() : setter->wan_ipv6();
}

std::vector<tSampleList*> sample_lists(tTestInstance& instance) {
    std::vector<tSampleList*> lists;
    for (auto& connection : instance.conns) {
        lists.push_back(&connection->samples);
    }
    return lists;
}

void report(const tPinguArgs& args, tTestInstance& instance) {
    const auto lists = sample_lists(instance);
    const std::string text =
        args.kind == PINGU_MONITOR
            ? format_monitor_report(args.name, wan_address(instance),
                                    MonitorFigures{args.interval, args.duration, args.port_classic,
                                                   args.port_lld, instance.shape},
                                    lists)
            : format_user_report(args.name, instance.seq, lists, wan_address(instance));
    net_send_msg(net_get_link(), 2, TOPIC_METRICS, text);
}

enum class ProbeEnd { Completed, Stopped, Failed };

ProbeEnd run_probe(const tPinguArgs& args, const ProbeStopper& stopper) {
    tTestInstance instance{args};
    const int family = probe_family();
    instance.conns.push_back(
        connectionSet(args.reflector_url, static_cast<std::uint16_t>(args.port_classic),
                      static_cast<std::uint16_t>(args.reflector_port), true, 0, family));
    if (args.port_lld != 0) {
        const iptSetterState* setter = ipt_setter();
        const int dscp = setter == nullptr ? iptSetterState::kDefaultDscp : setter->dscp_value();
        instance.conns.push_back(
            connectionSet(args.reflector_url, static_cast<std::uint16_t>(args.port_lld),
                          static_cast<std::uint16_t>(args.reflector_port), true, dscp * 4, family));
    }
    write_probe_text(instance.tx_buf, args.kind);
    if (!instance.timer_interval.valid() || !instance.timer_refresh.valid() ||
        !instance.timer_duration.valid()) {
        lld_log(LLD_LOG_DEBUG,
                "[ZEZ-UDERED] [DBG] PINGU_THREAD '%s' failed to create tTestInstance\n",
                args.name.c_str());
        return ProbeEnd::Failed;
    }
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    instance.timer_interval.start(now);
    instance.timer_refresh.start(now);
    instance.timer_duration.start(now);
    if (args.name.find(kUserPinguName) != std::string::npos) {
        pingu_state_publish(PINGU_USER, PINGU_STATE_STARTED);
    }

    enum { kStop, kInterval, kRefresh, kDuration, kSockets };
    std::vector<pollfd> watched{{stopper.fd(), POLLIN, 0},
                                {instance.timer_interval.fd(), POLLIN, 0},
                                {instance.timer_refresh.fd(), POLLIN, 0},
                                {instance.timer_duration.fd(), POLLIN, 0}};
    for (const auto& connection : instance.conns) {
        watched.push_back({connection->fd.get(), POLLIN, 0});
    }
    bool refresh_started = false;
    bool duration_started = false;
    for (;;) {
        for (pollfd& entry : watched) {
            entry.revents = 0;
        }
        if (::poll(watched.data(), watched.size(), kWaitTimeoutMs) < 0) {
            const int error = errno;
            if (error == EINTR) {
                continue;
            }
            lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] PINGU_THREAD '%s' select error %d:%s\n",
                    args.name.c_str(), error, std::strerror(error));
            pollfd stop{stopper.fd(), POLLIN, 0};
            if (::poll(&stop, 1, 1000) > 0) {
                return ProbeEnd::Stopped;
            }
            continue;
        }
        if ((watched[kStop].revents & POLLIN) != 0) {
            return ProbeEnd::Stopped;
        }
        timeval woke{};
        ::gettimeofday(&woke, nullptr);
        for (std::size_t i = 0; i < instance.conns.size(); ++i) {
            if ((watched[kSockets + i].revents & POLLIN) != 0) {
                drain(*instance.conns[i], woke);
            }
        }
        if ((watched[kInterval].revents & POLLIN) != 0) {
            if (!instance.timer_interval.consume()) {
                lld_log(LLD_LOG_ERROR,
                        "[ZEZ-UDERED] [ERR] PINGU_THREAD '%s' interval timer error %d\n",
                        args.name.c_str(), errno);
            }
            instance.timer_interval.advance();
            send_cycle(instance);
        }
        if ((watched[kRefresh].revents & POLLIN) != 0) {
            if (!instance.timer_refresh.consume()) {
                lld_log(LLD_LOG_ERROR,
                        "[ZEZ-UDERED] [ERR] PINGU_THREAD '%s' refresh period timer error %d\n",
                        args.name.c_str(), errno);
            }
            if (refresh_started) {
                report(args, instance);
            }
            refresh_started = true;
            instance.timer_refresh.advance();
        }
        if ((watched[kDuration].revents & POLLIN) != 0) {
            if (!instance.timer_duration.consume()) {
                lld_log(LLD_LOG_ERROR,
                        "[ZEZ-UDERED] [ERR] PINGU_THREAD '%s' duration timer error %d\n",
                        args.name.c_str(), errno);
            }
            if (duration_started) {
                // The refresh that falls on the end may not have woken us yet: the
                // last period is reported all the same.
                if (refresh_started && instance.timer_refresh.due()) {
                    report(args, instance);
                }
                return ProbeEnd::Completed;
            }
            duration_started = true;
            instance.timer_duration.advance();
        }
    }
}

struct tPinguThreadArg {
    tPinguArgs args;
    std::shared_ptr<const ProbeStopper> stopper;
    // Released once the starter has registered the probe, so that a stop request
    // right after the start already finds it, and the thread's own removal can
    // never come before the entry exists.
    std::binary_semaphore registered{0};
};

void* PINGU_THREAD(void* raw) {
    const std::unique_ptr<tPinguThreadArg> arg{static_cast<tPinguThreadArg*>(raw)};
    const tPinguArgs& args = arg->args;
    const auto self = static_cast<unsigned long>(pthread_self());
    arg->registered.acquire();
    // Wake-ups exactly at the deadlines: the default slack lets them come up to
    // 50 us late.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] PINGU_THREAD '%s' %lu started\n", args.name.c_str(),
            self);
    const ProbeEnd end = run_probe(args, *arg->stopper);
    if (end == ProbeEnd::Completed) {
        if (args.name == kUserPinguName && PINGU_ACTIVE_find(kUserPinguName)) {
            pingu_state_publish(PINGU_USER, PINGU_STATE_COMPLETED);
        }
        lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] PINGU_THREAD '%s' %lu completed\n",
                args.name.c_str(), self);
    }
    // Sockets and timers are closed by now, so a restarted probe finds its ports free.
    PINGU_ACTIVE_delete(args.name);
    return nullptr;
}

struct ThreadAttributes {
    ThreadAttributes() { ok = pthread_attr_init(&attributes) == 0; }
    ~ThreadAttributes() {
        if (ok) {
            pthread_attr_destroy(&attributes);
        }
    }
    ThreadAttributes(const ThreadAttributes&) = delete;
    ThreadAttributes& operator=(const ThreadAttributes&) = delete;
    pthread_attr_t attributes{};
    bool ok = false;
};

}  // namespace

void write_probe_text(ProbeDatagram& datagram, std::int32_t kind) {
    std::snprintf(reinterpret_cast<char*>(datagram.data() + kProbeTextOffset),
                  kProbeDatagramSize - kProbeTextOffset, "pingu version: %s",
                  kind == PINGU_USER ? "pingu" : "flea");
}

void write_probe_header(ProbeDatagram& datagram, std::uint32_t seq, std::uint32_t seconds,
                        std::uint32_t microseconds) {
    put_le32(datagram.data(), seq);
    put_le32(datagram.data() + 4, seconds);
    put_le32(datagram.data() + 8, microseconds);
}

std::optional<std::uint32_t> probe_delay(std::span<const std::uint8_t> echo, std::uint32_t seconds,
                                         std::uint32_t microseconds) {
    if (echo.size() != kProbeDatagramSize) {
        return std::nullopt;
    }
    const std::uint32_t sent_seconds = get_le32(echo.data() + 4);
    const std::uint32_t sent_microseconds = get_le32(echo.data() + 8);
    return (seconds - sent_seconds) * 1'000'000u + microseconds - sent_microseconds;
}

std::optional<std::string> reflector_resolve(const std::string& host, int family) {
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    if (const int error = ::getaddrinfo(host.c_str(), nullptr, &hints, &raw); error != 0) {
        std::fprintf(stderr, "getaddrinfo: %s\n", gai_strerror(error));
        return std::nullopt;
    }
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> results{raw, freeaddrinfo};
    for (const addrinfo* result = results.get(); result != nullptr; result = result->ai_next) {
        char text[100] = {};
        const void* address = nullptr;
        if (result->ai_family == AF_INET) {
            address = &reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr;
        } else if (result->ai_family == AF_INET6) {
            address = &reinterpret_cast<const sockaddr_in6*>(result->ai_addr)->sin6_addr;
        }
        if (address != nullptr && inet_ntop(result->ai_family, address, text, sizeof text)) {
            return std::string{text};
        }
    }
    return std::nullopt;
}

bool start_probe_thread(tPinguArgs args) {
    auto arg = std::make_unique<tPinguThreadArg>();
    arg->args = std::move(args);
    arg->stopper = std::make_shared<const ProbeStopper>();
    if (!arg->stopper->valid()) {
        lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] Failed to create pingu thread argument\n");
        return false;
    }
    ThreadAttributes attributes;
    pthread_t thread{};
    const int error =
        !attributes.ok ? EAGAIN
        : pthread_attr_setdetachstate(&attributes.attributes, PTHREAD_CREATE_DETACHED) != 0 ||
                pthread_attr_setstacksize(&attributes.attributes, kProbeStackSize) != 0
            ? EINVAL
            : pthread_create(&thread, &attributes.attributes, PINGU_THREAD, arg.get());
    if (error != 0) {
        lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] Failed to create pingu thread for '%s': %s\n",
                arg->args.name.c_str(), std::strerror(error));
        return false;  // the argument is freed here
    }
    // The thread owns the argument now; it waits for its registry entry.
    tPinguThreadArg* owned = arg.release();
    PINGU_ACTIVE_add(owned->args.name, static_cast<unsigned long>(thread), owned->stopper);
    owned->registered.release();
    return true;
}

}  // namespace lld
