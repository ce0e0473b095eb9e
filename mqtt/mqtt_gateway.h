#pragma once

// The gateway to an MQTT broker: publishes every stored record at QoS 1, in id order, from the
// database in use (through a connection of its own), the present state of each device retained,
// and `<Prefix>/status`; takes the popup's remote commands when they are allowed. Everything
// runs on the publisher thread: the bus thread only sets a bit in the hand-off (TStateChanges)
// and never waits for the broker.
//
// Nothing is lost: the id of the last record the broker confirmed is kept in the database
// (`mqtt_sent`), written at most once a second; after an outage or a restart every record after
// it is sent again, in order (at least once). At most WINDOW records are in flight; the mark
// moves over the front of the window that is confirmed without a gap. A lost connection drops
// the window and resends from the mark once a new connection is up.
//
// Start and Stop are for the window thread; the rest of the work is the publisher thread's.

#include "database/record_feed.h"
#include "mqtt/mqtt_json.h"
#include "mqtt/mqtt_settings.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

class TDevice;
class TLog;
class TMqttClient;
class TRecord;
class TStateChanges;

class TMqttGateway {
public:
    static constexpr int WINDOW = 200;
    static constexpr int MARK_SAVE_MS = 1000;
    static constexpr int BACKOFF_FIRST_MS = 1000;
    static constexpr int BACKOFF_MAX_MS = 10000;
    // A connection that brings no CONNACK in this time is given up and tried again.
    static constexpr int CONNECT_TIMEOUT_MS = 10000;
    // The program's own "offline" at a clean close waits this long for the broker.
    static constexpr int CLOSE_TIMEOUT_MS = 2000;

    // `database_path` gives the file the service has open ("" while it is closed); it is called
    // on the publisher thread. Every reference outlives the object.
    TMqttGateway(TLog* log, const TRecord& record, TDevice& device, TStateChanges& changes,
                 std::function<std::string()> database_path);
    ~TMqttGateway();
    TMqttGateway(const TMqttGateway&) = delete;
    TMqttGateway& operator=(const TMqttGateway&) = delete;

    // Runs the publisher with these settings: a publisher running with other settings is
    // stopped first, one running with the same goes on. False (nothing runs) when the gateway
    // is not enabled or its thread cannot start.
    bool Start(const TMqttSettings& settings);
    // The settings of the last Start (the window thread's).
    const TMqttSettings& Settings() const { return settings_; }
    // Says "offline" on the status topic, keeps the mark and joins the thread.
    void Stop();

    bool IsConnected() const { return connected_.load(std::memory_order_acquire); }
    // The id of the last record the broker confirmed in the file in use.
    std::int64_t GetConfirmedId() const { return confirmed_.load(std::memory_order_acquire); }

private:
    struct TInFlight {
        std::int64_t id;
        int mid;
        bool confirmed;
    };

    void Run();
    void Connect(std::uint64_t now);
    void Connected(int code);
    // Once connected: the status, the commands' subscription, every device's topics.
    void Greet(std::uint64_t now);
    void Published(int mid);
    void Message(std::string_view topic, std::string_view payload);
    // The connection failed or was lost: said once per outage. `why` is a copy, as it may be
    // the text of the client that goes here.
    void Lost(std::string why, std::uint64_t now);
    // Drives the connection once: true while it stands.
    bool Pump(int wait_ms);
    void Close();

    // Opens the database the service has open, or the one it switched to.
    void FollowDatabase(std::uint64_t now);
    void PublishRecords(std::uint64_t now);
    void PublishStates(std::uint64_t now);
    void PublishDevice(int index, std::uint64_t now);
    bool Publish(const std::string& topic, std::string_view payload, bool retain, int* mid,
                 std::uint64_t now);
    void SaveMark(std::uint64_t now, bool force);
    void LogFeedError();
    // Why a command is refused, or "" when it went to the bus.
    std::string Command(std::string_view topic, std::string_view payload);
    std::string Topic(std::uint32_t device_id, std::string_view what) const;

    TLog* log_;
    const TRecord& record_;
    TDevice& device_;
    TStateChanges& changes_;
    std::function<std::string()> database_path_;
    TMqttJson json_;

    std::thread thread_;
    std::atomic<bool> quit_{false};
    int wake_fd_ = -1;
    std::atomic<bool> connected_{false};
    std::atomic<std::int64_t> confirmed_{0};

    // The publisher thread's own from here on (set by Start before the thread runs).
    TMqttSettings settings_;
    std::string broker_; // "host:port" as the log names it
    std::unique_ptr<TMqttClient> client_;
    std::uint64_t connect_deadline_ = 0;
    std::uint64_t next_attempt_ = 0;
    int backoff_ms_ = BACKOFF_FIRST_MS;
    bool ever_connected_ = false;
    bool outage_logged_ = false;
    bool greet_ = false;  // connected, and the greeting is still to be said
    std::string refused_; // the CONNACK's reason, for the loss that follows it

    TRecordFeed feed_;
    std::string feed_failed_path_;
    std::uint64_t feed_retry_at_ = 0;
    std::string feed_error_logged_;
    std::int64_t mark_ = 0;
    std::int64_t stored_mark_ = 0;
    std::uint64_t mark_saved_at_ = 0;
    std::deque<TInFlight> window_;
    std::vector<TEventRecord> batch_;

    // What each device's topics last said since the connection came up.
    std::unordered_map<std::uint32_t, TMqttDeviceState> published_;
};
