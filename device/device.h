#pragma once

#include "buslink/rs485.h"
#include "common/clock.h"
#include "common/style.h"
#include "device/command_tracker.h"
#include "device/device_entry.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class TActiveAlarms;
class TAudit;
class TDeviceChangeSink;
class TDeviceViews;
class TKordeya32;
class TLog;
class TRecord;
class TSettings;
class TSQLite;

// The device service: the table of the devices heard on the bus and the handlers that turn
// their answers into table changes and event records. Only the bus cycle thread writes the
// table; other threads read it at any time without waiting for it, and it never waits for them.
class TDevice {
public:
    static constexpr int MAX_DEVICES = 64;
    static constexpr std::int64_t LOSS_TIME_MS = 30000;

    // A database that fails at a start is tried again every `db_retry_ms` while the service
    // runs; tests shorten it.
    static constexpr int DB_RETRY_MS = 10000;
    TDevice(TLog* log, TRecord& record, TSQLite& sqlite, TDeviceViews& views, TKordeya32& port,
            const TSettings& settings, int db_retry_ms = DB_RETRY_MS);
    // Stops the service and joins its threads.
    ~TDevice();
    TDevice(const TDevice&) = delete;
    TDevice& operator=(const TDevice&) = delete;

    // --- The table.
    int GetCount() const { return count_.load(std::memory_order_acquire); }
    TDeviceEntry* GetItem(int i);
    const TDeviceEntry* GetItem(int i) const;
    // Index of the device, appending it from the database when only the database knows it;
    // -1 when nobody knows it (or the table is full).
    int FindDevice(std::uint32_t device_id);
    // Appends an entry, complete before it becomes visible; -1 when the table is full.
    int AddDevice(const TDeviceRecord& device);
    // Marks the device heard; true when a RECOVERY_DEVICE record was made. False with nothing
    // changed when that record failed.
    bool SetOnline(TDeviceEntry& entry, bool& recorded);
    // The loss detector, fed with the time each bus read took.
    void CheckOnline(int elapsed_ms);
    int GetOnlineCount() const;
    // The highest summary state of the devices as the catalogue words it; `style`, when given,
    // takes the style the catalogue draws it in.
    std::string GetMaxStateText(TMessageStyle* style = nullptr) const;
    // True while the running service has heard no valid frame for LINE_SILENCE_MS: the
    // devices' states are then unknown, whatever the table last held.
    bool IsLineSilent() const { return line_silent_.load(std::memory_order_acquire); }
    static constexpr std::int64_t LINE_SILENCE_MS = 5000;
    static constexpr const char* LINE_SILENT_TEXT = "Нет обмена по линии";
    bool IsRunning() const { return running_.load(std::memory_order_acquire); }
    // True while the running service waits for a database that failed at its start: the bus
    // is read and alarms sound, but no event is stored until the file opens.
    bool IsWaitingForDatabase() const { return db_waiting_.load(std::memory_order_acquire); }
    static constexpr const char* NOT_STORED_TEXT = "События не сохраняются";

    // The port of the running service as the views show it (any thread).
    struct TPortStatus {
        int port = 0;        // the port held or waited for; 0 while the service is stopped
        bool open = false;   // false while the bus thread tries to open it (each read's time)
        std::string path;    // TComp32::PortPathText of the port
        std::string problem; // why it is not open: TComp32::StateText, "" while open
        // What became of the driver's RS-485 mode at the open (Off while not open).
        TRs485::TKernelMode kernel = TRs485::TKernelMode::Off;
    };
    TPortStatus GetPortStatus() const;
    // "Порт COM9 не открыт: нет устройства" while the running service waits for its port;
    // "" otherwise.
    std::string GetPortProblemText() const;
    // The port as the status bar names it: "COM9", "COM9 RS-485" while the driver switches the
    // line, "COM9 без RS-485" when it refused to; "" while the service is stopped.
    std::string GetPortText() const;

    TRemoteCommand remote_command;

    // Where each change of a device goes to be weighed as an alarm; set before the service
    // starts, and left to outlive it. Null: nowhere.
    void SetActiveAlarms(TActiveAlarms* alarms) { alarms_ = alarms; }
    // Who else is told of each change of a device (the MQTT gateway); set before the service
    // starts, and left to outlive it. Null: nobody.
    void SetChangeSink(TDeviceChangeSink* sink) { change_sink_ = sink; }

    // --- Service control (the window thread).
    // Starts or stops the port, the database and the bus cycle as one unit; a second start or
    // stop only refreshes the status bar.
    void SetService(bool start);
    // Whether a setting a start takes (port, line control, database file) differs from what the
    // running service started with: then only a restart follows it.
    bool StartSettingsChanged() const;
    // Stores the target of the next command unless one is pending or awaited (false then):
    // the popup's right click.
    bool SetCommandTarget(const TDeviceRecord& target, int index);
    // Queues a command for the PC's next turn to the target stored last (the tests and the
    // dispatch fuzzer drive the slot this way).
    void SetRemoteCommand(std::uint8_t command, std::uint8_t length, std::uint8_t value);
    // A command written and queued at once with its target and element, by the popup's click
    // (with the target it opened on) or the MQTT gateway (on its own thread); `user` is who the
    // audit trail names (empty: the operator). False, with nothing queued, while another
    // command is pending or awaits its answer.
    bool QueueRemoteCommand(const TDeviceRecord& target, int index, std::uint8_t command,
                            std::uint8_t length, std::uint8_t value, const std::string& user);
    // True while a sent command waits for its acknowledgement (any thread).
    bool IsCommandAwaited() const { return tracker_.IsAwaiting(); }
    // The audit trail the service and the commands write to (null: none), and the clock the
    // commands are timed by; both set before the first start and outliving the object.
    void SetAudit(TAudit* audit);
    void SetClock(const TClock& clock) { clock_ = &clock; }

    // --- Answers heard on the bus (the bus cycle thread). The payload pointer and length are
    // the received frame's: nothing past them is read.
    void CmdCoreGetWhois(std::uint32_t device_id, const std::uint8_t* payload, int length);
    void CmdCoreGetState(std::uint32_t device_id, std::uint8_t address, const std::uint8_t* payload,
                         int length);
    void CmdCoreGetLines(std::uint32_t device_id, const std::uint8_t* payload, int length);
    void CmdCoreGetSensors(std::uint32_t device_id);
    void CmdCoreGetRelays(std::uint32_t device_id, const std::uint8_t* payload, int length);
    void CmdCoreSetAdr(std::uint32_t device_id, std::uint8_t address);
    void CmdCoreSetName(std::uint32_t device_id, const char* name);
    void CmdCoreSynchroTime(std::uint32_t device_id, std::uint32_t time);
    void CmdCoreRemoteResetDevice(std::uint32_t device_id);
    void CmdCoreRemoteResetLine(std::uint32_t device_id, std::uint16_t number);
    void CmdCoreRemoteResetSensor(std::uint32_t device_id, std::uint16_t number);
    void CmdCoreRemoteLineState(std::uint32_t device_id, std::uint16_t number, std::uint8_t value);
    void CmdCoreRemoteSensorState(std::uint32_t device_id, std::uint16_t number,
                                  std::uint8_t value);
    void CmdCoreRemoteRelayState(std::uint32_t device_id, std::uint16_t number, std::uint8_t value);
    void CmdCoreRemoteRelayControl(std::uint32_t device_id, std::uint16_t number,
                                   std::uint8_t value);
    void CmdCoreRemoteRelayMode(std::uint32_t device_id, std::uint16_t number, std::uint8_t value);

    // --- The bus cycle's own step, public so the dispatch fuzzer drives the very same path.
    static constexpr int RECEIVE_SIZE = 16384;

    // What the bus cycle remembers between frames (value-initialised at the start: zeros and
    // no target).
    struct TBusState {
        std::uint8_t receive[RECEIVE_SIZE];
        int held;
        // The device a request named, until the answer that may acknowledge it: none between
        // (every id, 0 included, is a device's).
        std::optional<std::uint32_t> seen_target;
        std::uint8_t seen_address;
        std::uint32_t seen_time;
        char seen_name[DeviceNameSize];
        // Where the next turn starts looking for a device to read.
        int turn_from;
        // Per device: its relays go before its loops when both are to be read.
        bool relays_next[MAX_DEVICES];
    };

    // Parses the `held` bytes at the front of the receive buffer and dispatches every frame
    // found; leaves the undecided rest at the front. flush: the read timed out.
    // Returns how many frames of other nodes were dispatched.
    int TakeFrames(TBusState& bus, bool flush);

private:
    static constexpr int READ_TIMEOUT_MS = 1000;

    // Under command_lock_: the command into the slot whose target is set, then `pending`.
    void QueueCommand(std::uint8_t command, std::uint8_t length, std::uint8_t value);
    void StartService();
    void StopService();
    // Stores every device of the table in the open database, the way the answers store them.
    void StoreDevices();
    // The bus cycle thread: runs passes while the service runs, waits between them otherwise.
    void DeviceThreadCoreFunction();
    // Waits at the start of a pass while the service is stopped; false when the thread must end.
    bool PassGate();
    // Lets the thread run, or holds it at its next pass and waits until it is there.
    void RunCoreThread(bool run);
    void EndCoreThread();
    // One read of the bus into the receive buffer; false when nothing came. A port that failed,
    // or that the start could not open, is opened here, and the read's time passes all the same.
    bool ReadBus(TBusState& bus, int& got);
    // Opens the port the start took (window thread at the start, bus thread after): an Info
    // line when it opens; the views follow why it does not. True when it opened.
    bool OpenPort();
    // Says once a start what became of the driver's RS-485 mode, when it was asked for.
    void ReportKernelMode();
    void SetPortStatus(bool open, int error);
    // False for a frame of our own heard back, which is dropped untouched.
    bool Dispatch(TBusState& bus);
    // Notes whether frames were heard in this pass; says once when the line falls silent and
    // once when it is heard again.
    void WatchLine(bool heard, std::uint64_t now_ms);
    // Tries the database again when the service waits for it and the time has come; once it
    // opens, stores the devices and switches the record list on.
    void RetryDatabase(std::uint64_t now_ms);
    void PcTurn(TBusState& bus);

    // What a handler did so far: something changed in the table, records were made.
    struct TChanges {
        bool changed = false;
        bool recorded = false;
    };

    // Compares one state item with its new value; on a difference records it when `record`
    // says so and stores it. False when the record failed: the item stays as it was.
    bool UpdateItem(TDeviceEntry& entry, TShared<std::uint8_t>& item, std::uint8_t value,
                    bool record, std::uint8_t type, std::int32_t record_value, TStyleCell& cell,
                    TChanges& changes);
    // One acknowledgement record and the read flags it clears.
    void Acknowledge(std::uint32_t device_id, std::uint8_t type, std::int32_t value, bool lines,
                     bool sensors, bool relays);
    // Logs a device that found the table full, once per device.
    void ReportTableFull(std::uint32_t device_id);
    bool ShortAnswer(const char* command, std::uint32_t device_id, int length, int needed);
    void Refresh(const TChanges& changes);
    // After a change of the device: the active alarms scan it and the change sink hears of it.
    void NoteChange(const TDeviceEntry& entry);

    // Writes the service's start or stop to the audit trail, before a stop closes the database.
    void AuditService(bool start, const char* outcome);

    TLog* log_;
    TActiveAlarms* alarms_ = nullptr;
    TDeviceChangeSink* change_sink_ = nullptr;
    TRecord& record_;
    TSQLite& sqlite_;
    TDeviceViews& views_;
    TKordeya32& port_;
    const TSettings& settings_;
    TAudit* audit_ = nullptr;
    TSteadyClock steady_clock_;
    const TClock* clock_ = &steady_clock_;
    TCommandTracker tracker_{log_};
    // Who the pending command's audit rows name: empty for the operator.
    std::mutex command_lock_;
    std::string command_user_;

    // What a start takes from the settings.
    struct TStartSettings {
        int com_num = 0;
        bool ctrl_dtr = false;
        bool ctrl_rts = false;
        bool ctrl_inv = false;
        bool ctrl_rs485 = false;
        std::string db_file;

        friend bool operator==(const TStartSettings&, const TStartSettings&) = default;
    };
    TStartSettings ReadStartSettings() const;

    std::atomic<bool> running_{false};
    // What the open port and database were opened with (window thread, under service_lock_);
    // the bus thread opens the port again with the same while the service runs.
    TStartSettings opened_with_;
    mutable std::mutex service_lock_; // one SetService at a time

    std::thread core_thread_;
    std::mutex core_lock_;
    std::condition_variable core_changed_;
    bool core_run_ = false;  // the service wants passes
    bool core_idle_ = true;  // the thread waits between passes
    bool core_quit_ = false; // the thread must end
    // The port: set by the window thread while the bus thread waits between passes, then the
    // bus thread's own.
    bool port_failed_ = false;   // not open: the bus thread opens it at each read's time
    bool port_was_open_ = false; // this start had it open (a reopen is a return)
    int port_error_ = 0;         // the errno of the last failed open
    mutable std::mutex port_status_lock_;
    TPortStatus port_status_;
    // The line watch: the bus thread's own, but for the flags the window side reads or sets.
    std::uint64_t heard_ms_ = 0;                 // when a frame was last heard
    std::atomic<bool> line_watch_restart_{true}; // the service (re)started: count from now
    std::atomic<bool> line_silent_{false};
    // The database wait: set by a start, ended by the bus thread's retry or a stop.
    const int db_retry_ms_;
    std::atomic<bool> db_waiting_{false};
    std::uint64_t db_retry_at_ms_ = 0; // the bus thread's, but for the start that sets it
    std::unique_ptr<TDeviceEntry[]> devices_;
    std::atomic<int> count_{0};
    // Devices refused for lack of room, each logged once.
    std::uint32_t refused_[MAX_DEVICES] = {};
    int refused_count_ = 0;
};
