#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

#include "app/client.hpp"
#include "app/log.hpp"
#include "app/status.hpp"
#include "docsis/modem.hpp"
#include "iptsetter/ipt_setter.hpp"

namespace lld {
namespace {

constexpr int kWanServiceTries = 20;
constexpr int kWanServicePauseMs = 5000;
constexpr int kLoopTimeoutMs = 10000;

// Sleeps up to `timeout_ms`, but shuts down at once on a termination signal.
void pause_or_shut_down(ShutdownSignals& signals, int timeout_ms) {
    pollfd watch{signals.fd(), POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds{timeout_ms};
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return;
        }
        if (::poll(&watch, 1, static_cast<int>(left.count())) > 0) {
            if (const int signal_number = signals.take()) {
                lld_shutdown_handler(signal_number);
            }
        }
    }
}

}  // namespace

void wait_and_register(ShutdownSignals& signals) {
    for (int attempt = 0; attempt < kWanServiceTries; ++attempt) {
        int started = 0;
        if (get_wan_service_status(&started) == 0) {
            lld_send_ready_status();
            return;
        }
        pause_or_shut_down(signals, kWanServicePauseMs);
    }
}

void lld_main_loop(nal_socket* link, int fdAck, ShutdownSignals& signals) {
    const int link_fd = net_get_fd(link);
    enum { kLink, kAck, kSignals };
    std::vector<pollfd> watched{
        {link_fd, POLLIN, 0}, {fdAck, POLLIN, 0}, {signals.fd(), POLLIN, 0}};
    for (;;) {
        // A failed send closes the link's socket: that ends the loop like a wait on
        // a closed descriptor would.
        if (link == nullptr || link->closed()) {
            lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] select error\n");
            break;
        }
        for (pollfd& entry : watched) {
            entry.revents = 0;
        }
        const int ready = ::poll(watched.data(), watched.size(), kLoopTimeoutMs);
        if (ready < 0) {
            if (errno != EINTR) {
                lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] select error\n");
                std::this_thread::sleep_for(std::chrono::seconds{1});
            }
            continue;
        }
        if ((watched[kSignals].revents & POLLIN) != 0) {
            if (const int signal_number = signals.take()) {
                lld_shutdown_handler(signal_number);
            }
        }
        if ((watched[kLink].revents & POLLIN) != 0) {
            std::fflush(stdout);
            net_recv_msg(link);
        }
        if ((watched[kAck].revents & POLLIN) != 0) {
            // Nothing signals it today; a signal must still not make the loop spin.
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t ignored = ::read(fdAck, &count, sizeof count);
        }
        StatusSlot& slot = lld_status();
        if (slot.lld_status_pending) {
            net_send_msg(link, 2, TOPIC_STATUS, slot.lld_status_buf);
            slot.lld_status_pending = false;
        }
        if (const auto reply = iptSetterDataGet()) {
            net_send_msg(link, 2, TOPIC_STATUS, *reply);
        }
    }
}

}  // namespace lld
