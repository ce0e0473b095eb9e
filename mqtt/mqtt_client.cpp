#include "mqtt/mqtt_client.h"

#include "common/text.h"

#include <mosquitto.h>

#include <cerrno>
#include <mutex>

namespace {

constexpr int KeepAliveS = 30;
// QoS 1 messages on their way at once; the gateway keeps its own window below it.
constexpr int SendMaximum = 1000;

void LibraryInit() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

} // namespace

std::string TMqttClient::ErrorText(int rc) {
    if (rc == MOSQ_ERR_ERRNO) {
        return GetLastErrorText(errno);
    }
    return mosquitto_strerror(rc);
}

std::string TMqttClient::ConnackText(int code) {
    return mosquitto_connack_string(code);
}

TMqttClient::TMqttClient(const TMqttSettings& settings, THandlers handlers,
                         const std::string& will_topic, std::string_view will_payload)
    : settings_(settings), handlers_(std::move(handlers)) {
    LibraryInit();
    mosq_ = mosquitto_new(settings_.client_id.empty() ? nullptr : settings_.client_id.c_str(), true,
                          this);
    if (mosq_ == nullptr) {
        error_ = "клиент MQTT не создан: " + GetLastErrorText(errno);
        return;
    }
    mosquitto_int_option(mosq_, MOSQ_OPT_SEND_MAXIMUM, SendMaximum);
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(mosq_, [](mosquitto*, void* self, int code) {
        static_cast<TMqttClient*>(self)->handlers_.connected(code);
    });
    mosquitto_publish_callback_set(mosq_, [](mosquitto*, void* self, int mid) {
        static_cast<TMqttClient*>(self)->handlers_.published(mid);
    });
    mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
        const std::string_view payload(static_cast<const char*>(m->payload),
                                       static_cast<std::size_t>(std::max(m->payloadlen, 0)));
        static_cast<TMqttClient*>(self)->handlers_.message(m->topic, payload);
    });
    bool ok =
        Check(mosquitto_will_set(mosq_, will_topic.c_str(), static_cast<int>(will_payload.size()),
                                 will_payload.data(), 1, true));
    if (ok && !settings_.user.empty()) {
        ok = Check(mosquitto_username_pw_set(
            mosq_, settings_.user.c_str(),
            settings_.password.empty() ? nullptr : settings_.password.c_str()));
    }
    if (ok && settings_.tls) {
        ok = Check(mosquitto_tls_set(
            mosq_, settings_.ca_file.empty() ? nullptr : settings_.ca_file.c_str(),
            settings_.ca_file.empty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr));
        if (!ok) {
            error_ = "TLS (" + settings_.ca_file + "): " + error_;
        }
    }
    if (!ok) {
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
    }
}

TMqttClient::~TMqttClient() {
    if (mosq_ != nullptr) {
        mosquitto_destroy(mosq_);
    }
}

bool TMqttClient::Check(int rc) {
    if (rc == MOSQ_ERR_SUCCESS) {
        return true;
    }
    error_ = ErrorText(rc);
    return false;
}

bool TMqttClient::Connect() {
    return Check(
        mosquitto_connect_async(mosq_, settings_.host.c_str(), settings_.port, KeepAliveS));
}

int TMqttClient::Socket() const {
    return mosquitto_socket(mosq_);
}

bool TMqttClient::WantWrite() const {
    return mosquitto_want_write(mosq_);
}

bool TMqttClient::Read() {
    return Check(mosquitto_loop_read(mosq_, 1));
}

bool TMqttClient::Write() {
    return Check(mosquitto_loop_write(mosq_, 1));
}

bool TMqttClient::Misc() {
    return Check(mosquitto_loop_misc(mosq_));
}

bool TMqttClient::Publish(const std::string& topic, std::string_view payload, bool retain,
                          int* mid) {
    return Check(mosquitto_publish(mosq_, mid, topic.c_str(), static_cast<int>(payload.size()),
                                   payload.data(), 1, retain));
}

bool TMqttClient::Subscribe(const std::string& pattern) {
    return Check(mosquitto_subscribe(mosq_, nullptr, pattern.c_str(), 1));
}

void TMqttClient::Disconnect() {
    mosquitto_disconnect(mosq_);
}
