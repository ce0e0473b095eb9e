#pragma once

// A real mosquitto broker for the tests: its own config in a temporary folder, listening on
// 127.0.0.1 only at a free port, stopped and started again on the same port. And mosquitto_sub
// as a subscriber whose lines ("topic payload") the test reads.

#include "support/temp_dir.h"

#include <sys/types.h>

#include <string>
#include <vector>

class MqttBroker {
public:
    MqttBroker();
    ~MqttBroker();
    MqttBroker(const MqttBroker&) = delete;
    MqttBroker& operator=(const MqttBroker&) = delete;

    // A test CA and a server certificate for 127.0.0.1 (SAN IP:127.0.0.1) made with openssl;
    // the next Start listens with TLS. False when openssl failed.
    bool MakeTls();
    // `persistent`: client sessions survive a restart (a subscriber's messages queued meanwhile).
    // Waits until the broker takes connections; false when it did not within the deadline.
    bool Start(bool persistent = false);
    void Stop();
    // What the broker logged.
    std::string Log() const;

    int port() const { return port_; }
    bool tls() const { return tls_; }
    std::string ca_file() const { return dir_.file("ca.crt"); }
    const std::string& folder() const { return dir_.path(); }

private:
    TempDir dir_;
    int port_ = 0;
    bool tls_ = false;
    pid_t pid_ = -1;
};

class MqttSubscriber {
public:
    // Subscribes to `topics` on the broker (QoS 1; `session`: a persistent session of that
    // client id); `extra` are further mosquitto_sub arguments.
    MqttSubscriber(const MqttBroker& broker, const std::vector<std::string>& topics,
                   const std::string& session = {}, const std::vector<std::string>& extra = {});
    ~MqttSubscriber();
    MqttSubscriber(const MqttSubscriber&) = delete;
    MqttSubscriber& operator=(const MqttSubscriber&) = delete;

    // Publishes probes to `topic` (one the subscriber takes) until one arrives: it is listening.
    bool WaitReady(const std::string& topic);
    // Every line so far: "topic payload".
    std::vector<std::string> Lines() const;
    // Whether mosquitto_sub ended (its -C count reached).
    bool Ended();

private:
    const MqttBroker& broker_;
    std::string out_;
    pid_t pid_ = -1;
};

// Runs a program with arguments and waits for it; true when it exits with 0.
bool RunProgram(const std::vector<std::string>& argv);
// mosquitto_pub of one message to the broker (QoS 1).
bool MqttPublish(const MqttBroker& broker, const std::string& topic, const std::string& payload);
