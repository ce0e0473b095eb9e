#pragma once

#include "database/event_record.h"

#include <cstdint>
#include <string>
#include <vector>

struct sqlite3;

// The records of a record database read in id order by a publisher with a connection of its own,
// and the mark of the last record the publisher had confirmed, kept in the table `mqtt_sent` of
// the same file (`record` and `device` are only read). One thread uses an object; every
// operation returns false and sets Error() when it fails, nothing throws.
class TRecordFeed {
public:
    static constexpr int BusyTimeoutMs = 5000;

    TRecordFeed() = default;
    ~TRecordFeed();
    TRecordFeed(const TRecordFeed&) = delete;
    TRecordFeed& operator=(const TRecordFeed&) = delete;

    // Opens a record database (never creates one): a file without the `record` table is
    // refused. Creates `mqtt_sent` when missing.
    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const { return db_ != nullptr; }
    const std::string& Path() const { return path_; }

    // The mark: the id of the last record confirmed; `found` false when the file has none yet.
    bool ReadMark(std::int64_t& id, bool& found);
    bool WriteMark(std::int64_t id);
    // The highest record id stored (0 when none).
    bool LastId(std::int64_t& id);
    // At most `count` records with an id above `after`, in id order.
    bool ReadAfter(std::int64_t after, int count, std::vector<TEventRecord>& records);

    const std::string& Error() const { return error_; }

private:
    bool Fail(const std::string& what);

    sqlite3* db_ = nullptr;
    std::string path_;
    std::string error_;
};
