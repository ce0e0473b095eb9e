#pragma once

// One connection to an MQTT broker through libmosquitto, driven by its owner's thread alone: no
// thread of the library's own runs (mosquitto_loop_start is never called). The owner polls
// Socket() (for writing too while WantWrite()) and calls Read, Write and Misc; the handlers run
// inside those calls. A connection that is lost is not taken up again by this object: the
// owner makes a new one, so nothing the library queued for the old one is sent twice.

#include "mqtt/mqtt_settings.h"

#include <functional>
#include <string>
#include <string_view>

struct mosquitto;

class TMqttClient {
public:
    struct THandlers {
        // The broker's CONNACK: 0 accepted, else the reason code.
        std::function<void(int code)> connected;
        std::function<void(int mid)> published;
        std::function<void(std::string_view topic, std::string_view payload)> message;
    };

    // Sets the credentials, TLS, and the last will: `will_payload` retained at QoS 1 on
    // `will_topic`. Valid() is false when the library refused any of it (Error() says why).
    TMqttClient(const TMqttSettings& settings, THandlers handlers, const std::string& will_topic,
                std::string_view will_payload);
    ~TMqttClient();
    TMqttClient(const TMqttClient&) = delete;
    TMqttClient& operator=(const TMqttClient&) = delete;

    bool Valid() const { return mosq_ != nullptr; }
    // Starts the connection without waiting for it; the CONNACK comes through `connected`.
    bool Connect();
    int Socket() const;
    bool WantWrite() const;
    // False when the connection failed or was lost; Error() says why.
    bool Read();
    bool Write();
    bool Misc();
    bool Publish(const std::string& topic, std::string_view payload, bool retain, int* mid);
    bool Subscribe(const std::string& pattern);
    void Disconnect();

    const std::string& Error() const { return error_; }
    // The text of a libmosquitto result code.
    static std::string ErrorText(int rc);
    // The text of a CONNACK's reason code ("Connection Refused: not authorised.").
    static std::string ConnackText(int code);

private:
    bool Check(int rc);

    TMqttSettings settings_;
    THandlers handlers_;
    mosquitto* mosq_ = nullptr;
    std::string error_;
};
