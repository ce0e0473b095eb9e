#pragma once

#include "audio/sound.h"
#include "buslink/kordeya32.h"
#include "database/sqlite.h"
#include "device/device.h"
#include "device/device_views.h"
#include "log/log.h"
#include "records/record.h"
#include "support/fake_log_pane.h"
#include "support/fake_settings.h"
#include "support/temp_dir.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Counts the refreshes the device service asks for, in order.
class RecordingViews : public TDeviceViews {
public:
    void StatusBarUpdate() override { Note('S'); }
    void TreeViewUpdate() override { Note('T'); }
    void ListViewUpdate() override { Note('L'); }
    void RecordListSetTimer(bool on) override { Note(on ? '+' : '-'); }
    void FileNew() override { Note('N'); }

    // The requests since the last call, as letters: "STL" for status bar, tree, list;
    // "+"/"-" for the record list switched on/off, "N" for File New.
    std::string Take();

private:
    void Note(char c);

    std::mutex lock_;
    std::string calls_;
};

// A sound output that plays nothing and keeps what it was asked: "play sound/alarm.wav looped",
// "stop".
class RecordingSoundOutput : public TSoundOutput {
public:
    void Play(const std::string& file, bool looped) override {
        Note("play " + file + (looped ? " looped" : ""));
    }
    void Stop() override { Note("stop"); }

    std::vector<std::string> Calls() const {
        std::lock_guard<std::mutex> guard(lock_);
        return calls_;
    }

private:
    void Note(std::string call) {
        std::lock_guard<std::mutex> guard(lock_);
        calls_.push_back(std::move(call));
    }

    mutable std::mutex lock_;
    std::vector<std::string> calls_;
};

// One stored event as the database holds it.
struct StoredRecord {
    std::uint32_t device_id;
    int type;
    std::int32_t value;
    std::int64_t utime = 0; // not compared: tests check the time apart
    bool operator==(const StoredRecord& o) const {
        return device_id == o.device_id && type == o.type && value == o.value;
    }
};

// The device service over a real database file in a temporary folder and the shipped catalogue.
class DeviceFixture {
public:
    // The catalogue comes from `catalogue_dir`; by default the shipped one beside the tests.
    // Fault tests shorten the database's busy timeout; the port's system calls may go through
    // a test's own layer.
    explicit DeviceFixture(const std::string& catalogue_dir = ProgramDir(),
                           int busy_timeout_ms = TSQLite::BusyTimeoutMs,
                           ISerialSys& serial = TPosixSerialSys::Instance());
    ~DeviceFixture();

    // Every record in the order stored.
    std::vector<StoredRecord> Records() const;
    // The records stored since the last call.
    std::vector<StoredRecord> NewRecords();
    // The lines the log holds at the given level.
    std::vector<std::string> LogLines(std::uint8_t level);

    TempDir dir;
    std::string db_path;
    FakeSettings settings;
    FakeLogPane pane;
    std::unique_ptr<TLog> log;
    std::unique_ptr<TSQLite> sqlite;
    RecordingSoundOutput sound_output;
    std::unique_ptr<TSound> sound;
    std::unique_ptr<TRecord> record;
    RecordingViews views;
    TKordeya32 port;
    std::unique_ptr<TDevice> device;

private:
    std::size_t seen_ = 0;
};

// Payload builders of the answers a device gives.
std::vector<std::uint8_t> StatePayload(std::uint8_t flags, std::uint8_t max_state = 0);
std::vector<std::uint8_t> WhoisPayload(std::uint32_t device_id, std::uint8_t address,
                                       const char* const_name, const char* user_name, int lines,
                                       int sensors, int relays, int remote);
