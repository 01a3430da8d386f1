#include "app/proxy/broker.hpp"

#include <cerrno>
#include <cstring>

#include "common/log.hpp"

namespace lld::proxy {
namespace {

BrokerEvents& events_of(void* user_data) {
    return *static_cast<BrokerEvents*>(user_data);
}

void connected(mosquitto* /*handle*/, void* user_data, int code) {
    events_of(user_data).on_connected(code);
}

void published(mosquitto* /*handle*/, void* user_data, int mid) {
    events_of(user_data).on_published(mid);
}

void received(mosquitto* /*handle*/, void* user_data, const mosquitto_message* message) {
    const std::string_view payload{static_cast<const char*>(message->payload),
                                   static_cast<std::size_t>(message->payloadlen)};
    events_of(user_data).on_message(message->topic != nullptr ? message->topic : "", payload);
}

void disconnected(mosquitto* /*handle*/, void* user_data, int reason) {
    events_of(user_data).on_disconnected(reason);
}

// The library's own lines (a TLS failure's cause, say) join the log; none holds the password.
void library_line(mosquitto* /*handle*/, void* /*user_data*/, int level, const char* text) {
    if ((level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) != 0) {
        log_error("libmosquitto: %s", printable(text).c_str());
    } else {
        log_debug("libmosquitto: %s", printable(text).c_str());
    }
}

// A device key is never encrypted here: without this the library would prompt on the terminal.
int no_key_password(char* /*buffer*/, int /*size*/, int /*rwflag*/, void* /*user_data*/) {
    return 0;
}

int set_tls(mosquitto* handle, const BrokerSettings& settings) {
    const char* cert = settings.cert_file ? settings.cert_file->c_str() : nullptr;
    const char* key = settings.key_file ? settings.key_file->c_str() : nullptr;
    return mosquitto_tls_set(handle, settings.ca_file.c_str(), nullptr, cert, key, no_key_password);
}

// The library's texts are sentences; our lines go on after them.
std::string without_period(std::string text) {
    if (text.ends_with('.')) {
        text.pop_back();
    }
    return text;
}

}  // namespace

std::string broker_error(int code) {
    return without_period(code == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(code));
}

std::string connack_error(int code) {
    return without_period(mosquitto_connack_string(code));
}

BrokerSession::BrokerSession(const BrokerSettings& settings, BrokerEvents& events)
    : handle_{mosquitto_new(settings.client_id.c_str(), true, &events)} {
    if (!handle_) {
        throw StartupError(std::string{"Cannot make an MQTT session: "} + std::strerror(errno));
    }
    int code = mosquitto_username_pw_set(handle_.get(), settings.username.c_str(),
                                         settings.password.c_str());
    if (code == MOSQ_ERR_SUCCESS && settings.tls) {
        code = set_tls(handle_.get(), settings);
    }
    if (code != MOSQ_ERR_SUCCESS) {
        // The password is never shown; the files are.
        throw StartupError("Cannot set up the MQTT session with \"public_cert\" " +
                           printable(settings.ca_file) + ", \"device_cert\" " +
                           printable(settings.cert_file.value_or("(none)")) + ", \"device_key\" " +
                           printable(settings.key_file.value_or("(none)")) + ": " +
                           broker_error(code));
    }
    mosquitto_connect_callback_set(handle_.get(), connected);
    mosquitto_publish_callback_set(handle_.get(), published);
    mosquitto_message_callback_set(handle_.get(), received);
    mosquitto_disconnect_callback_set(handle_.get(), disconnected);
    mosquitto_log_callback_set(handle_.get(), library_line);
}

int BrokerSession::connect(const BrokerSettings& settings) {
    return mosquitto_connect_async(handle_.get(), settings.host.c_str(), settings.port,
                                   kKeepAliveSeconds);
}

int BrokerSession::publish(const std::string& topic, std::string_view payload, int& mid) {
    return mosquitto_publish(handle_.get(), &mid, topic.c_str(), static_cast<int>(payload.size()),
                             payload.data(), 1, false);
}

int BrokerSession::subscribe(const std::string& topic) {
    return mosquitto_subscribe(handle_.get(), nullptr, topic.c_str(), 1);
}

int BrokerSession::disconnect() {
    return mosquitto_disconnect(handle_.get());
}

int BrokerSession::socket() const {
    return mosquitto_socket(handle_.get());
}

bool BrokerSession::want_write() const {
    return mosquitto_want_write(handle_.get());
}

int BrokerSession::read() {
    return mosquitto_loop_read(handle_.get(), 1);
}

int BrokerSession::write() {
    return mosquitto_loop_write(handle_.get(), 1);
}

int BrokerSession::misc() {
    return mosquitto_loop_misc(handle_.get());
}

}  // namespace lld::proxy
