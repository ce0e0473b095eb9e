#pragma once

#include <string>

#include "common/staged_file.h"

struct sqlite3;
struct sqlite3_backup;

// A consistent copy of a record database while the program goes on writing it: SQLite's online
// backup, a number of pages per step, inside one read transaction held from the first step to
// the last, so the copy is the file as it stood at Start whatever is written meanwhile (a
// write-ahead log lets the writers go on). One thread drives it; nothing throws.
class TDatabaseBackup {
public:
    static constexpr int PAGES_PER_STEP = 1024;
    enum class TStep { More, Done, Failed };

    explicit TDatabaseBackup(int pages_per_step = PAGES_PER_STEP)
        : pages_per_step_(pages_per_step) {}
    ~TDatabaseBackup();
    TDatabaseBackup(const TDatabaseBackup&) = delete;
    TDatabaseBackup& operator=(const TDatabaseBackup&) = delete;

    // Opens `source` read-only (it must exist and hold the `record` and `device` tables) and a
    // temporary file beside `target`, renamed to it once the copy is complete. False: Error
    // says why (the target is the source itself, or its folder takes no file).
    bool Start(const std::string& source, const std::string& target);
    // On Done the copy is in place; on Failed, or when the object goes first, it is removed.
    TStep Step();
    // Pages copied and in all, as of the last step.
    int Copied() const;
    int Total() const;
    const std::string& Error() const { return error_; }

private:
    bool Fail(sqlite3* db, const std::string& what);
    void Close();
    // Closes and removes the unfinished copy.
    void Discard();

    int pages_per_step_;
    sqlite3* source_ = nullptr;
    sqlite3* target_ = nullptr;
    sqlite3_backup* backup_ = nullptr;
    TStagedFile file_;
    std::string source_path_;
    std::string error_;
};
