#include "database/sqlite.h"

#include "common/settings.h"
#include "common/text.h"
#include "database/record_blocks.h"
#include "database/sqlite_statement.h"
#include "log/log.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <vector>

namespace {

// WAL with NORMAL: a commit reaches the system at once, so a crash of the program loses
// nothing, and the disk at Sync. The bus cycle syncs once per pass, so the records of an answer
// share one flush of the log where FULL would flush every commit (milliseconds each).
constexpr const char* JournalText = "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;";

constexpr const char* SchemaText =
    "BEGIN; CREATE TABLE IF NOT EXISTS `record` ( `id` INTEGER PRIMARY KEY AUTOINCREMENT, "
    "`device_id` INTEGER NOT NULL, `utime` INTEGER, `type` INTEGER, `value` INTEGER ); "
    "CREATE TABLE IF NOT EXISTS `device` ( `id` INTEGER PRIMARY KEY AUTOINCREMENT, `device_id` "
    "INTEGER NOT NULL UNIQUE, `address` INTEGER, `const_name` TEXT, `user_name` TEXT, `lines` "
    "INTEGER, `sensors` INTEGER, `relays` INTEGER, `archives` INTEGER, `remote` INTEGER ); "
    "COMMIT;";

// The operator's audit trail: appended to, never updated; the other two tables stay as they are.
constexpr const char* AuditSchemaText =
    "CREATE TABLE IF NOT EXISTS `audit` ( `id` INTEGER PRIMARY KEY AUTOINCREMENT, `utime` "
    "INTEGER, `user` TEXT, `action` TEXT, `target` TEXT, `detail` TEXT, `outcome` TEXT );";

// Lets the counts be taken at open by walking an index instead of the whole table. Page
// queries never use it: it would make SQLite sort every record to find the newest ones.
constexpr const char* IndexText =
    "CREATE INDEX IF NOT EXISTS `record_device_type` ON `record` ( `device_id`, `type` );";

// Acknowledgements of the alarms still shown, one per item; a row goes when its alarm leaves.
constexpr const char* AlarmAckSchemaText =
    "CREATE TABLE IF NOT EXISTS `alarm_ack` ( `device_id` INTEGER NOT NULL, `item` INTEGER NOT "
    "NULL, `number` INTEGER NOT NULL, `level` INTEGER, `since` INTEGER, `user` TEXT, `utime` "
    "INTEGER, `comment` TEXT, PRIMARY KEY ( `device_id`, `item`, `number` ) );";
constexpr const char* SelectAlarmAcksText =
    "SELECT `device_id`, `item`, `number`, `level`, `since`, `user`, `utime`, `comment` FROM "
    "`alarm_ack`;";
constexpr const char* SaveAlarmAckText =
    "INSERT OR REPLACE INTO `alarm_ack` ( `device_id`, `item`, `number`, `level`, `since`, "
    "`user`, `utime`, `comment` ) VALUES ( ?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8 );";
constexpr const char* DeleteAlarmAckText =
    "DELETE FROM `alarm_ack` WHERE `device_id` = ?1 AND `item` = ?2 AND `number` = ?3;";

constexpr const char* VersionText = "SELECT sqlite_version();";
constexpr const char* TableCountText =
    "SELECT count( * ) FROM `sqlite_master` WHERE `type` = 'table';";
// The columns of the two tables, as the schema makes them.
constexpr std::array<std::string_view, 5> RecordColumns = {"id", "device_id", "utime", "type",
                                                           "value"};
constexpr std::array<std::string_view, 10> DeviceColumns = {
    "id",    "device_id", "address", "const_name", "user_name",
    "lines", "sensors",   "relays",  "archives",   "remote"};
constexpr const char* RecordCountsText = "SELECT `device_id`, `type`, count( * ) FROM `record` "
                                         "GROUP BY `device_id`, `type`;";
constexpr const char* DeviceCountText = "SELECT count( * ) FROM `device`;";

constexpr const char* SelectDeviceText =
    "SELECT `id`, `device_id`, `address`, `const_name`, `user_name`, `lines`, `sensors`, "
    "`relays`, `archives`, `remote` FROM `device` WHERE `device_id` = ?1;";
constexpr const char* InsertDeviceText =
    "INSERT OR IGNORE INTO `device` ( `device_id`, `address`, `const_name`, `user_name`, "
    "`lines`, `sensors`, `relays`, `archives`, `remote` ) VALUES ( ?1, ?2, ?3, ?4, ?5, ?6, ?7, "
    "?8, ?9 ) RETURNING `id`;";
constexpr const char* UpdateDeviceText =
    "UPDATE `device` SET `device_id`=?1, `address`=?2, `const_name`=?3, `user_name`=?4, "
    "`lines`=?5, `sensors`=?6, `relays`=?7, `archives`=?8, `remote`=?9 WHERE `device_id`=?1;";
constexpr const char* InsertRecordText = "INSERT INTO `record` (`device_id`, `utime`, `type`, "
                                         "`value`) VALUES (?1, ?2, ?3, ?4);";
constexpr const char* InsertAuditText =
    "INSERT INTO `audit` ( `utime`, `user`, `action`, `target`, `detail`, `outcome` ) VALUES "
    "( ?1, ?2, ?3, ?4, ?5, ?6 );";
constexpr const char* SelectAuditText =
    "SELECT `id`, `utime`, `user`, `action`, `target`, `detail`, `outcome` FROM `audit` WHERE "
    "`id` < ?1 ORDER BY `id` DESC LIMIT ?2;";
constexpr std::uint32_t AllTypes = (1U << RECORD_TYPE_COUNT) - 1;

// The record types a RecordsMask selects: type 0 always, bits 28..31 never.
std::uint32_t MaskedTypes(int mask) {
    return (static_cast<std::uint32_t>(mask) | 1U) & AllTypes;
}

bool HasType(std::uint32_t types, int type) {
    return type >= 0 && type < RECORD_TYPE_COUNT && ((types >> type) & 1U) != 0;
}

std::string TypeList(std::uint32_t types) {
    std::string list;
    for (int type = 0; type < RECORD_TYPE_COUNT; ++type) {
        if (HasType(types, type)) {
            list += list.empty() ? fmt::format("{}", type) : fmt::format(", {}", type);
        }
    }
    return list;
}

int ClampToInt(std::int64_t value) {
    return static_cast<int>(std::clamp<std::int64_t>(value, 0, INT32_MAX));
}

// What a filter adds to the debug line of its operation; nothing for the default one.
std::string FilterText(const TRecordFilter& filter) {
    std::string text;
    if (filter.device_id) {
        text += fmt::format(", device_id={:08X}", *filter.device_id);
    }
    if (filter.from) {
        text += fmt::format(", from={}", *filter.from);
    }
    if (filter.to) {
        text += fmt::format(", to={}", *filter.to);
    }
    if (filter.records_mask) {
        text += fmt::format(", mask={:#x}", static_cast<std::uint32_t>(*filter.records_mask));
    }
    return text;
}

// A write that keeps failing the same way (a locked, read-only or full database) is met again
// at every answer of the device, several times a second: its error is logged once, until that
// write succeeds again. `reported` is the operation's own, kept under its guard.
void WriteFailed(TLog* log, int& reported, const TSqlError& error) {
    if (error.code != reported) {
        error.Log(log, LOG_TYPE_ERROR);
        reported = error.code;
    }
}

void WriteSucceeded(TLog* log, int& reported) {
    if (reported != SQLITE_OK) {
        reported = SQLITE_OK;
        TLog::Add(log, "База данных снова принимает записи", LOG_TYPE_INFO);
    }
}

void BindDevice(TStatement& statement, const TDeviceRecord& device) {
    statement.Bind(1, static_cast<std::int32_t>(device.device_id));
    statement.Bind(2, device.address);
    statement.Bind(3, TSQLite::NameToSql(device.const_name));
    statement.Bind(4, TSQLite::NameToSql(device.user_name));
    statement.Bind(5, device.lines);
    statement.Bind(6, device.sensors);
    statement.Bind(7, device.relays);
    statement.Bind(8, device.archives);
    statement.Bind(9, device.remote);
}

bool ReadVersion(sqlite3* db, std::string& version, TSqlError& error) {
    TStatement statement(db, VersionText, error);
    if (!statement.Step()) {
        return false;
    }
    const unsigned char* text = statement.Text(0);
    version = text != nullptr ? reinterpret_cast<const char*>(text) : "";
    return true;
}

// The column names of a table in their order; none when there is no such table.
std::vector<std::string> ColumnsOf(sqlite3* db, std::string_view table, TSqlError& error) {
    std::vector<std::string> columns;
    TStatement statement(db, fmt::format("PRAGMA table_info(`{}`);", table), error);
    while (statement.Step()) {
        const unsigned char* name = statement.Text(1);
        columns.emplace_back(name != nullptr ? reinterpret_cast<const char*>(name) : "");
    }
    return columns;
}

bool SameColumns(const std::vector<std::string>& found, std::span<const std::string_view> ours) {
    return std::equal(found.begin(), found.end(), ours.begin(), ours.end(),
                      [](const std::string& a, std::string_view b) {
                          return a.size() == b.size() &&
                                 sqlite3_strnicmp(a.data(), b.data(), static_cast<int>(a.size())) ==
                                     0;
                      });
}

// Why the file is not a database of ours, or nothing when it is: a file with no table yet, or
// one with both tables as the schema makes them.
std::string ForeignReason(sqlite3* db, TSqlError& error) {
    const std::vector<std::string> record = ColumnsOf(db, "record", error);
    const std::vector<std::string> device = ColumnsOf(db, "device", error);
    if (record.empty() && device.empty()) {
        TStatement tables(db, TableCountText, error);
        return tables.Step() && tables.Int(0) > 0 ? "нет таблиц `record` и `device`" : "";
    }
    if (record.empty() || device.empty()) {
        return fmt::format("нет таблицы `{}`", record.empty() ? "record" : "device");
    }
    if (!SameColumns(record, RecordColumns)) {
        return "у таблицы `record` другие поля";
    }
    return SameColumns(device, DeviceColumns) ? "" : "у таблицы `device` другие поля";
}

// Ends a writing statement: its failure logged once until a write succeeds again.
bool Committed(TLog* log, TStatement& statement, const TSqlError& error, int& reported) {
    if (!statement.Finish()) {
        WriteFailed(log, reported, error);
        return false;
    }
    WriteSucceeded(log, reported);
    return true;
}

} // namespace

// What an open that succeeded hands to Init: the connection and what was read of it.
struct TSQLite::TOpened {
    sqlite3* db = nullptr;
    TSqlError error;
    std::string version;
    std::unordered_map<std::uint32_t, TDeviceCounts> devices;
    std::int64_t record_count = 0;
    int device_count = 0;
};

// The frame of every operation but Init and Close: the operation's own guard (none for a plain
// read of a count), the connection held open, and "SQLite не активна" while it is not active.
class TSQLite::TOperation {
public:
    TOperation(TSQLite& owner, std::mutex* guard, TOperationKind kind)
        : guard_(guard != nullptr ? std::unique_lock(*guard) : std::unique_lock<std::mutex>()),
          connection_(owner.connection_lock_), active_(owner.active_) {
        // While the service waits for its database every answer of the bus meets it: said
        // once per operation until the database opens.
        if (!active_ && !owner.inactive_logged_[static_cast<std::size_t>(kind)].exchange(true)) {
            TLog::Add(owner.log_, "SQLite не активна", LOG_TYPE_ERROR);
        }
    }
    bool Active() const { return active_; }

private:
    std::unique_lock<std::mutex> guard_;
    std::shared_lock<std::shared_mutex> connection_;
    bool active_;
};

TSQLite::TSQLite(TLog* log, const TSettings& settings, int busy_timeout_ms)
    : log_(log), settings_(settings), busy_timeout_ms_(busy_timeout_ms) {
    TLog::Add(log_, "TSQLite::TSQLite", LOG_TYPE_DEBUG);
}

TSQLite::~TSQLite() {
    TLog::Add(log_, "TSQLite::~TSQLite", LOG_TYPE_DEBUG);
    Close();
}

bool TSQLite::Init(const std::string& path, bool retry) {
    TLog::Add(log_, "TSQLite::Init", LOG_TYPE_DEBUG);
    // Opened and counted before the lock is taken: a big file takes a second to count, and the
    // threads that read the database meanwhile (the window's title, a page) must not wait.
    TOpened opened;
    const bool ok = OpenFile(path, retry, opened);
    std::unique_lock connection(connection_lock_);
    CloseConnection();
    if (!ok) {
        return false;
    }
    init_error_.clear();
    for (std::atomic<bool>& logged : inactive_logged_) {
        logged = false;
    }
    db_ = opened.db;
    opened_ = true;
    version_ = std::move(opened.version);
    const std::uint32_t types = MaskedTypes(settings_.GetRecordsMask());
    {
        std::lock_guard counts(counts_lock_);
        devices_ = std::move(opened.devices);
        record_count_ = ClampToInt(opened.record_count);
        device_count_ = opened.device_count;
        records_mask_count_ = CountMasked(types);
        TLog::Addf(log_, LOG_TYPE_INFO,
                   "SQLite Версия: %s, Устройств: %d, Записей: %d, Маскируемых записей: %d",
                   version_, device_count_, record_count_, records_mask_count_);
    }
    path_ = path;
    active_ = true;
    return true;
}

bool TSQLite::OpenFile(const std::string& path, bool retry, TOpened& opened) {
    // An empty name would open a private temporary database that vanishes at close.
    if (path.empty()) {
        InitFailed(TSqlError{SQLITE_CANTOPEN, sqlite3_errstr(SQLITE_CANTOPEN)}.Text(), retry);
        return false;
    }
    // Always the path of a file: SQLite takes a name that begins with "file:" for a URI, which
    // may ask for a database in memory, and ":memory:" for no file at all.
    const std::string name = path.front() == '/' ? path : "./" + path;
    TSqlError& error = opened.error;
    const int rc = sqlite3_open_v2(
        name.c_str(), &opened.db,
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    sqlite3* db = opened.db;
    const auto run = [&](const char* sql) { return Execute(db, sql, error); };
    std::string foreign;
    bool ok = false;
    if (rc != SQLITE_OK) {
        error.Take(db);
    } else if (sqlite3_db_readonly(db, "main") == 1) {
        // SQLite falls back to reading a file it may not write; every record would then fail.
        error = {SQLITE_READONLY, sqlite3_errstr(SQLITE_READONLY)};
    } else {
        // A retry comes again in a few seconds: it does not wait out another program's lock.
        sqlite3_busy_timeout(db, retry ? 0 : busy_timeout_ms_);
        // Checked before anything is written: the journal mode is the first write.
        foreign = ForeignReason(db, error);
        ok = error.code == SQLITE_OK && foreign.empty() && run(JournalText) && run(SchemaText) &&
             run(AuditSchemaText) && run(IndexText) && run(AlarmAckSchemaText) &&
             MakeRecordBlocks(db, log_, error) && ReadVersion(db, opened.version, error) &&
             LoadCounts(opened);
    }
    if (!ok) {
        InitFailed(foreign.empty() || error.code != SQLITE_OK
                       ? error.Text()
                       : fmt::format("SQLite файл {} не является базой записей: {}", path, foreign),
                   retry);
        sqlite3_close_v2(db);
        opened.db = nullptr;
        return false;
    }
    sqlite3_busy_timeout(db, busy_timeout_ms_);
    return true;
}

void TSQLite::InitFailed(const std::string& text, bool retry) {
    // A retry that fails as the attempt before it did has nothing new to say.
    if (!retry || text != init_error_) {
        TLog::Add(log_, text, LOG_TYPE_ERROR);
    }
    init_error_ = text;
}

bool TSQLite::LoadCounts(TOpened& opened) {
    sqlite3* db = opened.db;
    TSqlError& error = opened.error;
    TStatement counts(db, RecordCountsText, error);
    while (counts.Step()) {
        const auto device_id = static_cast<std::uint32_t>(counts.Int(0));
        const int type = counts.Int(1);
        const int count = counts.Int(2);
        if (HasType(AllTypes, type)) {
            opened.devices[device_id].by_type[static_cast<std::size_t>(type)] += count;
        }
        opened.record_count += count;
    }
    TStatement devices(db, DeviceCountText, error);
    if (devices.Step()) {
        opened.device_count = devices.Int(0);
    }
    return error.code == SQLITE_OK;
}

void TSQLite::Close() {
    std::unique_lock connection(connection_lock_);
    CloseConnection();
}

void TSQLite::CloseConnection() {
    if (!opened_) {
        return;
    }
    TLog::Add(log_, "TSQLite::Close", LOG_TYPE_DEBUG);
    sqlite3_finalize(insert_record_statement_);
    insert_record_statement_ = nullptr;
    sqlite3_close_v2(db_);
    db_ = nullptr;
    opened_ = false;
    active_ = false;
    unsynced_ = false;
    path_.clear();
    version_.clear();
    std::lock_guard counts(counts_lock_);
    devices_.clear();
    record_count_ = 0;
    device_count_ = 0;
    records_mask_count_ = 0;
}

bool TSQLite::IsActive() const {
    std::shared_lock connection(connection_lock_);
    return active_;
}

bool TSQLite::SelectDevice(std::uint32_t device_id, TDeviceRecord& device, bool* found) {
    TLog::Add(log_, "TSQLite::SelectDevice", LOG_TYPE_DEBUG);
    device = TDeviceRecord{};
    if (found != nullptr) {
        *found = false;
    }
    TOperation operation(*this, &select_device_guard_, TOperationKind::SelectDevice);
    if (!operation.Active()) {
        return false;
    }
    TSqlError error;
    TStatement statement(db_, SelectDeviceText, error);
    statement.Bind(1, static_cast<std::int32_t>(device_id));
    if (statement.Step()) {
        device.id = statement.Int(0);
        device.device_id = static_cast<std::uint32_t>(statement.Int(1));
        device.address = statement.Int(2);
        NameFromSql(statement.Text(3), device.const_name);
        NameFromSql(statement.Text(4), device.user_name);
        device.lines = statement.Int(5);
        device.sensors = statement.Int(6);
        device.relays = statement.Int(7);
        device.archives = statement.Int(8);
        device.remote = statement.Int(9);
        if (found != nullptr) {
            *found = true;
        }
        return true;
    }
    if (!statement.Done()) {
        error.Log(log_, LOG_TYPE_ERROR);
        return false;
    }
    return true;
}

bool TSQLite::InsertDevice(const TDeviceRecord& device) {
    TLog::Add(log_, "TSQLite::InsertDevice", LOG_TYPE_DEBUG);
    TOperation operation(*this, &insert_device_guard_, TOperationKind::InsertDevice);
    if (!operation.Active()) {
        return false;
    }
    TSqlError error;
    TStatement statement(db_, InsertDeviceText, error);
    BindDevice(statement, device);
    // A row comes back only when the device was new.
    const bool inserted = statement.Step();
    if (!Committed(log_, statement, error, insert_device_error_)) {
        return false;
    }
    if (inserted) {
        unsynced_ = true;
        std::lock_guard counts(counts_lock_);
        ++device_count_;
    }
    return true;
}

bool TSQLite::UpdateDevice(const TDeviceRecord& device) {
    TLog::Add(log_, "TSQLite::UpdateDevice", LOG_TYPE_DEBUG);
    TOperation operation(*this, &update_device_guard_, TOperationKind::UpdateDevice);
    if (!operation.Active()) {
        return false;
    }
    TSqlError error;
    TStatement statement(db_, UpdateDeviceText, error);
    BindDevice(statement, device);
    if (!Committed(log_, statement, error, update_device_error_)) {
        return false;
    }
    unsynced_ = true;
    return true;
}

bool TSQLite::InsertRecord(const TEventRecord& record) {
    TLog::Add(log_, "TSQLite::InsertRecord", LOG_TYPE_DEBUG);
    TOperation operation(*this, &insert_record_guard_, TOperationKind::InsertRecord);
    if (!operation.Active()) {
        return false;
    }
    TSqlError error;
    TStatement statement(db_, insert_record_statement_, InsertRecordText, error);
    statement.Bind(1, static_cast<std::int32_t>(record.device_id));
    statement.Bind(2, record.utime);
    statement.Bind(3, record.type);
    statement.Bind(4, record.value);
    if (!Committed(log_, statement, error, insert_record_error_)) {
        return false;
    }
    unsynced_ = true;
    std::lock_guard counts(counts_lock_);
    ++record_count_;
    if (HasType(AllTypes, record.type)) {
        ++devices_[record.device_id].by_type[static_cast<std::size_t>(record.type)];
    }
    return true;
}

bool TSQLite::InsertAudit(const TAuditRow& row) {
    TLog::Add(log_, "TSQLite::InsertAudit", LOG_TYPE_DEBUG);
    TOperation operation(*this, &insert_audit_guard_, TOperationKind::InsertAudit);
    if (!operation.Active()) {
        return false;
    }
    TSqlError error;
    TStatement statement(db_, InsertAuditText, error);
    statement.Bind(1, row.utime);
    statement.Bind(2, row.user);
    statement.Bind(3, row.action);
    statement.Bind(4, row.target);
    statement.Bind(5, row.detail);
    statement.Bind(6, row.outcome);
    if (!Committed(log_, statement, error, insert_audit_error_)) {
        return false;
    }
    unsynced_ = true;
    return true;
}

bool TSQLite::SelectAudit(std::int64_t before_id, int count, std::vector<TAuditRow>& rows) {
    TLog::Add(log_, "TSQLite::SelectAudit", LOG_TYPE_DEBUG);
    rows.clear();
    TOperation operation(*this, &select_audit_guard_, TOperationKind::SelectAudit);
    if (!operation.Active()) {
        return false;
    }
    TSqlError error;
    TStatement statement(db_, SelectAuditText, error);
    statement.Bind(1, before_id > 0 ? before_id : std::numeric_limits<std::int64_t>::max());
    statement.Bind(2, std::max(count, 0));
    while (statement.Step()) {
        TAuditRow& row = rows.emplace_back();
        row.id = statement.Int64(0);
        row.utime = statement.Int64(1);
        row.user = statement.String(2);
        row.action = statement.String(3);
        row.target = statement.String(4);
        row.detail = statement.String(5);
        row.outcome = statement.String(6);
    }
    if (!statement.Done()) {
        error.Log(log_, LOG_TYPE_ERROR);
        return false;
    }
    return true;
}

bool TSQLite::SelectAlarmAcks(std::vector<TAlarmAck>& acks) {
    TOperation operation(*this, &alarm_ack_guard_, TOperationKind::AlarmAck);
    if (!operation.Active()) {
        return false;
    }
    TSqlError error;
    TStatement statement(db_, SelectAlarmAcksText, error);
    while (statement.Step()) {
        TAlarmAck& ack = acks.emplace_back();
        ack.device_id = static_cast<std::uint32_t>(statement.Int(0));
        ack.item = statement.Int(1);
        ack.number = statement.Int(2);
        ack.level = statement.Int(3);
        ack.since = statement.Int64(4);
        ack.user = statement.String(5);
        ack.utime = statement.Int64(6);
        ack.comment = statement.String(7);
    }
    if (!statement.Done()) {
        error.Log(log_, LOG_TYPE_ERROR);
        return false;
    }
    return true;
}

bool TSQLite::SaveAlarmAck(const TAlarmAck& ack) {
    TOperation operation(*this, &alarm_ack_guard_, TOperationKind::AlarmAck);
    if (!operation.Active()) {
        return false;
    }
    TSqlError error;
    TStatement statement(db_, SaveAlarmAckText, error);
    statement.Bind(1, static_cast<std::int32_t>(ack.device_id));
    statement.Bind(2, ack.item);
    statement.Bind(3, ack.number);
    statement.Bind(4, ack.level);
    statement.Bind(5, ack.since);
    statement.Bind(6, ack.user);
    statement.Bind(7, ack.utime);
    statement.Bind(8, ack.comment);
    if (!Committed(log_, statement, error, alarm_ack_error_)) {
        return false;
    }
    unsynced_ = true;
    return true;
}

bool TSQLite::DeleteAlarmAck(std::uint32_t device_id, int item, int number) {
    TOperation operation(*this, &alarm_ack_guard_, TOperationKind::AlarmAck);
    if (!operation.Active()) {
        return false;
    }
    TSqlError error;
    TStatement statement(db_, DeleteAlarmAckText, error);
    statement.Bind(1, static_cast<std::int32_t>(device_id));
    statement.Bind(2, item);
    statement.Bind(3, number);
    if (!Committed(log_, statement, error, alarm_ack_error_)) {
        return false;
    }
    unsynced_ = true;
    return true;
}

bool TSQLite::Sync() {
    // Most passes of the bus cycle store nothing, and have nothing to flush.
    if (!unsynced_.exchange(false)) {
        return true;
    }
    TLog::Add(log_, "TSQLite::Sync", LOG_TYPE_DEBUG);
    TOperation operation(*this, &sync_guard_, TOperationKind::Sync);
    if (!operation.Active()) {
        return false;
    }
    int rc = SQLITE_OK;
    {
        TConnectionLock lock(db_);
        sqlite3_file* wal = nullptr;
        rc = sqlite3_file_control(db_, "main", SQLITE_FCNTL_JOURNAL_POINTER, &wal);
        if (rc == SQLITE_OK && wal != nullptr && wal->pMethods != nullptr) {
            rc = wal->pMethods->xSync(wal, SQLITE_SYNC_NORMAL);
        }
    }
    if (rc != SQLITE_OK) {
        // Tried again at the next call.
        unsynced_ = true;
        WriteFailed(log_, sync_error_, {rc, sqlite3_errstr(rc)});
        return false;
    }
    WriteSucceeded(log_, sync_error_);
    return true;
}

int TSQLite::RecountRecordsMaskCount() {
    TLog::Add(log_, "TSQLite::RecountRecordsMaskCount", LOG_TYPE_DEBUG);
    TOperation operation(*this, &recount_guard_, TOperationKind::Recount);
    if (!operation.Active()) {
        return 0;
    }
    const std::uint32_t types = MaskedTypes(settings_.GetRecordsMask());
    std::lock_guard counts(counts_lock_);
    records_mask_count_ = CountMasked(types);
    return records_mask_count_;
}

int TSQLite::GetRecordsMaskCount() {
    TLog::Add(log_, "TSQLite::GetRecordsMaskCount", LOG_TYPE_DEBUG);
    TOperation operation(*this, nullptr, TOperationKind::MaskCount);
    if (!operation.Active()) {
        return 0;
    }
    std::lock_guard counts(counts_lock_);
    return records_mask_count_;
}

bool TSQLite::SelectRecords(int offset, int& count, std::span<TRecordRow> rows) {
    return SelectRecords(TRecordFilter{}, offset, count, rows);
}

bool TSQLite::SelectRecords(const TRecordFilter& filter, std::int64_t offset, int& count,
                            std::span<TRecordRow> rows, std::int64_t* total) {
    TLog::Addf(log_, LOG_TYPE_DEBUG, "%s, offset=%d, count=%d%s", "TSQLite::SelectRecords", offset,
               count, FilterText(filter));
    // A negative count would mean "no limit" to SQLite: never more rows than the array holds.
    const int wanted = std::clamp(count, 0, ClampToInt(static_cast<std::int64_t>(rows.size())));
    count = 0;
    if (total != nullptr) {
        *total = 0;
    }
    TOperation operation(*this, &select_records_guard_, TOperationKind::SelectRecords);
    return operation.Active() && Query(filter, [&](TRecordQuery& query) {
               return query.Read(offset, rows.first(static_cast<std::size_t>(wanted)), count,
                                 total);
           });
}

bool TSQLite::SelectRecordsBefore(const TRecordFilter& filter, std::int64_t before_id, int& count,
                                  std::span<TRecordRow> rows) {
    const int wanted = std::clamp(count, 0, ClampToInt(static_cast<std::int64_t>(rows.size())));
    count = 0;
    TOperation operation(*this, &select_records_guard_, TOperationKind::SelectRecords);
    return operation.Active() && Query(filter, [&](TRecordQuery& query) {
               return query.ReadBefore(before_id, rows.first(static_cast<std::size_t>(wanted)),
                                       count);
           });
}

bool TSQLite::CountRecords(const TRecordFilter& filter, std::int64_t& count) {
    TLog::Addf(log_, LOG_TYPE_DEBUG, "%s%s", "TSQLite::CountRecords", FilterText(filter));
    count = 0;
    TOperation operation(*this, &count_records_guard_, TOperationKind::CountRecords);
    int read = 0;
    return operation.Active() &&
           Query(filter, [&](TRecordQuery& query) { return query.Read(0, {}, read, &count); });
}

bool TSQLite::Query(const TRecordFilter& filter, const std::function<bool(TRecordQuery&)>& read) {
    const std::string refused = RecordFilterError(filter);
    if (!refused.empty()) {
        TLog::Add(log_, refused, LOG_TYPE_ERROR);
        return false;
    }
    const int mask = filter.records_mask.value_or(settings_.GetRecordsMask());
    TSqlError error;
    TRecordQuery query(db_, filter, TypeList(MaskedTypes(mask)), error);
    if (!read(query)) {
        error.Log(log_, LOG_TYPE_ERROR);
        return false;
    }
    return true;
}

int TSQLite::CountMasked(std::uint32_t types) const {
    std::int64_t count = 0;
    for (const auto& [device_id, device] : devices_) {
        for (int type = 0; type < RECORD_TYPE_COUNT; ++type) {
            if (HasType(types, type)) {
                count += device.by_type[static_cast<std::size_t>(type)];
            }
        }
    }
    return ClampToInt(count);
}

std::string TSQLite::GetPath() const {
    std::shared_lock connection(connection_lock_);
    return path_;
}

std::string TSQLite::GetVersion() const {
    std::shared_lock connection(connection_lock_);
    return version_;
}

int TSQLite::GetRecordCount() const {
    std::lock_guard counts(counts_lock_);
    return record_count_;
}

int TSQLite::GetDeviceCount() const {
    std::lock_guard counts(counts_lock_);
    return device_count_;
}

std::string TSQLite::GetRecordsMaskList(int mask) {
    return TypeList(MaskedTypes(mask));
}

std::string TSQLite::NameToSql(const char (&name)[DeviceNameSize]) {
    const std::string_view field(name, ::strnlen(name, DeviceNameSize));
    return Trim(Cp1251ToUtf8(TrimView(field).substr(0, DeviceNameLength)));
}

void TSQLite::NameFromSql(const unsigned char* text, char (&name)[DeviceNameSize]) {
    std::memset(name, 0, DeviceNameSize);
    if (text == nullptr) {
        return;
    }
    const std::string cp1251 = Utf8ToCp1251(reinterpret_cast<const char*>(text));
    const std::string_view kept = TrimView(cp1251).substr(0, DeviceNameLength);
    std::memcpy(name, kept.data(), kept.size());
}
