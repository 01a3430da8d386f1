#include "docsis/publisher.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "app/config.hpp"
#include "app/log.hpp"
#include "cloud/link.hpp"
#include "common/fd.hpp"
#include "common/json.hpp"
#include "docsis/modem.hpp"

namespace lld {

std::atomic<std::int32_t> docsis_refresh_period{kDefaultDocsisRefreshPeriod};

namespace {

// The publisher thread and the descriptor its pause watches; main thread only.
struct Publisher {
    UniqueFd stop{::eventfd(0, EFD_CLOEXEC)};
    std::thread thread;
};
std::unique_ptr<Publisher> docsis_thread_id;

// Pauses for the period; false when asked to stop. A publication in progress is
// always finished first, so a stop never leaves a child or a pipe behind.
bool pause_for_period(int stop_fd) {
    // The period counts as unsigned seconds.
    const auto seconds = static_cast<std::uint32_t>(docsis_refresh_period.load());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds{seconds};
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd watch{stop_fd, POLLIN, 0};
        const int timeout =
            static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 24 * 60 * 60 * 1000));
        if (::poll(&watch, 1, timeout) > 0) {
            return false;
        }
        if (left.count() <= 0 || std::chrono::steady_clock::now() >= deadline) {
            return true;
        }
    }
}

void docsis_stats_thread(int stop_fd) {
    while (pause_for_period(stop_fd)) {
        docsis_stats_publish();
    }
}

}  // namespace

void docsis_publisher_init() {
    docsis_refresh_period.store(kDefaultDocsisRefreshPeriod);
    docsis_publisher_stop();
}

void docsis_stats_publish() {
    nal_socket* link = net_get_link();
    const auto stats = lld_get_sf_stats();
    if (!stats) {
        lld_log(LLD_LOG_DEBUG,
                "[ZEZ-UDERED] [DBG] LLD: Publish failed for docsis_config response \n");
        return;
    }
    lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] publishing docsis_config stats = %s \n",
            stats->c_str());
    net_send_msg(link, 2, TOPIC_METRICS, *stats);
}

bool docsis_publisher_running() {
    return docsis_thread_id != nullptr;
}

void docsis_publisher_stop() {
    if (!docsis_thread_id) {
        return;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written =
        ::write(docsis_thread_id->stop.get(), &one, sizeof one);
    if (docsis_thread_id->thread.joinable()) {
        docsis_thread_id->thread.join();
    }
    docsis_thread_id.reset();
}

void docsis_config_process(const cJSON* config) {
    if (config == nullptr) {
        return;
    }
    if (const auto period = json_string_member(config, "refresh_period")) {
        docsis_refresh_period.store(std::atoi(std::string{*period}.c_str()));
        lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] LLD: docsis_config refresh_period=%d ...\n",
                docsis_refresh_period.load());
    }
    const auto command = json_string_member(config, "command");
    if (!command) {
        return;
    }
    const std::string text{*command};
    lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] LLD: docsis_config : refresh_period=%d, cmd=%s \n",
            docsis_refresh_period.load(), text.c_str());
    if (str_starts_with(text, "start")) {
        if (docsis_thread_id) {
            lld_log(LLD_LOG_DEBUG,
                    "[ZEZ-UDERED] [DBG] LLD docsis_config START received thread is active.\n");
            return;
        }
        lld_log(LLD_LOG_DEBUG,
                "[ZEZ-UDERED] [DBG] LLD docsis_config START received thread is not active.\n");
        auto publisher = std::make_unique<Publisher>();
        if (!publisher->stop) {
            return;  // a later start tries again
        }
        const int stop_fd = publisher->stop.get();
        publisher->thread = std::thread{[stop_fd] { docsis_stats_thread(stop_fd); }};
        docsis_thread_id = std::move(publisher);
        return;
    }
    docsis_publisher_stop();
    lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] LLD docsis_config STOP received.\n");
}

}  // namespace lld
