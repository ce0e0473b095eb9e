#include "database/record_blocks.h"

#include "database/sqlite.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <optional>

namespace {

// 8192 ids a block: one block read record by record takes a few milliseconds, and the counts
// of 10^7 records, 1,221 blocks, add up in a few more.
constexpr int BlockShift = 13;

// The page's records are read through the device and type index where fewer than one id in this
// many is selected; denser ones are cheaper to walk id by id.
constexpr std::uint64_t SparseRatio = 8;

std::int64_t FirstId(std::int64_t block) {
    return block << BlockShift;
}

std::int64_t LastId(std::int64_t block) {
    return FirstId(block) + ((std::int64_t{1} << BlockShift) - 1);
}

// `keyed`: the records of the filter's devices and types among the ids, whatever their time:
// the index finds those, and a period is then checked on each of them.
bool Sparse(std::int64_t low_id, std::int64_t high_id, std::int64_t keyed) {
    // Unsigned, so that no pair of ids overflows.
    const std::uint64_t ids =
        static_cast<std::uint64_t>(high_id) - static_cast<std::uint64_t>(low_id);
    return static_cast<std::uint64_t>(keyed) * SparseRatio <= ids;
}

// How many of the block tables and their triggers are there, and whether there is a record.
constexpr const char* BlockNamesText =
    "SELECT ( SELECT count( * ) FROM `sqlite_master` WHERE `name` IN ( 'record_block', "
    "'record_block_type', 'record_block_insert', 'record_block_delete', 'record_block_update' ) "
    "), EXISTS ( SELECT 1 FROM `record` );";
constexpr int BlockNames = 5;

constexpr const char* TablesText =
    "DROP TRIGGER IF EXISTS `record_block_insert`; DROP TRIGGER IF EXISTS `record_block_delete`; "
    "DROP TRIGGER IF EXISTS `record_block_update`; DROP TABLE IF EXISTS `record_block`; DROP "
    "TABLE IF EXISTS `record_block_type`; CREATE TABLE `record_block` ( `device_id` INTEGER NOT "
    "NULL, `block` INTEGER NOT NULL, `type` INTEGER NOT NULL, `count` INTEGER NOT NULL, "
    "`min_utime` INTEGER NOT NULL, `max_utime` INTEGER NOT NULL, PRIMARY KEY ( `device_id`, "
    "`block`, `type` ) ) WITHOUT ROWID; CREATE TABLE `record_block_type` ( `block` INTEGER NOT "
    "NULL, `type` INTEGER NOT NULL, `count` INTEGER NOT NULL, `min_utime` INTEGER NOT NULL, "
    "`max_utime` INTEGER NOT NULL, PRIMARY KEY ( `block`, `type` ) ) WITHOUT ROWID;";

// A record's keys in the block tables, {0} the prefix of its columns (NEW., OLD. or none). A
// missing type is -1, as a key may not be NULL; a time stamp that is not a whole number spans
// all time, so that every period counts its block record by record.
constexpr const char* BlockKey = "{0}`id` >> {1}";
constexpr const char* TypeKey = "ifnull( {0}`type`, -1 )";
constexpr const char* LowStamp = "CASE typeof( {0}`utime` ) WHEN 'integer' THEN {0}`utime` ELSE "
                                 "-9223372036854775808 END";
constexpr const char* HighStamp = "CASE typeof( {0}`utime` ) WHEN 'integer' THEN {0}`utime` "
                                  "ELSE 9223372036854775807 END";

constexpr const char* NextRecordText =
    "SELECT `id` FROM `record` WHERE `id` >= :low_id ORDER BY `id` LIMIT 1;";
// One block at a time, so that each sort is of one block's records.
constexpr const char* FillBlockText =
    "INSERT INTO `record_block` ( `device_id`, `block`, `type`, `count`, `min_utime`, "
    "`max_utime` ) SELECT `device_id`, :block, {type}, count( * ), min( {low} ), max( {high} ) "
    "FROM `record` WHERE `id` BETWEEN :low_id AND :high_id GROUP BY `device_id`, {type};";
constexpr const char* FillTypesText =
    "INSERT INTO `record_block_type` ( `block`, `type`, `count`, `min_utime`, `max_utime` ) "
    "SELECT `block`, `type`, sum( `count` ), min( `min_utime` ), max( `max_utime` ) FROM "
    "`record_block` GROUP BY `block`, `type`;";

// A record comes: its block's counts go up and their spans widen to take its time stamp. A
// record that goes leaves the spans as they are: a span wider than its records only has its
// block read through more often.
constexpr const char* AddText =
    "INSERT INTO `record_block` ( `device_id`, `block`, `type`, `count`, `min_utime`, "
    "`max_utime` ) VALUES ( NEW.`device_id`, {block}, {type}, 1, {low}, {high} ) ON CONFLICT DO "
    "UPDATE SET {widen}; INSERT INTO `record_block_type` ( `block`, `type`, `count`, "
    "`min_utime`, `max_utime` ) VALUES ( {block}, {type}, 1, {low}, {high} ) ON CONFLICT DO "
    "UPDATE SET {widen}; ";
constexpr const char* WidenText =
    "`count` = `count` + 1, `min_utime` = min( `min_utime`, excluded.`min_utime` ), "
    "`max_utime` = max( `max_utime`, excluded.`max_utime` )";
constexpr const char* RemoveText =
    "UPDATE `record_block` SET `count` = `count` - 1 WHERE `device_id` = OLD.`device_id` AND "
    "`block` = {block} AND `type` = {type}; UPDATE `record_block_type` SET `count` = `count` - 1 "
    "WHERE `block` = {block} AND `type` = {type}; ";
constexpr const char* TriggersText =
    "CREATE TRIGGER `record_block_insert` AFTER INSERT ON `record` BEGIN {add}END; CREATE "
    "TRIGGER `record_block_delete` AFTER DELETE ON `record` BEGIN {remove}END; CREATE TRIGGER "
    "`record_block_update` AFTER UPDATE OF `id`, `device_id`, `type`, `utime` ON `record` BEGIN "
    "{remove}{add}END;";

// The last record and device row now, and whether the filter's device has a row among them.
constexpr const char* SnapshotText =
    "SELECT ifnull( ( SELECT max( `id` ) FROM `record` ), 0 ), ifnull( ( SELECT max( `id` ) "
    "FROM `device` ), 0 ), EXISTS ( SELECT 1 FROM `device` WHERE `device_id` = :device );";
// The blocks up to the snapshot's, newest first, with their counts and spans. The snapshot's
// block may have records written since, and the type table counts the devices with no row as
// well: both are taken off in this one statement, so that they are read as the counts are.
constexpr const char* BlocksText =
    "{with}SELECT B.`block`, sum( B.`count` ){unlisted} - CASE WHEN B.`block` = :top THEN ( "
    "SELECT count( * ) {beyond} ) ELSE 0 END, min( B.`min_utime` ), max( B.`max_utime` ) FROM "
    "{table} B WHERE {device}B.`type` IN ( {types} ) AND B.`block` <= :top GROUP BY B.`block` "
    "ORDER BY B.`block` DESC;";
// Each device the block table knows, one seek apart, less those with a row. Their counts are
// looked up by device and block alone (the + keeps the type off the key), a seek per block for
// each such device: normally there is none.
constexpr const char* UnlistedWith =
    "WITH RECURSIVE `seen` ( `device_id` ) AS ( SELECT min( `device_id` ) FROM `record_block` "
    "UNION ALL SELECT ( SELECT min( `device_id` ) FROM `record_block` WHERE `device_id` > "
    "`seen`.`device_id` ) FROM `seen` WHERE `seen`.`device_id` IS NOT NULL ), `unlisted` AS ( "
    "SELECT `device_id` FROM `seen` WHERE `device_id` NOT IN ( SELECT `device_id` FROM `device` "
    "WHERE `id` <= :rows ) ) ";
constexpr const char* UnlistedCount =
    " - ( SELECT ifnull( sum( U.`count` ), 0 ) FROM `record_block` U WHERE U.`device_id` IN ( "
    "SELECT `device_id` FROM `unlisted` ) AND U.`block` = B.`block` AND +U.`type` IN ( {types} ) )";
constexpr const char* RowsText =
    "SELECT R.`id`, R.`device_id`, R.`utime`, D.`address`, D.`const_name`, D.`user_name`, "
    "R.`type`, R.`value` {source} ORDER BY R.`id` {order} LIMIT :skip, :take;";

std::string Keyed(const char* text, const char* prefix) {
    return fmt::format(
        fmt::runtime(text), fmt::arg("block", fmt::format(BlockKey, prefix, BlockShift)),
        fmt::arg("type", fmt::format(TypeKey, prefix)),
        fmt::arg("low", fmt::format(LowStamp, prefix)),
        fmt::arg("high", fmt::format(HighStamp, prefix)), fmt::arg("widen", WidenText));
}

bool FillBlocks(sqlite3* db, TSqlError& error) {
    TStatement next(db, NextRecordText, error);
    TStatement fill(db, Keyed(FillBlockText, ""), error);
    // Block after block, over any gap between the ids.
    std::int64_t low_id = std::numeric_limits<std::int64_t>::min();
    for (;;) {
        next.Bind(":low_id", low_id);
        if (!next.Step()) {
            return next.Done();
        }
        const std::int64_t block = next.Int64(0) >> BlockShift;
        next.Reset();
        fill.Bind(":block", block);
        fill.Bind(":low_id", FirstId(block));
        fill.Bind(":high_id", LastId(block));
        if (!fill.Finish()) {
            return false;
        }
        fill.Reset();
        if (LastId(block) == std::numeric_limits<std::int64_t>::max()) {
            return true;
        }
        low_id = LastId(block) + 1;
    }
}

} // namespace

bool MakeRecordBlocks(sqlite3* db, TLog* log, TSqlError& error) {
    // A new file has nothing to count, and nothing to say.
    bool any = false;
    {
        TStatement names(db, BlockNamesText, error);
        if (!names.Step()) {
            return false;
        }
        if (names.Int(0) == BlockNames) {
            return true;
        }
        any = names.Int(1) != 0;
    }
    if (!Execute(db, "BEGIN IMMEDIATE;", error)) {
        return false;
    }
    if (any) {
        TLog::Add(log,
                  "SQLite: строятся счётчики записей по блокам (`record_block`), один проход по "
                  "всем записям",
                  LOG_TYPE_INFO);
    }
    const auto started = std::chrono::steady_clock::now();
    const std::string triggers =
        fmt::format(fmt::runtime(TriggersText), fmt::arg("add", Keyed(AddText, "NEW.")),
                    fmt::arg("remove", Keyed(RemoveText, "OLD.")));
    if (!(Execute(db, TablesText, error) && FillBlocks(db, error) &&
          Execute(db, FillTypesText, error) && Execute(db, triggers.c_str(), error) &&
          Execute(db, "COMMIT;", error))) {
        sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
        return false;
    }
    if (any) {
        TLog::Addf(
            log, LOG_TYPE_INFO, "SQLite: счётчики записей по блокам построены за %.1f с",
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    }
    return true;
}

TRecordQuery::TRecordQuery(sqlite3* db, const TRecordFilter& filter, std::string types,
                           TSqlError& error)
    : db_(db), filter_(filter), types_(std::move(types)), error_(error) {}

bool TRecordQuery::Read(std::int64_t offset, std::span<TRecordRow> rows, int& read,
                        std::int64_t* total) {
    read = 0;
    offset = std::max<std::int64_t>(offset, 0);
    const auto wanted = static_cast<std::int64_t>(rows.size());
    std::int64_t seen = 0;  // records in the blocks walked
    std::int64_t newer = 0; // records in the blocks before the page's first
    std::int64_t held = 0;  // records in the page's blocks
    std::int64_t keyed = 0; // and of the filter's devices and types there, whatever their time
    std::optional<std::int64_t> first_block;
    std::int64_t last_block = 0;
    const auto whole = [&] { return first_block && held >= offset - newer + wanted; };
    const bool ok = Walk([&](std::int64_t block, std::int64_t count, std::int64_t stored) {
        if (!first_block && seen + count > offset) {
            first_block = block;
            newer = seen;
        }
        seen += count;
        if (first_block && !whole()) {
            last_block = block;
            held += count;
            keyed += stored;
        }
        return total != nullptr || !whole();
    });
    if (total != nullptr) {
        *total = seen;
    }
    if (!ok || !first_block || wanted == 0) {
        return ok;
    }
    return ReadIds(FirstId(last_block), std::min(LastId(*first_block), last_record_), held, keyed,
                   offset - newer, rows, read);
}

bool TRecordQuery::ReadBefore(std::int64_t before_id, std::span<TRecordRow> rows, int& read) {
    read = 0;
    bool listed = false;
    if (!TakeSnapshot(listed) || !listed) {
        return error_.code == SQLITE_OK;
    }
    const std::int64_t high_id = std::min(before_id - 1, last_record_);
    // Down the ids from the highest, as many as there are ids at the most: never sparse, so no
    // sort of the index's rows.
    return high_id < 0 || ReadIds(0, high_id, high_id + 1, high_id + 1, 0, rows, read);
}

bool TRecordQuery::Walk(
    const std::function<bool(std::int64_t, std::int64_t, std::int64_t)>& visit) {
    bool listed = false;
    if (!TakeSnapshot(listed) || !listed) {
        return error_.code == SQLITE_OK;
    }
    const std::int64_t top = last_record_ >> BlockShift;
    const bool every_device = !filter_.device_id;
    TStatement blocks(
        db_,
        fmt::format(fmt::runtime(BlocksText), fmt::arg("with", every_device ? UnlistedWith : ""),
                    fmt::arg("unlisted", every_device ? fmt::format(fmt::runtime(UnlistedCount),
                                                                    fmt::arg("types", types_))
                                                      : ""),
                    fmt::arg("beyond", Source(false)),
                    fmt::arg("table", every_device ? "`record_block_type`" : "`record_block`"),
                    fmt::arg("device", every_device ? "" : "B.`device_id` = :device AND "),
                    fmt::arg("types", types_)),
        error_);
    // The records of the snapshot's block written since it was taken; none when it ends there.
    const bool beyond = last_record_ < LastId(top);
    Bind(blocks, beyond ? last_record_ + 1 : 1, beyond ? LastId(top) : 0);
    blocks.Bind(":top", top);
    while (blocks.Step()) {
        const std::int64_t block = blocks.Int64(0);
        const std::int64_t stored = blocks.Int64(1);
        std::int64_t count = stored;
        const TFit fit = Fit(blocks.Int64(2), blocks.Int64(3));
        if (fit == TFit::Outside) {
            continue;
        }
        if (fit == TFit::Straddles) {
            count = CountIds(FirstId(block), std::min(LastId(block), last_record_), stored);
            if (error_.code != SQLITE_OK) {
                return false;
            }
        }
        if (count > 0 && !visit(block, count, stored)) {
            return true;
        }
    }
    return blocks.Done();
}

bool TRecordQuery::TakeSnapshot(bool& listed) {
    TStatement snapshot(db_, SnapshotText, error_);
    Bind(snapshot, 0, 0);
    if (!snapshot.Step()) {
        return false;
    }
    last_record_ = snapshot.Int64(0);
    last_device_row_ = snapshot.Int64(1);
    listed = !filter_.device_id || snapshot.Int(2) != 0;
    return true;
}

TRecordQuery::TFit TRecordQuery::Fit(std::int64_t lowest, std::int64_t highest) const {
    const bool from = filter_.from.has_value();
    const bool to = filter_.to.has_value();
    if ((!from || lowest >= *filter_.from) && (!to || highest <= *filter_.to)) {
        return TFit::Inside;
    }
    if ((from && highest < *filter_.from) || (to && lowest > *filter_.to)) {
        return TFit::Outside;
    }
    return TFit::Straddles;
}

std::string TRecordQuery::Source(bool sparse) const {
    std::string text = fmt::format(
        "FROM `record` R {} CROSS JOIN `device` D ON D.`device_id` = R.`device_id` WHERE "
        "R.`type` IN ( {} )",
        sparse ? "INDEXED BY `record_device_type`" : "NOT INDEXED", types_);
    if (filter_.device_id) {
        text += " AND R.`device_id` = :device";
    } else if (sparse) {
        text += " AND R.`device_id` IN ( SELECT `device_id` FROM `device` WHERE `id` <= :rows )";
    }
    if (filter_.from) {
        text += " AND R.`utime` >= :from";
    }
    if (filter_.to) {
        text += " AND R.`utime` <= :to";
    }
    return text + " AND R.`id` BETWEEN :low_id AND :high_id AND D.`id` <= :rows";
}

void TRecordQuery::Bind(TStatement& statement, std::int64_t low_id, std::int64_t high_id) const {
    if (filter_.device_id) {
        statement.Bind(":device", static_cast<std::int32_t>(*filter_.device_id));
    }
    if (filter_.from) {
        statement.Bind(":from", *filter_.from);
    }
    if (filter_.to) {
        statement.Bind(":to", *filter_.to);
    }
    statement.Bind(":rows", last_device_row_);
    statement.Bind(":low_id", low_id);
    statement.Bind(":high_id", high_id);
}

std::int64_t TRecordQuery::CountIds(std::int64_t low_id, std::int64_t high_id, std::int64_t keyed) {
    TStatement statement(db_, "SELECT count( * ) " + Source(Sparse(low_id, high_id, keyed)),
                         error_);
    Bind(statement, low_id, high_id);
    return statement.Step() ? statement.Int64(0) : 0;
}

bool TRecordQuery::ReadIds(std::int64_t low_id, std::int64_t high_id, std::int64_t held,
                           std::int64_t keyed, std::int64_t skip, std::span<TRecordRow> rows,
                           int& read) {
    const std::int64_t take = std::min(static_cast<std::int64_t>(rows.size()), held - skip);
    const std::int64_t skip_from_oldest = held - skip - take;
    // LIMIT walks past every row it skips: a page nearer the oldest end of its blocks is read
    // from that end and turned round.
    const bool newest_first = skip <= skip_from_oldest;
    TStatement statement(db_,
                         fmt::format(fmt::runtime(RowsText),
                                     fmt::arg("source", Source(Sparse(low_id, high_id, keyed))),
                                     fmt::arg("order", newest_first ? "DESC" : "ASC")),
                         error_);
    Bind(statement, low_id, high_id);
    statement.Bind(":skip", newest_first ? skip : skip_from_oldest);
    statement.Bind(":take", take);
    while (read < take && statement.Step()) {
        TRecordRow& row = rows[static_cast<std::size_t>(read)];
        row.id = statement.Int(0);
        row.device_id = static_cast<std::uint32_t>(statement.Int(1));
        row.utime = statement.Int(2);
        row.address = statement.Int(3);
        TSQLite::NameFromSql(statement.Text(4), row.const_name);
        TSQLite::NameFromSql(statement.Text(5), row.user_name);
        row.type = static_cast<std::int8_t>(statement.Int(6));
        row.value = statement.Int(7);
        ++read;
    }
    const bool ok = statement.Finish();
    if (!newest_first) {
        std::reverse(rows.begin(), rows.begin() + read);
    }
    return ok;
}
