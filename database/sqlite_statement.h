#pragma once

// The pieces every statement of the record database is run with: the connection's error, its
// lock and one prepared statement. Used by the files of this folder only.

#include "log/log.h"

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>

// The connection's error, as the log shows it: "[%d] %s".
struct TSqlError {
    int code = SQLITE_OK;
    std::string text;

    void Take(sqlite3* db) {
        code = sqlite3_errcode(db);
        text = sqlite3_errmsg(db);
    }
    std::string Text() const { return fmt::format("[{}] {}", code, text); }
    void Log(TLog* log, std::uint8_t level) const { TLog::Add(log, Text(), level); }
};

// Holds the connection's own mutex, so that the error of a call is read before a call from
// another thread can replace it.
class TConnectionLock {
public:
    explicit TConnectionLock(sqlite3* db) : mutex_(sqlite3_db_mutex(db)) {
        sqlite3_mutex_enter(mutex_);
    }
    ~TConnectionLock() { sqlite3_mutex_leave(mutex_); }
    TConnectionLock(const TConnectionLock&) = delete;
    TConnectionLock& operator=(const TConnectionLock&) = delete;

private:
    sqlite3_mutex* mutex_;
};

// One prepared statement with bound parameters, finalized on every way out. The first failure
// is kept in `error` and ends the statement's work.
class TStatement {
public:
    TStatement(sqlite3* db, std::string_view sql, TSqlError& error) : db_(db), error_(error) {
        TConnectionLock lock(db_);
        Check(sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr));
    }
    // The statement kept in `kept` from one call to the next, prepared at the first: a statement
    // that fires triggers takes longer to prepare than to run. Reset at the end of each call;
    // the owner of `kept` finalizes it before the connection closes.
    TStatement(sqlite3* db, sqlite3_stmt*& kept, std::string_view sql, TSqlError& error)
        : db_(db), error_(error), kept_(true) {
        TConnectionLock lock(db_);
        if (kept == nullptr) {
            Check(
                sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &kept, nullptr));
        }
        stmt_ = kept;
    }
    ~TStatement() {
        if (kept_) {
            sqlite3_reset(stmt_);
        } else {
            sqlite3_finalize(stmt_);
        }
    }
    TStatement(const TStatement&) = delete;
    TStatement& operator=(const TStatement&) = delete;

    void Bind(int index, std::int64_t value) {
        if (!failed_) {
            TConnectionLock lock(db_);
            Check(sqlite3_bind_int64(stmt_, index, value));
        }
    }
    // A named parameter (":name") the statement does not have is left alone: the texts that
    // are put together from parts bind every value they might use.
    void Bind(const char* name, std::int64_t value) {
        const int index = sqlite3_bind_parameter_index(stmt_, name);
        if (index > 0) {
            Bind(index, value);
        }
    }
    void Bind(int index, std::string_view text) {
        if (!failed_) {
            TConnectionLock lock(db_);
            Check(sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                                    SQLITE_TRANSIENT));
        }
    }
    // True with a row to read; false when done (`Done`) or failed.
    bool Step() {
        if (failed_ || done_) {
            return false;
        }
        TConnectionLock lock(db_);
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) {
            return true;
        }
        done_ = rc == SQLITE_DONE;
        if (!done_) {
            Check(rc);
        }
        return false;
    }
    // Steps through every row; true when the statement ran to its end.
    bool Finish() {
        while (Step()) {
        }
        return done_;
    }
    bool Done() const { return done_; }
    // Makes the statement ready to run again, with the values bound so far.
    void Reset() {
        if (!failed_) {
            TConnectionLock lock(db_);
            sqlite3_reset(stmt_);
            done_ = false;
        }
    }

    int Int(int column) const { return sqlite3_column_int(stmt_, column); }
    std::int64_t Int64(int column) const { return sqlite3_column_int64(stmt_, column); }
    const unsigned char* Text(int column) const { return sqlite3_column_text(stmt_, column); }
    // The whole text, zero bytes included; empty for NULL.
    std::string String(int column) const {
        const unsigned char* text = sqlite3_column_text(stmt_, column);
        return text == nullptr
                   ? std::string()
                   : std::string(reinterpret_cast<const char*>(text),
                                 static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
    }

private:
    void Check(int rc) {
        if (rc != SQLITE_OK && !failed_) {
            failed_ = true;
            error_.Take(db_);
        }
    }

    sqlite3* db_;
    TSqlError& error_;
    sqlite3_stmt* stmt_ = nullptr;
    bool kept_ = false;
    bool failed_ = false;
    bool done_ = false;
};

// Runs statements that return no rows, all of them or up to the first that fails.
inline bool Execute(sqlite3* db, const char* sql, TSqlError& error) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK) {
        return true;
    }
    error.Take(db);
    return false;
}
