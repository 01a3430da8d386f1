#include "app/proxy/bridge.hpp"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

#include "cloud/link.hpp"
#include "common/json.hpp"
#include "common/log.hpp"

namespace lld::proxy {
namespace {

// The cloud's messages reach the client with this type.
constexpr std::uint32_t kDeliverType = 1;
constexpr int kTickMs = 1000;
// Datagrams served in one round, so that the broker side is never starved.
constexpr int kDatagramsPerRound = 64;
constexpr auto kFlushTime = std::chrono::seconds{1};

// What the library refuses for the message itself: sending it again would not help.
bool refused_for_good(int code) {
    return code == MOSQ_ERR_INVAL || code == MOSQ_ERR_PAYLOAD_SIZE ||
           code == MOSQ_ERR_MALFORMED_UTF8 || code == MOSQ_ERR_OVERSIZE_PACKET ||
           code == MOSQ_ERR_QOS_NOT_SUPPORTED;
}

}  // namespace

Bridge::Bridge(ProxySettings settings, int stop_fd)
    : settings_{std::move(settings)},
      prefix_{topic_prefix(settings_.device_id)},
      config_topic_{prefix_ + "config"},
      stop_fd_{stop_fd},
      local_{settings_.own_path, settings_.client_path, settings_.client_uid} {
    // A session that can't be set up (a certificate the library refuses) ends the start.
    BrokerSession probe{settings_.broker, *this};
}

std::string Bridge::broker_name() const {
    return printable(settings_.broker.host) + ":" + std::to_string(settings_.broker.port) +
           (settings_.broker.tls ? " (TLS)" : " (plain)");
}

int Bridge::run() {
    log_info("Proxy for %s at %s; the client's socket %s (uid %u); the broker %s",
             printable(settings_.device_id).c_str(), printable(settings_.own_path).c_str(),
             printable(settings_.client_path).c_str(), static_cast<unsigned>(settings_.client_uid),
             broker_name().c_str());
    next_attempt_ = Clock::now();
    while (serve_round()) {
    }
    shut_down();
    return 0;
}

bool Bridge::serve_round() {
    if (!session_ && Clock::now() >= next_attempt_) {
        start_attempt();
    }
    constexpr std::size_t kLocal = 0;
    constexpr std::size_t kStop = 1;
    constexpr std::size_t kBroker = 2;
    pollfd watched[] = {{local_.fd(), POLLIN, 0}, {stop_fd_, POLLIN, 0}, {-1, 0, 0}};
    if (session_ && session_->socket() >= 0) {
        const short out = session_->want_write() ? POLLOUT : 0;
        watched[kBroker] = {session_->socket(), static_cast<short>(POLLIN | out), 0};
    }
    if (::poll(watched, 3, poll_timeout_ms()) < 0) {
        if (errno != EINTR) {
            log_error("poll: %s", std::strerror(errno));
            std::this_thread::sleep_for(std::chrono::seconds{1});
        }
        return true;
    }
    // Datagrams already here are taken before a stop is honoured, so the
    // client's last word still reaches the broker.
    if ((watched[kLocal].revents & POLLIN) != 0) {
        serve_client();
    }
    if (session_ && watched[kBroker].revents != 0) {
        serve_broker(watched[kBroker].revents);
    }
    tick();
    pump();
    return (watched[kStop].revents & POLLIN) == 0;
}

int Bridge::poll_timeout_ms() const {
    if (session_) {
        return kTickMs;
    }
    const auto wait =
        std::chrono::duration_cast<std::chrono::milliseconds>(next_attempt_ - Clock::now());
    return static_cast<int>(std::clamp<std::int64_t>(wait.count(), 0, kTickMs));
}

void Bridge::serve_client() {
    for (int i = 0; i < kDatagramsPerRound; ++i) {
        Received datagram = local_.receive();
        if (datagram.status == ReceiveStatus::Empty) {
            return;
        }
        if (datagram.status == ReceiveStatus::Message) {
            accept_datagram(datagram.text);
        }
    }
}

void Bridge::accept_datagram(std::string_view text) {
    const auto datagram = parse_datagram(text);
    if (!datagram || !datagram->topic || !datagram->payload) {
        // Never shown: it may hold a secret.
        log_error("Dropped a datagram of %zu bytes from the client: no message", text.size());
        return;
    }
    const std::string& topic = *datagram->topic;
    if (!topic.starts_with(prefix_) || topic.size() == prefix_.size() || topic == config_topic_) {
        if (refused_.count()) {
            log_error("Refused %llu messages on topics the client may not use; the last on %s",
                      static_cast<unsigned long long>(refused_.total()), printable(topic).c_str());
        }
        return;
    }
    if (log_enabled(LogLevel::Debug)) {
        log_debug("To the broker on %s: %s", printable(topic).c_str(),
                  printable(redact_secrets(*datagram->payload)).c_str());
    }
    if (outbox_.push(topic, *datagram->payload) && queue_full_.count()) {
        log_error("Queue for the broker full (%zu messages): %llu oldest dropped so far",
                  outbox_.size(), static_cast<unsigned long long>(outbox_.dropped()));
    }
}

void Bridge::serve_broker(short revents) {
    int code = MOSQ_ERR_SUCCESS;
    if ((revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
        code = session_->read();
    }
    if (code == MOSQ_ERR_SUCCESS && lost_.empty() && (revents & POLLOUT) != 0) {
        code = session_->write();
    }
    check_session(code);
}

void Bridge::check_session(int code) {
    if (code != MOSQ_ERR_SUCCESS && lost_.empty()) {
        lost_ = broker_error(code);
    }
    if (!lost_.empty()) {
        drop_session(lost_);
    }
}

void Bridge::tick() {
    if (!session_) {
        return;
    }
    if (!connected_ && Clock::now() >= attempt_deadline_) {
        drop_session("no answer in " + std::to_string(kConnectTimeout.count()) + " s");
        return;
    }
    check_session(session_->misc());
}

void Bridge::pump() {
    while (connected_ && outbox_.in_flight() < kMaxInFlight) {
        OutMessage* message = outbox_.next_unsent();
        if (message == nullptr) {
            return;
        }
        int mid = 0;
        const int code = session_->publish(message->topic, message->payload, mid);
        if (code == MOSQ_ERR_SUCCESS) {
            message->mid = mid;
        } else if (refused_for_good(code)) {
            log_error("The message on %s can't be published (%s): dropped",
                      printable(message->topic).c_str(), broker_error(code).c_str());
            outbox_.discard(*message);
        } else {
            check_session(code);
        }
    }
}

void Bridge::start_attempt() {
    log_debug("Connecting to the broker %s as %s", broker_name().c_str(),
              printable(settings_.broker.username).c_str());
    try {
        BrokerEvents& events = *this;
        session_ = std::make_unique<BrokerSession>(settings_.broker, events);
    } catch (const StartupError& failure) {
        drop_session(failure.what());
        return;
    }
    attempt_deadline_ = Clock::now() + kConnectTimeout;
    const int code = session_->connect(settings_.broker);
    if (code != MOSQ_ERR_SUCCESS) {
        drop_session("can't connect: " + broker_error(code));
    }
}

void Bridge::drop_session(const std::string& cause) {
    log_error("Broker %s: %s; %zu messages kept, next attempt in %lld s", broker_name().c_str(),
              cause.c_str(), outbox_.size(), static_cast<long long>(back_off_.count()));
    outbox_.requeue_in_flight();
    session_.reset();
    connected_ = false;
    lost_.clear();
    next_attempt_ = Clock::now() + back_off_;
    back_off_ = std::min(back_off_ * 2, kMaxBackOff);
}

void Bridge::on_connected(int connack_code) {
    if (connack_code != 0) {
        lost_ = "connection refused: " + connack_error(connack_code);
        return;
    }
    connected_ = true;
    back_off_ = kFirstBackOff;
    log_info("Connected to the broker %s; %zu messages waiting", broker_name().c_str(),
             outbox_.size());
    const int code = session_->subscribe(config_topic_);
    if (code != MOSQ_ERR_SUCCESS) {
        lost_ = "can't subscribe to " + printable(config_topic_) + ": " + broker_error(code);
    }
}

void Bridge::on_published(int mid) {
    outbox_.acknowledge(mid);
}

void Bridge::on_message(std::string_view topic, std::string_view payload) {
    if (log_enabled(LogLevel::Debug)) {
        log_debug("From the broker on %s: %s", printable(topic).c_str(),
                  printable(redact_secrets(payload)).c_str());
    }
    const auto text = build_datagram(kDeliverType, topic, payload);
    if (!text) {
        log_error("Cannot build the datagram for a message on %s", printable(topic).c_str());
        return;
    }
    local_.send_to_client(*text);
}

void Bridge::on_disconnected(int reason) {
    if (lost_.empty()) {
        lost_ = broker_error(reason);
    }
}

void Bridge::shut_down() {
    log_info("lld-proxy is going down");
    if (connected_ && session_->disconnect() == MOSQ_ERR_SUCCESS) {
        // The DISCONNECT follows whatever was published; give it a moment to leave.
        const auto deadline = Clock::now() + kFlushTime;
        while (session_->socket() >= 0 && session_->want_write() && Clock::now() < deadline) {
            pollfd out{session_->socket(), POLLOUT, 0};
            if (::poll(&out, 1, 100) > 0 && session_->write() != MOSQ_ERR_SUCCESS) {
                break;
            }
        }
    }
    if (outbox_.size() > 0) {
        log_error("%zu messages for the broker not acknowledged at the end", outbox_.size());
    }
    session_.reset();
}

}  // namespace lld::proxy
