// One MQTT session with the broker through libmosquitto, driven by the caller's
// own poll loop: the caller watches socket(), and calls read(), write() and
// misc() (no thread of the library's). Each connection attempt gets a fresh
// session, so no message of a broken connection lingers inside the library: the
// Outbox is the one place that keeps them.
#pragma once

#include <mosquitto.h>

#include <memory>
#include <string>
#include <string_view>

#include "app/proxy/settings.hpp"

namespace lld::proxy {

// The library's global state, for the lifetime of the process.
class MosquittoLibrary {
  public:
    MosquittoLibrary() { mosquitto_lib_init(); }
    ~MosquittoLibrary() { mosquitto_lib_cleanup(); }
    MosquittoLibrary(const MosquittoLibrary&) = delete;
    MosquittoLibrary& operator=(const MosquittoLibrary&) = delete;
};

// What the session reports, from inside read(), write() and misc().
class BrokerEvents {
  public:
    virtual ~BrokerEvents() = default;
    virtual void on_connected(int connack_code) = 0;
    virtual void on_published(int mid) = 0;
    virtual void on_message(std::string_view topic, std::string_view payload) = 0;
    virtual void on_disconnected(int reason) = 0;

  protected:
    BrokerEvents() = default;
    BrokerEvents(const BrokerEvents&) = default;
    BrokerEvents& operator=(const BrokerEvents&) = default;
};

struct MosquittoDeleter {
    void operator()(mosquitto* handle) const { mosquitto_destroy(handle); }
};
using MosquittoPtr = std::unique_ptr<mosquitto, MosquittoDeleter>;

class BrokerSession {
  public:
    static constexpr int kKeepAliveSeconds = 60;

    // A configured session that has not connected yet; throws StartupError naming
    // the file or the cause when the library takes no such session.
    BrokerSession(const BrokerSettings& settings, BrokerEvents& events);

    // Starts the connection without waiting for it (the name is resolved now);
    // the CONNACK comes to on_connected. Every call below returns a MOSQ_ERR_ code.
    int connect(const BrokerSettings& settings);
    int publish(const std::string& topic, std::string_view payload, int& mid);
    int subscribe(const std::string& topic);
    int disconnect();

    int socket() const;
    bool want_write() const;
    int read();
    int write();
    int misc();

  private:
    MosquittoPtr handle_;
};

// The text of a MOSQ_ERR_ code (errno's text for a failed system call).
std::string broker_error(int code);
// The text of a CONNACK's refusal code.
std::string connack_error(int code);

}  // namespace lld::proxy
