#include "database/record_feed.h"

#include <sqlite3.h>

namespace {

constexpr const char* CreateMarkText =
    "CREATE TABLE IF NOT EXISTS `mqtt_sent` (`key` INTEGER PRIMARY KEY CHECK (`key` = 1), "
    "`record_id` INTEGER NOT NULL);";

// Finalized on every way out.
class TQuery {
public:
    TQuery(sqlite3* db, const char* sql) {
        ok_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) == SQLITE_OK;
    }
    ~TQuery() { sqlite3_finalize(stmt_); }
    TQuery(const TQuery&) = delete;
    TQuery& operator=(const TQuery&) = delete;

    bool Ok() const { return ok_; }
    sqlite3_stmt* Get() const { return stmt_; }

private:
    sqlite3_stmt* stmt_ = nullptr;
    bool ok_ = false;
};

} // namespace

TRecordFeed::~TRecordFeed() {
    Close();
}

bool TRecordFeed::Fail(const std::string& what) {
    error_ = "SQLite файл " + path_ + ": " + what;
    if (db_ != nullptr) {
        error_ +=
            ": [" + std::to_string(sqlite3_extended_errcode(db_)) + "] " + sqlite3_errmsg(db_);
    }
    return false;
}

bool TRecordFeed::Open(const std::string& path) {
    Close();
    path_ = path;
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        Fail("не открыт");
        Close();
        return false;
    }
    sqlite3_busy_timeout(db_, BusyTimeoutMs);
    // A file of another program gets no table of ours.
    if (sqlite3_exec(db_, "SELECT 1 FROM `record` LIMIT 0;", nullptr, nullptr, nullptr) !=
        SQLITE_OK) {
        Fail("не является базой записей");
        Close();
        return false;
    }
    if (sqlite3_exec(db_, CreateMarkText, nullptr, nullptr, nullptr) != SQLITE_OK) {
        Fail("таблица `mqtt_sent` не создана");
        Close();
        return false;
    }
    return true;
}

void TRecordFeed::Close() {
    sqlite3_close_v2(db_);
    db_ = nullptr;
}

bool TRecordFeed::ReadMark(std::int64_t& id, bool& found) {
    TQuery q(db_, "SELECT `record_id` FROM `mqtt_sent` WHERE `key` = 1;");
    if (!q.Ok()) {
        return Fail("отметка не прочитана");
    }
    const int rc = sqlite3_step(q.Get());
    found = rc == SQLITE_ROW;
    if (found) {
        id = sqlite3_column_int64(q.Get(), 0);
    }
    return rc == SQLITE_ROW || rc == SQLITE_DONE ? true : Fail("отметка не прочитана");
}

bool TRecordFeed::WriteMark(std::int64_t id) {
    TQuery q(db_, "INSERT OR REPLACE INTO `mqtt_sent` (`key`, `record_id`) VALUES (1, ?);");
    if (!q.Ok() || sqlite3_bind_int64(q.Get(), 1, id) != SQLITE_OK ||
        sqlite3_step(q.Get()) != SQLITE_DONE) {
        return Fail("отметка не записана");
    }
    return true;
}

bool TRecordFeed::LastId(std::int64_t& id) {
    TQuery q(db_, "SELECT coalesce(max(`id`), 0) FROM `record`;");
    if (!q.Ok() || sqlite3_step(q.Get()) != SQLITE_ROW) {
        return Fail("записи не прочитаны");
    }
    id = sqlite3_column_int64(q.Get(), 0);
    return true;
}

bool TRecordFeed::ReadAfter(std::int64_t after, int count, std::vector<TEventRecord>& records) {
    records.clear();
    TQuery q(db_, "SELECT `id`, `device_id`, `utime`, `type`, `value` FROM `record` "
                  "WHERE `id` > ? ORDER BY `id` LIMIT ?;");
    if (!q.Ok() || sqlite3_bind_int64(q.Get(), 1, after) != SQLITE_OK ||
        sqlite3_bind_int(q.Get(), 2, count) != SQLITE_OK) {
        return Fail("записи не прочитаны");
    }
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(q.Get())) == SQLITE_ROW) {
        TEventRecord& r = records.emplace_back();
        r.id = sqlite3_column_int(q.Get(), 0);
        r.device_id = static_cast<std::uint32_t>(sqlite3_column_int64(q.Get(), 1));
        r.utime = sqlite3_column_int(q.Get(), 2);
        r.type = static_cast<std::int8_t>(sqlite3_column_int(q.Get(), 3));
        r.value = sqlite3_column_int(q.Get(), 4);
    }
    return rc == SQLITE_DONE ? true : Fail("записи не прочитаны");
}
