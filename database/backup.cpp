#include "database/backup.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include "common/text.h"

namespace {
constexpr int BusyTimeoutMs = 5000;
// Prepared only where both tables are: a file of another program is not copied.
constexpr const char* RecordTablesText = "SELECT 1 FROM `record`, `device` LIMIT 0;";
} // namespace

TDatabaseBackup::~TDatabaseBackup() {
    Discard();
}

void TDatabaseBackup::Close() {
    if (backup_ != nullptr) {
        sqlite3_backup_finish(backup_);
        backup_ = nullptr;
    }
    if (source_ != nullptr) {
        sqlite3_exec(source_, "ROLLBACK;", nullptr, nullptr, nullptr);
    }
    sqlite3_close_v2(source_);
    sqlite3_close_v2(target_);
    source_ = nullptr;
    target_ = nullptr;
}

void TDatabaseBackup::Discard() {
    Close();
    file_.Discard();
}

bool TDatabaseBackup::Fail(sqlite3* db, const std::string& what) {
    error_ = what;
    if (db != nullptr) {
        error_ += ": [" + std::to_string(sqlite3_extended_errcode(db)) + "] " + sqlite3_errmsg(db);
    }
    Discard();
    return false;
}

bool TDatabaseBackup::Start(const std::string& source, const std::string& target) {
    Discard();
    source_path_ = source;
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0) {
        error_ = "SQLite файл " + source + " не найден: " + GetLastErrorText();
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error_ = "SQLite файл " + source + " не является файлом";
        return false;
    }
    if (sqlite3_open_v2(source.c_str(), &source_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        return Fail(source_, "SQLite файл " + source + " не открыт");
    }
    sqlite3_busy_timeout(source_, BusyTimeoutMs);
    if (sqlite3_exec(source_, RecordTablesText, nullptr, nullptr, nullptr) != SQLITE_OK) {
        return Fail(source_, "SQLite файл " + source + " не является базой записей");
    }
    // The snapshot every step copies from.
    if (sqlite3_exec(source_, "BEGIN; SELECT count( * ) FROM `sqlite_master`;", nullptr, nullptr,
                     nullptr) != SQLITE_OK) {
        return Fail(source_, "SQLite файл " + source + " не читается");
    }
    if (IsSameFile(source, target)) {
        return Fail(nullptr, "Копия " + source + " не может заменить сам файл");
    }
    if (!file_.Create(target)) {
        return Fail(nullptr, "Файл копии не создан: " + file_.Error());
    }
    if (sqlite3_open_v2(file_.TempPath().c_str(), &target_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        return Fail(target_, "Файл копии " + target + " не создан");
    }
    backup_ = sqlite3_backup_init(target_, "main", source_, "main");
    if (backup_ == nullptr) {
        return Fail(target_, "Копия " + source + " не начата");
    }
    return true;
}

TDatabaseBackup::TStep TDatabaseBackup::Step() {
    if (backup_ == nullptr) {
        return TStep::Failed;
    }
    const int rc = sqlite3_backup_step(backup_, pages_per_step_);
    if (rc == SQLITE_OK || rc == SQLITE_BUSY || rc == SQLITE_LOCKED) {
        return TStep::More;
    }
    if (rc != SQLITE_DONE) {
        Fail(target_, "Копия " + source_path_ + " не записана");
        return TStep::Failed;
    }
    sqlite3_backup_finish(backup_);
    backup_ = nullptr;
    // The copy stands alone: its own journal, no log beside it.
    if (sqlite3_exec(target_, "PRAGMA journal_mode=DELETE;", nullptr, nullptr, nullptr) !=
        SQLITE_OK) {
        Fail(target_, "Копия " + source_path_ + " не записана");
        return TStep::Failed;
    }
    Close();
    if (!file_.Commit()) {
        error_ = "Копия не записана: " + file_.Error();
        return TStep::Failed;
    }
    return TStep::Done;
}

int TDatabaseBackup::Copied() const {
    return backup_ != nullptr
               ? sqlite3_backup_pagecount(backup_) - sqlite3_backup_remaining(backup_)
               : 0;
}

int TDatabaseBackup::Total() const {
    return backup_ != nullptr ? sqlite3_backup_pagecount(backup_) : 0;
}
