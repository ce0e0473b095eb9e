#pragma once

// The [Mqtt] section of ktev.ini: the gateway to an MQTT broker, off unless Enabled=1.

#include <cstdint>
#include <string>

struct TMqttSettings {
    bool enabled = false;
    std::string host = "localhost";
    std::int32_t port = 1883;
    bool tls = false;
    // The CA certificate (PEM) the broker's certificate is checked against.
    std::string ca_file;
    std::string user;
    // Never written to the log.
    std::string password;
    std::string client_id = "ktev";
    std::string prefix = "ktev";
    // Remote commands taken from <Prefix>/<id>/command/set.
    bool commands = false;
    // Home Assistant's discovery configs under homeassistant/.
    bool discovery = false;

    friend bool operator==(const TMqttSettings&, const TMqttSettings&) = default;
};
