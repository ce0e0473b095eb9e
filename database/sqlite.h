#pragma once

#include "database/alarm_ack.h"
#include "database/audit_row.h"
#include "database/device_record.h"
#include "database/event_record.h"
#include "database/record_filter.h"
#include "database/record_types.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;
class TRecordQuery;
class TLog;
class TSettings;

// The record database: one SQLite connection to the file named by the DBFile setting, with the
// tables `record` (one row per event) and `device` (one row per device ever met). It is the
// only code that speaks to the database.
//
// A write returns once it is committed: a crash of the program cannot lose it, a power cut can
// until Sync has put it on the disk.
//
// Every operation runs on its caller's thread, returns false (or 0 for a count) and logs the
// reason when it fails; nothing throws. A writing operation that keeps failing with the same
// error logs it once, and logs "База данных снова принимает записи" when it next succeeds.
// Two calls of the same operation never overlap; calls of different operations may run at
// once, from any thread. Init and Close wait until no operation is in progress, so a page load
// still running when the service stops cannot outlive the connection.
//
// Counting records per type with count( * ) scans the whole table, which takes seconds after a
// few years of events. The counts are therefore taken once when the database opens (over an
// index on `device_id`, `type`) and kept in memory, raised by each successful insert.
//
// A page or count of a filter adds up the counts of whole blocks of ids that triggers keep in
// the file (record_blocks.h), so any page of any filter reads only the few blocks around it,
// and counts the records other programs write as well.
class TSQLite {
public:
    static constexpr int BusyTimeoutMs = 5000;

    // `log` may be null. `settings` gives RecordsMask at the moment of use and must outlive
    // the object. Tests shorten the busy timeout.
    TSQLite(TLog* log, const TSettings& settings, int busy_timeout_ms = BusyTimeoutMs);
    ~TSQLite();
    TSQLite(const TSQLite&) = delete;
    TSQLite& operator=(const TSQLite&) = delete;

    // Opens (creating when missing) the database file at `path` (UTF-8; always a file's path,
    // never a URI), creates the tables and takes the counts, then closes the database open
    // before; a failure leaves it closed and logs why. A file with tables that are not ours is
    // not written to. A retry does not wait for another program's lock, and does not log a
    // failure the attempt before it logged.
    bool Init(const std::string& path, bool retry = false);
    void Close();
    bool IsActive() const;

    // A device with no row gives true and an all-zero record; `found`, when given, says which
    // it was (the zero record of device id 0 carries the id asked for).
    bool SelectDevice(std::uint32_t device_id, TDeviceRecord& device, bool* found = nullptr);
    // Inserting a known device changes nothing and succeeds.
    bool InsertDevice(const TDeviceRecord& device);
    // Succeeds whether or not a row matched.
    bool UpdateDevice(const TDeviceRecord& device);
    // Stores device_id, utime, type and value; the database assigns the id.
    bool InsertRecord(const TEventRecord& record);
    // The acknowledgements kept in `alarm_ack`, and the writes of one: stored (replacing the
    // item's earlier one) or deleted. Texts are bound intact, whatever their length or bytes.
    bool SelectAlarmAcks(std::vector<TAlarmAck>& acks);
    bool SaveAlarmAck(const TAlarmAck& ack);
    bool DeleteAlarmAck(std::uint32_t device_id, int item, int number);
    // Puts every write committed since the last call on the disk, with one flush of the log.
    // True when it is there, or nothing was written; a failure is tried again at the next call.
    bool Sync();
    // Counts the records whose type the RecordsMask setting selects (type 0 always). Keeps and
    // returns the count; 0 while the database is not active.
    int RecountRecordsMaskCount();
    // The count as last taken by RecountRecordsMaskCount.
    int GetRecordsMaskCount();
    // Reads at most `count` (and at most rows.size()) records whose type the mask selects,
    // joined with their devices, newest first, skipping the first `offset` (a negative offset
    // reads as 0). `count` comes back as the number of rows written from rows[0]; true when
    // the read completed. The same as the default filter below.
    bool SelectRecords(int offset, int& count, std::span<TRecordRow> rows);
    // As above, of the records the filter selects; `total`, when given, gets how many it
    // selects in all, as the page was read. A period that ends before it starts is refused:
    // false and an Error line naming it. A device with no row selects nothing (true, no rows).
    bool SelectRecords(const TRecordFilter& filter, std::int64_t offset, int& count,
                       std::span<TRecordRow> rows, std::int64_t* total = nullptr);
    // As above, the records below the id `before_id`, with no count: an export reads its
    // first page by offset and each next one below the last id it read.
    bool SelectRecordsBefore(const TRecordFilter& filter, std::int64_t before_id, int& count,
                             std::span<TRecordRow> rows);
    // How many records the filter selects, joined with their devices as pages show them; 0
    // and false as SelectRecords refuses.
    bool CountRecords(const TRecordFilter& filter, std::int64_t& count);
    // Appends one row to the audit trail with bound texts; the database assigns the id.
    bool InsertAudit(const TAuditRow& row);
    // Reads at most `count` audit rows older than the row `before_id` (0: from the newest),
    // newest first, into `rows` (replaced); true when the read completed.
    bool SelectAudit(std::int64_t before_id, int count, std::vector<TAuditRow>& rows);

    // The file of the open database, as given to Init; empty while it is closed.
    std::string GetPath() const;
    std::string GetVersion() const;
    int GetRecordCount() const;
    int GetDeviceCount() const;

    // "0, 4, 8" for a mask with bits 4 and 8: code 0 always, then every code 1..27 whose bit
    // is set; bits 28..31 are ignored.
    static std::string GetRecordsMaskList(int mask);
    // A Windows-1251 name field (read up to its zero or its 19th byte) as it is stored: trimmed
    // of blanks and control characters, cut to 18 characters, in UTF-8.
    static std::string NameToSql(const char (&name)[DeviceNameSize]);
    // A stored UTF-8 name (null gives an empty name) into a zero-filled Windows-1251 field:
    // trimmed and cut to 18 characters.
    static void NameFromSql(const unsigned char* text, char (&name)[DeviceNameSize]);

private:
    // Records per type of one device id.
    struct TDeviceCounts {
        std::array<int, RECORD_TYPE_COUNT> by_type{};
    };
    class TOperation;
    struct TOpened;
    enum class TOperationKind {
        SelectDevice,
        InsertDevice,
        UpdateDevice,
        InsertRecord,
        Sync,
        Recount,
        MaskCount,
        SelectRecords,
        CountRecords,
        AlarmAck,
        InsertAudit,
        SelectAudit,
        Count
    };

    // The work of Init up to the counts, on a connection of its own.
    bool OpenFile(const std::string& path, bool retry, TOpened& opened);
    void InitFailed(const std::string& text, bool retry);
    static bool LoadCounts(TOpened& opened);
    void CloseConnection();
    int CountMasked(std::uint32_t types) const;
    // The page or count of SelectRecords and CountRecords, under their operation: `read`
    // runs the filter's query.
    bool Query(const TRecordFilter& filter, const std::function<bool(TRecordQuery&)>& read);

    TLog* log_;
    const TSettings& settings_;
    const int busy_timeout_ms_;

    // Held shared by every operation, exclusively by Init and Close.
    mutable std::shared_mutex connection_lock_;
    sqlite3* db_ = nullptr;
    bool opened_ = false;
    bool active_ = false;
    std::string path_;
    std::string version_;
    // Init's own: the failure it last logged (no two Init calls run at once).
    std::string init_error_;
    // "SQLite не активна" was logged for the operation since the database last opened.
    std::array<std::atomic<bool>, static_cast<std::size_t>(TOperationKind::Count)>
        inactive_logged_{};

    // One guard per operation.
    std::mutex select_device_guard_;
    std::mutex select_records_guard_;
    std::mutex count_records_guard_;
    std::mutex insert_device_guard_;
    std::mutex update_device_guard_;
    std::mutex insert_record_guard_;
    std::mutex recount_guard_;
    std::mutex sync_guard_;
    std::mutex alarm_ack_guard_;
    std::mutex insert_audit_guard_;
    std::mutex select_audit_guard_;

    // Kept prepared while the connection is open, under its operation's guard.
    sqlite3_stmt* insert_record_statement_ = nullptr;
    // The error each writing operation last logged (SQLITE_OK: none), under its guard.
    int insert_device_error_ = 0;
    int update_device_error_ = 0;
    int insert_record_error_ = 0;
    int sync_error_ = 0;
    int alarm_ack_error_ = 0;
    int insert_audit_error_ = 0;
    // A write was committed and not yet flushed.
    std::atomic<bool> unsynced_{false};

    mutable std::mutex counts_lock_;
    std::unordered_map<std::uint32_t, TDeviceCounts> devices_;
    int record_count_ = 0;
    int device_count_ = 0;
    int records_mask_count_ = 0;
};
