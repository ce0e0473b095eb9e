#pragma once

// Counts of the records per block of ids, kept beside `record` by triggers: per device and type
// in `record_block`, per type alone in `record_block_type`, each with the lowest and highest
// time stamp of the block. A count or a page of any filter adds up whole blocks from them and
// reads only the records of the few blocks it must, instead of walking every record it skips.

#include "database/event_record.h"
#include "database/record_filter.h"
#include "database/sqlite_statement.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>

// Makes the block tables and their triggers when any of them is missing, counting the records
// already there in one pass, all in one transaction; true when they are there.
bool MakeRecordBlocks(sqlite3* db, TLog* log, TSqlError& error);

// One count or page of a filter on a connection that has the block tables. It reads what the
// database held when it began, the records up to the last id then and the devices up to the
// last row, so that a page and its count agree while records arrive.
//
// A block whose time stamps lie wholly inside the period counts whole, one wholly outside not
// at all; a block that straddles an end of the period is counted record by record. While the
// clock runs forward only the blocks where the period begins and ends straddle it; each step
// of the clock back adds the few blocks written while it was behind.
class TRecordQuery {
public:
    // `types`: the record types selected, as the list inside an IN ( ... ) ("0, 4, 8").
    TRecordQuery(sqlite3* db, const TRecordFilter& filter, std::string types, TSqlError& error);

    // Reads rows.size() records the filter selects, newest first, skipping the `offset` newest
    // (at least 0), into rows from rows[0]; `read` says how many. `total`, when given, gets
    // how many records the filter selects in all. False when a statement failed: `error` says
    // why, and `read` how many rows came before it.
    bool Read(std::int64_t offset, std::span<TRecordRow> rows, int& read, std::int64_t* total);
    // Reads rows.size() records the filter selects with ids below `before_id`, newest first,
    // with no count and no row skipped: a reader that goes through them all passes the last id
    // of a page for the next, and the records stored meanwhile are not met.
    bool ReadBefore(std::int64_t before_id, std::span<TRecordRow> rows, int& read);

private:
    enum class TFit { Inside, Outside, Straddles };

    // Calls visit(block, count, keyed) for each block with records the filter selects, newest
    // first, with their exact count and the count of the filter's devices and types there
    // whatever their time, until it returns false.
    bool Walk(const std::function<bool(std::int64_t, std::int64_t, std::int64_t)>& visit);
    // Reads the last record id and device row; false for a device with no row.
    bool TakeSnapshot(bool& listed);
    TFit Fit(std::int64_t lowest, std::int64_t highest) const;
    // FROM and WHERE of the records the filter selects among the ids :low_id..:high_id, read
    // through the device and type index when the filter's devices and types are sparse there.
    std::string Source(bool sparse) const;
    void Bind(TStatement& statement, std::int64_t low_id, std::int64_t high_id) const;
    // `keyed`: as Walk gives it.
    std::int64_t CountIds(std::int64_t low_id, std::int64_t high_id, std::int64_t keyed);
    // The page's rows between two ids, which hold `held` selected records: read from the
    // nearer end.
    bool ReadIds(std::int64_t low_id, std::int64_t high_id, std::int64_t held, std::int64_t keyed,
                 std::int64_t skip, std::span<TRecordRow> rows, int& read);

    sqlite3* db_;
    const TRecordFilter& filter_;
    std::string types_;
    TSqlError& error_;
    std::int64_t last_record_ = 0;
    std::int64_t last_device_row_ = 0;
};
