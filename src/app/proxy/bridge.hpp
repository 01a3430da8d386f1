// The bridge between the client's datagrams and the MQTT broker: one thread, one
// poll loop over the proxy's socket, the stop signals' descriptor and the broker
// connection. The client's messages wait in the Outbox until the broker has
// acknowledged them; the cloud's messages on "CS/<device_id>/LLD/config" go to
// the client as {"type":1,"topic","payload"}. A broken connection is tried again
// after 1 s, doubling to 30 s.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "app/proxy/broker.hpp"
#include "app/proxy/local_socket.hpp"
#include "app/proxy/outbox.hpp"
#include "app/proxy/settings.hpp"

namespace lld::proxy {

class Bridge final : private BrokerEvents {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kFirstBackOff{1};
    static constexpr std::chrono::seconds kMaxBackOff{30};
    static constexpr std::chrono::seconds kConnectTimeout{15};
    // Messages handed to the broker and not yet acknowledged, at most.
    static constexpr std::size_t kMaxInFlight = 20;

    // Binds the proxy's socket and checks that the broker session can be set up;
    // throws StartupError. `stop_fd` becomes readable when the proxy must end.
    Bridge(ProxySettings settings, int stop_fd);

    // Until the stop descriptor is readable; the exit status.
    int run();

  private:
    void on_connected(int connack_code) override;
    void on_published(int mid) override;
    void on_message(std::string_view topic, std::string_view payload) override;
    void on_disconnected(int reason) override;

    // One wait and what it brought; false once the proxy must end.
    bool serve_round();
    void serve_client();
    void accept_datagram(std::string_view text);
    void serve_broker(short revents);
    void check_session(int code);
    void tick();
    void pump();
    void start_attempt();
    void drop_session(const std::string& cause);
    void shut_down();
    int poll_timeout_ms() const;
    std::string broker_name() const;

    ProxySettings settings_;
    std::string prefix_;
    std::string config_topic_;
    int stop_fd_;
    LocalSocket local_;
    Outbox outbox_;
    std::unique_ptr<BrokerSession> session_;
    bool connected_ = false;
    std::string lost_;  // why the session ended, when a callback said so
    Clock::time_point next_attempt_;
    Clock::time_point attempt_deadline_;
    std::chrono::seconds back_off_ = kFirstBackOff;
    Complaint queue_full_;
    Complaint refused_;
};

}  // namespace lld::proxy
