#include "common/text.h"
#include "database/sqlite.h"
#include "log/log.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/fake_log_pane.h"
#include "support/fake_settings.h"
#include "support/fault_vfs.h"
#include "support/temp_dir.h"
#include "support/tiny_disk.h"
#include "support/without_file_override.h"

namespace {

// A second, plain connection to the same file: what another program (or a reference query)
// sees.
class RawDb {
public:
    explicit RawDb(const std::string& path) { sqlite3_open(path.c_str(), &db_); }
    ~RawDb() { sqlite3_close(db_); }
    RawDb(const RawDb&) = delete;
    RawDb& operator=(const RawDb&) = delete;

    int Exec(const std::string& sql) {
        return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
    }
    // Column 0 of every row, as text ("NULL" for null).
    std::vector<std::string> Column(const std::string& sql) {
        std::vector<std::string> values;
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
            while (sqlite3_step(stmt) == SQLITE_ROW) {
                const unsigned char* text = sqlite3_column_text(stmt, 0);
                values.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "NULL");
            }
        }
        sqlite3_finalize(stmt);
        return values;
    }
    std::string Value(const std::string& sql) {
        const std::vector<std::string> values = Column(sql);
        return values.empty() ? "" : values.front();
    }

private:
    sqlite3* db_ = nullptr;
};

// Fills a name field with the Windows-1251 form of a UTF-8 text, cut to fit.
template <std::size_t N>
void SetName(char (&field)[N], const std::string& utf8) {
    const std::string cp1251 = Utf8ToCp1251(utf8);
    std::memset(field, 0, N);
    std::memcpy(field, cp1251.data(), std::min(cp1251.size(), N - 1));
}

TDeviceRecord Device(std::uint32_t device_id, int address, const std::string& const_name = "",
                     const std::string& user_name = "") {
    TDeviceRecord device{};
    device.device_id = device_id;
    device.address = address;
    SetName(device.const_name, const_name);
    SetName(device.user_name, user_name);
    device.lines = 4;
    device.sensors = 2;
    device.relays = 1;
    device.archives = 100;
    device.remote = 0x3FF;
    return device;
}

TEventRecord Record(std::uint32_t device_id, int type, std::int32_t value = 0,
                    std::int32_t utime = 1700000000) {
    TEventRecord record{};
    record.device_id = device_id;
    record.utime = utime;
    record.type = static_cast<std::int8_t>(type);
    record.value = value;
    return record;
}

std::vector<int> Ids(const std::vector<TRecordRow>& rows, int count) {
    std::vector<int> ids;
    for (int i = 0; i < count; ++i) {
        ids.push_back(rows[static_cast<std::size_t>(i)].id);
    }
    return ids;
}

// The plain query of a filter's records, joined with their devices; `mask` stands for the
// setting when the filter has none.
std::string ReferenceQuery(const std::string& what, const TRecordFilter& filter, int mask) {
    std::string sql = "SELECT " + what +
                      " FROM `record` R JOIN `device` D ON D.`device_id` = R.`device_id` WHERE "
                      "`type` IN ( " +
                      TSQLite::GetRecordsMaskList(filter.records_mask.value_or(mask)) + " )";
    if (filter.device_id) {
        sql +=
            " AND R.`device_id` = " + std::to_string(static_cast<std::int32_t>(*filter.device_id));
    }
    if (filter.from) {
        sql += " AND `utime` >= " + std::to_string(*filter.from);
    }
    if (filter.to) {
        sql += " AND `utime` <= " + std::to_string(*filter.to);
    }
    return sql;
}

// Ids of a page exactly as the plain page query with LIMIT and OFFSET gives them.
std::vector<int> ReferencePage(RawDb& raw, const TRecordFilter& filter, int mask,
                               std::int64_t offset, int count) {
    std::vector<int> ids;
    for (const std::string& id :
         raw.Column(ReferenceQuery("R.`id`", filter, mask) + " ORDER BY R.`id` DESC LIMIT " +
                    std::to_string(count) + " OFFSET " + std::to_string(offset) + ";")) {
        ids.push_back(std::stoi(id));
    }
    return ids;
}

// The process works in a folder for as long as the object lives.
class InFolder {
public:
    explicit InFolder(const std::string& folder) : before_(std::filesystem::current_path()) {
        std::filesystem::current_path(folder);
    }
    ~InFolder() { std::filesystem::current_path(before_); }
    InFolder(const InFolder&) = delete;
    InFolder& operator=(const InFolder&) = delete;

private:
    std::filesystem::path before_;
};

class Database : public ::testing::Test {
protected:
    Database() { log.IsLogDebug = true; }

    // Every line logged since the last call, UTF-8, without the stamp and level label.
    std::vector<std::string> Lines() {
        log.Flush();
        std::vector<std::string> texts;
        for (const FakeLogPane::Line& line : pane.lines) {
            texts.push_back(line.text.size() > 28 ? line.text.substr(28) : "");
        }
        pane.lines.clear();
        return texts;
    }
    bool Logged(const std::string& text) {
        const std::vector<std::string> lines = Lines();
        return std::find(lines.begin(), lines.end(), text) != lines.end();
    }

    TempDir dir;
    FakeLogPane pane;
    TLog log{&pane, nullptr, dir.file("test.log")};
    FakeSettings settings;
    std::string path = dir.file("records.db");
    // A short busy timeout keeps the lock tests quick.
    TSQLite db{&log, settings, 300};
};

} // namespace

TEST_F(Database, StartsOnAMissingFileWithBothTablesAndCreatesNothingTwice) {
    ASSERT_TRUE(db.Init(path));
    EXPECT_TRUE(db.IsActive());
    EXPECT_EQ(db.GetVersion(), sqlite3_libversion());
    const std::vector<std::string> lines = Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "TSQLite::Init"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        std::string("SQLite Версия: ") + sqlite3_libversion() +
                            ", Устройств: 0, Записей: 0, Маскируемых записей: 0"),
              lines.end());
    {
        RawDb raw(path);
        EXPECT_EQ(raw.Column("SELECT name FROM sqlite_master WHERE type = 'table' AND name IN "
                             "('record', 'device') ORDER BY name;"),
                  (std::vector<std::string>{"device", "record"}));
        EXPECT_EQ(raw.Value("PRAGMA journal_mode;"), "wal");
    }

    ASSERT_TRUE(db.InsertDevice(Device(7, 3, "Прибор")));
    ASSERT_TRUE(db.InsertRecord(Record(7, 4, 0x0203)));
    ASSERT_TRUE(db.InsertRecord(Record(7, 1)));
    ASSERT_TRUE(db.InsertRecord(Record(99, 2)));
    settings.records_mask = 1 << 4;
    db.Close();
    EXPECT_FALSE(db.IsActive());
    Lines();

    ASSERT_TRUE(db.Init(path));
    EXPECT_TRUE(Logged(std::string("SQLite Версия: ") + sqlite3_libversion() +
                       ", Устройств: 1, Записей: 3, Маскируемых записей: 1"));
    EXPECT_EQ(db.GetRecordCount(), 3);
    EXPECT_EQ(db.GetDeviceCount(), 1);
    TDeviceRecord device{};
    ASSERT_TRUE(db.SelectDevice(7, device));
    EXPECT_STREQ(device.const_name, Utf8ToCp1251("Прибор").c_str());
    // Init on an active database closes it first.
    ASSERT_TRUE(db.Init(path));
    EXPECT_TRUE(Logged("TSQLite::Close"));
    EXPECT_EQ(db.GetRecordCount(), 3);
}

TEST_F(Database, NamesAreStoredTrimmedCutQuotedAndIntact) {
    ASSERT_TRUE(db.Init(path));
    TDeviceRecord device = Device(1, 5, "O'Neil", "  padded\t ");
    ASSERT_TRUE(db.InsertDevice(device));
    SetName(device.const_name, "ABCDEFGHIJKLMNOPQRSTUVWXY"); // 25 characters, 18 fit the field
    SetName(device.user_name, "(null) (null)");
    ASSERT_TRUE(db.InsertDevice(Device(2, 6, " Прибор №1\t", "(null)")));
    ASSERT_TRUE(db.InsertDevice(Device(3, 7)));

    RawDb raw(path);
    EXPECT_EQ(raw.Column("SELECT const_name FROM device ORDER BY id;"),
              (std::vector<std::string>{"O'Neil", "Прибор №1", ""}));
    EXPECT_EQ(raw.Column("SELECT user_name FROM device ORDER BY id;"),
              (std::vector<std::string>{"padded", "(null)", ""}));

    ASSERT_TRUE(db.UpdateDevice(device));
    EXPECT_EQ(raw.Value("SELECT const_name FROM device WHERE device_id = 1;"),
              "ABCDEFGHIJKLMNOPQR");
    EXPECT_EQ(raw.Value("SELECT user_name FROM device WHERE device_id = 1;"), "(null) (null)");

    TDeviceRecord read{};
    ASSERT_TRUE(db.SelectDevice(2, read));
    EXPECT_STREQ(read.const_name, Utf8ToCp1251("Прибор №1").c_str());
    EXPECT_STREQ(read.user_name, "(null)");

    // Names written by hand are read as blanks-trimmed, 18-character, zero-filled fields; a
    // null column is an empty name.
    ASSERT_EQ(raw.Exec("UPDATE device SET const_name = '   Сорок символов точно не влезут', "
                       "user_name = NULL WHERE device_id = 3;"),
              SQLITE_OK);
    std::memset(&read, 0x55, sizeof read);
    ASSERT_TRUE(db.SelectDevice(3, read));
    EXPECT_EQ(std::string(read.const_name, DeviceNameSize),
              Utf8ToCp1251("Сорок символов точ") + '\0');
    EXPECT_EQ(std::string(read.user_name, DeviceNameSize), std::string(DeviceNameSize, '\0'));

    // A field filled to its last byte without a terminator is read only up to its size.
    std::memset(device.const_name, 'Z', DeviceNameSize);
    EXPECT_EQ(TSQLite::NameToSql(device.const_name), std::string(DeviceNameLength, 'Z'));
}

TEST_F(Database, DevicesAreInsertedOnceUpdatedAndLookedUp) {
    ASSERT_TRUE(db.Init(path));
    ASSERT_TRUE(db.InsertDevice(Device(0xFFFFFFF0, 12, "Первый")));
    EXPECT_EQ(db.GetDeviceCount(), 1);
    // A known device keeps its first row; the second insert still succeeds.
    ASSERT_TRUE(db.InsertDevice(Device(0xFFFFFFF0, 99, "Второй")));
    EXPECT_EQ(db.GetDeviceCount(), 1);

    TDeviceRecord read{};
    ASSERT_TRUE(db.SelectDevice(0xFFFFFFF0, read));
    EXPECT_EQ(read.id, 1);
    EXPECT_EQ(read.device_id, 0xFFFFFFF0U);
    EXPECT_EQ(read.address, 12);
    EXPECT_STREQ(read.const_name, Utf8ToCp1251("Первый").c_str());
    EXPECT_EQ(read.lines, 4);
    EXPECT_EQ(read.sensors, 2);
    EXPECT_EQ(read.relays, 1);
    EXPECT_EQ(read.archives, 100);
    EXPECT_EQ(read.remote, 0x3FF);
    {
        RawDb raw(path);
        EXPECT_EQ(raw.Value("SELECT device_id FROM device;"), "-16") << "signed 32-bit decimal";
    }

    TDeviceRecord changed = Device(0xFFFFFFF0, 13, "Первый", "Склад");
    changed.lines = 8;
    ASSERT_TRUE(db.UpdateDevice(changed));
    ASSERT_TRUE(db.SelectDevice(0xFFFFFFF0, read));
    EXPECT_EQ(read.address, 13);
    EXPECT_EQ(read.lines, 8);
    EXPECT_STREQ(read.user_name, Utf8ToCp1251("Склад").c_str());
    // An update that matches no row succeeds and adds nothing.
    ASSERT_TRUE(db.UpdateDevice(Device(42, 1)));
    EXPECT_EQ(db.GetDeviceCount(), 1);

    std::memset(&read, 0x55, sizeof read);
    ASSERT_TRUE(db.SelectDevice(42, read));
    const TDeviceRecord zero{};
    EXPECT_EQ(std::memcmp(&read, &zero, sizeof read), 0) << "a device with no row reads all zero";
}

TEST_F(Database, RecordsAreStoredAsSignedValuesAndCountedByTheMask) {
    EXPECT_EQ(TSQLite::GetRecordsMaskList(0), "0");
    EXPECT_EQ(TSQLite::GetRecordsMaskList((1 << 4) | (1 << 8)), "0, 4, 8");
    EXPECT_EQ(TSQLite::GetRecordsMaskList(static_cast<int>(0xF0000002U)), "0, 1");
    std::string all = "0";
    for (int type = 1; type < 28; ++type) {
        all += ", " + std::to_string(type);
    }
    EXPECT_EQ(TSQLite::GetRecordsMaskList(0x7FFFFFFF), all);

    ASSERT_TRUE(db.Init(path));
    ASSERT_TRUE(db.InsertDevice(Device(0x80000001, 1)));
    for (int type = 0; type < 28; ++type) {
        ASSERT_TRUE(db.InsertRecord(Record(0x80000001, type, -type, 1700000000 + type)));
    }
    ASSERT_TRUE(db.InsertRecord(Record(0x80000001, 100))); // no such type: stored, never counted
    EXPECT_EQ(db.GetRecordCount(), 29);
    {
        RawDb raw(path);
        EXPECT_EQ(raw.Value("SELECT device_id || ' ' || utime || ' ' || type || ' ' || value "
                            "FROM record WHERE type = 27;"),
                  "-2147483647 1700000027 27 -27");
    }

    settings.records_mask = 0;
    EXPECT_EQ(db.RecountRecordsMaskCount(), 1);
    EXPECT_EQ(db.GetRecordsMaskCount(), 1);
    settings.records_mask = 0x7FFFFFFF;
    EXPECT_EQ(db.GetRecordsMaskCount(), 1) << "kept until recounted";
    EXPECT_EQ(db.RecountRecordsMaskCount(), 28);
    settings.records_mask = (1 << 3) | (1 << 5) | static_cast<int>(0x80000000U);
    EXPECT_EQ(db.RecountRecordsMaskCount(), 3);
}

TEST_F(Database, SyncFlushesTheLogOnceForEveryCommitSinceTheLast) {
    // Opened through the shim, which counts the flushes.
    SetWriteFault(TWriteFault::None);
    ASSERT_TRUE(db.Init(path));
    ASSERT_TRUE(db.Sync());
    const int before = WalFlushes();
    ASSERT_TRUE(db.InsertDevice(Device(1, 1)));
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(db.InsertRecord(Record(1, 3, i)));
    }
    EXPECT_TRUE(db.Sync());
    EXPECT_EQ(WalFlushes(), before + 1);
    EXPECT_TRUE(db.Sync());
    EXPECT_EQ(WalFlushes(), before + 1) << "nothing written since";
}

TEST_F(Database, PagesAreNewestFirstJoinedWithTheirDevices) {
    ASSERT_TRUE(db.Init(path));
    ASSERT_TRUE(db.InsertDevice(Device(10, 21, "Прибор", "Этаж 2")));
    for (int i = 0; i < 120; ++i) {
        ASSERT_TRUE(db.InsertRecord(Record(10, i % 2 == 0 ? 3 : 5, i, 1700000000 + i)));
        ASSERT_TRUE(db.InsertRecord(Record(10, 6, i))); // never selected below
    }
    settings.records_mask = (1 << 3) | (1 << 5);
    ASSERT_EQ(db.RecountRecordsMaskCount(), 120);

    std::vector<TRecordRow> rows(50);
    int count = 50;
    ASSERT_TRUE(db.SelectRecords(0, count, rows));
    ASSERT_EQ(count, 50);
    EXPECT_EQ(rows[0].id, 239);
    EXPECT_EQ(rows[0].device_id, 10U);
    EXPECT_EQ(rows[0].utime, 1700000119);
    EXPECT_EQ(rows[0].address, 21);
    EXPECT_STREQ(rows[0].const_name, Utf8ToCp1251("Прибор").c_str());
    EXPECT_STREQ(rows[0].user_name, Utf8ToCp1251("Этаж 2").c_str());
    EXPECT_EQ(rows[0].type, 5);
    EXPECT_EQ(rows[0].value, 119);
    EXPECT_EQ(rows[49].id, 141);
    EXPECT_TRUE(
        std::is_sorted(rows.begin(), rows.end(),
                       [](const TRecordRow& a, const TRecordRow& b) { return a.id > b.id; }));

    count = 50;
    ASSERT_TRUE(db.SelectRecords(100, count, rows));
    ASSERT_EQ(count, 20);
    EXPECT_EQ(rows[0].id, 39);
    EXPECT_EQ(rows[19].id, 1);
    EXPECT_EQ(rows[19].value, 0);

    Lines();
    count = 50;
    ASSERT_TRUE(db.SelectRecords(-5, count, rows)) << "a negative offset reads as 0";
    EXPECT_EQ(rows[0].id, 239);
    EXPECT_TRUE(Logged("TSQLite::SelectRecords, offset=-5, count=50"));
    count = 50;
    ASSERT_TRUE(db.SelectRecords(120, count, rows));
    EXPECT_EQ(count, 0);
}

TEST_F(Database, EveryPageMatchesThePlainQueryWhateverTheMaskAndDevices) {
    ASSERT_TRUE(db.Init(path));
    ASSERT_TRUE(db.InsertDevice(Device(1, 1)));
    ASSERT_TRUE(db.InsertDevice(Device(2, 2)));
    // Records of device 3 have no device row yet: counted, but on no page until it gets one.
    for (int i = 0; i < 150; ++i) {
        ASSERT_TRUE(
            db.InsertRecord(Record(static_cast<std::uint32_t>(1 + i % 3), (i * 7) % 28, i)));
    }
    RawDb raw(path);
    const auto check_all_pages = [&](int mask, int page) {
        settings.records_mask = mask;
        std::vector<TRecordRow> rows(static_cast<std::size_t>(page));
        for (int offset = 0; offset <= 160; offset += 7) {
            int count = page;
            ASSERT_TRUE(db.SelectRecords(offset, count, rows));
            EXPECT_EQ(Ids(rows, count), ReferencePage(raw, {}, mask, offset, page))
                << "mask " << mask << ", offset " << offset << ", page " << page;
        }
    };
    check_all_pages(0x7FFFFFFF, 10);
    check_all_pages(0x00F0F0F0, 13);
    check_all_pages(0, 3);
    ASSERT_TRUE(db.InsertDevice(Device(3, 3)));
    check_all_pages(0x7FFFFFFF, 10);
    check_all_pages(0x0000FF00, 6);
}

TEST_F(Database, APageNeverWritesPastTheCallersArray) {
    ASSERT_TRUE(db.Init(path));
    ASSERT_TRUE(db.InsertDevice(Device(1, 1)));
    for (int i = 0; i < 30; ++i) {
        ASSERT_TRUE(db.InsertRecord(Record(1, 0, i)));
    }
    std::vector<TRecordRow> rows(12);
    int count = 300; // more than the array holds
    ASSERT_TRUE(db.SelectRecords(0, count, std::span(rows).first(10)));
    EXPECT_EQ(count, 10);
    EXPECT_EQ(rows[10].id, 0);
    count = -1; // "no limit" to SQLite
    ASSERT_TRUE(db.SelectRecords(0, count, rows));
    EXPECT_EQ(count, 0);
    EXPECT_EQ(rows[11].id, 0);
    count = 300;
    ASSERT_TRUE(db.SelectRecords(25, count, std::span(rows).first(10)));
    EXPECT_EQ(Ids(rows, count), (std::vector<int>{5, 4, 3, 2, 1}));
}

// Pages and counts of a filter add up counts per block of 8192 ids: each page must be the plain
// query's, above all one across a block's edge, and the records another program writes, deletes
// and changes count at once.
TEST_F(Database, FilteredPagesAndCountsMatchThePlainQueryWhateverAnotherProgramWrites) {
    ASSERT_TRUE(db.Init(path));
    for (const std::uint32_t id : {0U, 1U, 2U}) {
        ASSERT_TRUE(db.InsertDevice(Device(id, static_cast<int>(id) + 1)));
    }
    constexpr std::int64_t T0 = 1700000000;
    RawDb raw(path);
    // 25,000 records in four blocks: device 2 has one in 50, device 3 one in 11 and no row. The
    // clock steps back 6,000 s after record 20,000; a few records have no time stamp or no type.
    ASSERT_EQ(raw.Exec("WITH RECURSIVE n(i) AS ( SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i "
                       "< 24999 ) INSERT INTO record ( device_id, utime, type, value ) SELECT CASE "
                       "WHEN i % 50 = 0 THEN 2 WHEN i % 11 = 0 THEN 3 ELSE i % 2 END, CASE WHEN "
                       "i % 1009 = 0 THEN NULL WHEN i >= 20000 THEN 1699994000 + i ELSE "
                       "1700000000 + i END, CASE WHEN i % 997 = 0 THEN NULL ELSE i * 7 % 29 END, "
                       "i FROM n;"),
              SQLITE_OK);
    const std::vector<TRecordFilter> filters = {
        {},
        {.device_id = 2},
        {.device_id = 0},
        {.device_id = 3},
        {.from = T0 + 15000, .to = T0 + 17000}, // before the step and again after it
        {.from = T0 + 19990},
        {.to = T0 + 100},
        {.records_mask = (1 << 3) | (1 << 8)},
        {.device_id = 1, .from = T0 + 5000, .to = T0 + 25000, .records_mask = 0x00F0F0F0},
        {.from = T0 + 1000000},
    };
    const auto check = [&] {
        std::vector<TRecordRow> rows(300);
        for (std::size_t f = 0; f < filters.size(); ++f) {
            const TRecordFilter& filter = filters[f];
            const std::vector<std::string> all = raw.Column(
                ReferenceQuery("R.`id`", filter, RECORDS_MASK_ALL) + " ORDER BY R.`id` DESC;");
            const auto size = static_cast<std::int64_t>(all.size());
            std::int64_t counted = -1;
            EXPECT_TRUE(db.CountRecords(filter, counted));
            EXPECT_EQ(counted, size) << "filter " << f;
            // Both ends, the middle, past the end and each block's edge.
            std::vector<std::int64_t> offsets = {0, 1, size / 2, size - 300, size - 1, size + 5};
            for (int edge = 8192; edge < 32768; edge += 8192) {
                const std::int64_t at =
                    std::find_if(all.begin(), all.end(),
                                 [&](const std::string& id) { return std::stoi(id) < edge; }) -
                    all.begin();
                offsets.insert(offsets.end(), {at - 150, at - 1, at});
            }
            for (const std::int64_t offset : offsets) {
                int count = 300;
                std::int64_t total = -1;
                ASSERT_TRUE(db.SelectRecords(filter, offset, count, rows, &total));
                EXPECT_EQ(Ids(rows, count), ReferencePage(raw, filter, RECORDS_MASK_ALL,
                                                          std::max<std::int64_t>(offset, 0), 300))
                    << "filter " << f << ", offset " << offset;
                EXPECT_EQ(total, size) << "filter " << f;
            }
        }
    };
    check();
    ASSERT_EQ(raw.Exec("DELETE FROM record WHERE id BETWEEN 8000 AND 8500; UPDATE record SET "
                       "device_id = 2, type = 3, utime = NULL WHERE id = 12345;"),
              SQLITE_OK);
    check();
}

// The page and the count of one call are read as the database stood at one moment: a page of
// every record the filter selects holds exactly as many as its count, however many arrive.
TEST_F(Database, AFilteredPageAndItsCountAgreeWhileRecordsArrive) {
    ASSERT_TRUE(db.Init(path));
    ASSERT_TRUE(db.InsertDevice(Device(1, 1)));
    ASSERT_TRUE(db.InsertDevice(Device(2, 2)));
    constexpr std::int32_t T0 = 1700000000;
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(db.InsertRecord(Record(1 + i % 2, i % 28, i, T0 + i)));
    }
    std::atomic<bool> stop{false};
    // Devices 1 and 2, and 3 that has no row.
    std::thread writer([&] {
        for (int i = 100; i < 500; ++i) {
            db.InsertRecord(Record(static_cast<std::uint32_t>(1 + i % 3), 3, i, T0 + i));
        }
        stop = true;
    });
    const std::vector<TRecordFilter> filters = {{.device_id = 2}, {.from = T0 + 50}};
    std::vector<TRecordRow> rows(1000);
    int pages = 0;
    while (!stop) {
        for (const TRecordFilter& filter : filters) {
            int count = 1000;
            std::int64_t total = -1;
            ASSERT_TRUE(db.SelectRecords(filter, 0, count, rows, &total));
            EXPECT_EQ(count, total);
            ++pages;
        }
    }
    writer.join();
    EXPECT_GT(pages, 0);
}

// A period that ends before it starts is the caller's mistake: refused and logged. A device
// with no row, or none at all, simply has no records to show.
TEST_F(Database, ABackwardPeriodIsRefusedAndAnUnknownDeviceSelectsNothing) {
    ASSERT_TRUE(db.Init(path));
    ASSERT_TRUE(db.InsertDevice(Device(1, 1)));
    ASSERT_TRUE(db.InsertRecord(Record(1, 3)));
    ASSERT_TRUE(db.InsertRecord(Record(2, 3)));
    Lines();
    std::vector<TRecordRow> rows(5);
    int count = 5;
    std::int64_t total = -1;
    const TRecordFilter backward{.from = 1700000100, .to = 1700000000};
    EXPECT_FALSE(db.SelectRecords(backward, 0, count, rows, &total));
    EXPECT_EQ(count, 0);
    EXPECT_EQ(total, 0);
    total = -1;
    EXPECT_FALSE(db.CountRecords(backward, total));
    EXPECT_EQ(total, 0);
    const std::vector<std::string> lines = Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "Фильтр записей: конец периода (1700000000) раньше его начала "
                         "(1700000100)"),
              2);
    EXPECT_TRUE(db.CountRecords({.from = 1700000000, .to = 1700000000}, total));
    EXPECT_EQ(total, 1) << "a period of one second";
    for (const std::uint32_t device : {2U, 99U}) {
        count = 5;
        EXPECT_TRUE(db.SelectRecords({.device_id = device}, 0, count, rows, &total));
        EXPECT_EQ(count, 0);
        EXPECT_EQ(total, 0);
    }
}

// A file written before the block counts existed gets them at its next open, said in the log;
// one that lost part of them gets them made anew, with nothing counted twice.
TEST_F(Database, AFileWithoutBlockCountsGetsThemWhenItOpens) {
    ASSERT_TRUE(db.Init(path));
    ASSERT_TRUE(db.InsertDevice(Device(1, 1)));
    db.Close();
    {
        RawDb raw(path);
        ASSERT_EQ(raw.Exec("DROP TRIGGER record_block_insert; DROP TRIGGER record_block_delete; "
                           "DROP TRIGGER record_block_update; DROP TABLE record_block; DROP "
                           "TABLE record_block_type; WITH RECURSIVE n(i) AS ( SELECT 0 UNION ALL "
                           "SELECT i + 1 FROM n WHERE i < 19999 ) INSERT INTO record ( device_id, "
                           "utime, type, value ) SELECT 1, 1700000000 + i, i % 28, i FROM n;"),
                  SQLITE_OK);
    }
    const std::string building =
        "SQLite: строятся счётчики записей по блокам (`record_block`), один проход по всем "
        "записям";
    const auto counts_right = [&] {
        RawDb raw(path);
        for (const TRecordFilter& filter :
             {TRecordFilter{}, TRecordFilter{.from = 1700012345, .records_mask = 1 << 5}}) {
            std::int64_t count = -1;
            EXPECT_TRUE(db.CountRecords(filter, count));
            EXPECT_EQ(std::to_string(count),
                      raw.Value(ReferenceQuery("count( * )", filter, RECORDS_MASK_ALL)));
        }
    };
    Lines();
    ASSERT_TRUE(db.Init(path));
    EXPECT_TRUE(Logged(building));
    counts_right();
    ASSERT_TRUE(db.Init(path));
    EXPECT_FALSE(Logged(building));
    {
        RawDb raw(path);
        ASSERT_EQ(raw.Exec("DROP TRIGGER record_block_delete;"), SQLITE_OK);
    }
    ASSERT_TRUE(db.Init(path));
    EXPECT_TRUE(Logged(building));
    ASSERT_TRUE(db.InsertRecord(Record(1, 5, 0, 1700099999)));
    counts_right();
}

TEST_F(Database, EveryOperationRefusesWhileNotActive) {
    const auto check_refused = [&] {
        TDeviceRecord device = Device(1, 1);
        std::vector<TRecordRow> rows(5);
        int count = 5;
        EXPECT_FALSE(db.IsActive());
        EXPECT_FALSE(db.SelectDevice(1, device));
        EXPECT_FALSE(db.InsertDevice(device));
        EXPECT_FALSE(db.UpdateDevice(device));
        EXPECT_FALSE(db.InsertRecord(Record(1, 0)));
        EXPECT_EQ(db.RecountRecordsMaskCount(), 0);
        EXPECT_EQ(db.GetRecordsMaskCount(), 0);
        EXPECT_FALSE(db.SelectRecords(0, count, rows));
        EXPECT_EQ(count, 0);
        std::int64_t counted = -1;
        EXPECT_FALSE(db.CountRecords({}, counted));
        EXPECT_EQ(counted, 0);
        const std::vector<std::string> lines = Lines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "SQLite не активна"), 8);
        for (const char* name :
             {"TSQLite::SelectDevice", "TSQLite::InsertDevice", "TSQLite::UpdateDevice",
              "TSQLite::InsertRecord", "TSQLite::RecountRecordsMaskCount",
              "TSQLite::GetRecordsMaskCount", "TSQLite::CountRecords"}) {
            EXPECT_NE(std::find(lines.begin(), lines.end(), name), lines.end()) << name;
        }
    };
    check_refused();
    ASSERT_TRUE(db.Init(path));
    ASSERT_TRUE(db.InsertRecord(Record(1, 0)));
    db.Close();
    EXPECT_EQ(db.GetRecordCount(), 0);
    EXPECT_EQ(db.GetVersion(), "");
    check_refused();
    db.Close(); // closing a closed database does nothing
    EXPECT_TRUE(Lines().empty());
}

TEST_F(Database, AMissingFolderOrAFileThatIsNoDatabaseFailsUntilRepaired) {
    const std::string folder = dir.file("later");
    EXPECT_FALSE(db.Init(folder + "/records.db"));
    EXPECT_FALSE(db.IsActive());
    EXPECT_TRUE(Logged("[14] unable to open database file"));
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    EXPECT_TRUE(db.Init(folder + "/records.db"));

    {
        std::ofstream text(path);
        text << "[Options]\nComNum=3\n" << std::string(4096, 'x');
    }
    EXPECT_FALSE(db.Init(path));
    EXPECT_FALSE(db.IsActive());
    EXPECT_TRUE(Logged("[26] file is not a database"));
    ASSERT_EQ(std::remove(path.c_str()), 0);
    EXPECT_TRUE(db.Init(path));

    EXPECT_FALSE(db.Init(""));
    EXPECT_TRUE(Logged("[14] unable to open database file"));
    EXPECT_FALSE(db.Init(dir.path())) << "a folder is no database file";
}

// The name is a file's, whatever it looks like: SQLite would take "file:..." for a URI that may
// ask for a database in memory, and ":memory:" for one, and report every record stored while
// nothing reaches the disk.
TEST_F(Database, ANameIsAlwaysThePathOfAFile) {
    {
        // Relative names are the working folder's: the test's own for a while.
        InFolder here(dir.path());
        for (const std::string name : {"file:records.db?mode=memory", ":memory:"}) {
            ASSERT_TRUE(db.Init(name)) << name;
            ASSERT_TRUE(db.InsertDevice(Device(1, 1)));
            ASSERT_TRUE(db.InsertRecord(Record(1, 3)));
            db.Close();
            RawDb raw(dir.file(name));
            EXPECT_EQ(raw.Value("SELECT count( * ) FROM record;"), "1") << name;
        }
    }
    // A URI with an absolute path names a file in a folder "file:" that is not there.
    EXPECT_FALSE(db.Init("file:" + path + "?mode=memory"));
    EXPECT_TRUE(Logged("[14] unable to open database file"));
}

// Another program's database is not ours to change: no table, index or journal mode is written
// into it, and the log names the file and says why.
TEST_F(Database, AnotherProgramsDatabaseIsNeverWritten) {
    const auto refused = [&](const std::string& schema, const std::string& why) {
        std::remove(path.c_str());
        {
            RawDb other(path);
            ASSERT_EQ(other.Exec(schema), SQLITE_OK) << schema;
        }
        const std::string bytes = ReadWholeFile(path);
        Lines();
        EXPECT_FALSE(db.Init(path));
        EXPECT_FALSE(db.IsActive());
        EXPECT_TRUE(Logged("SQLite файл " + path + " не является базой записей: " + why));
        EXPECT_TRUE(ReadWholeFile(path) == bytes) << "written: " << schema;
    };
    refused("CREATE TABLE `users` ( `id` INTEGER PRIMARY KEY, `name` TEXT );",
            "нет таблиц `record` и `device`");
    refused("CREATE TABLE `record` ( `id` INTEGER PRIMARY KEY, `device_id` INTEGER, `utime` "
            "INTEGER, `type` INTEGER, `value` INTEGER );",
            "нет таблицы `device`");
    refused("CREATE TABLE `record` ( `id` INTEGER PRIMARY KEY, `text` TEXT ); CREATE TABLE "
            "`device` ( `id` INTEGER PRIMARY KEY, `name` TEXT );",
            "у таблицы `record` другие поля");
    // A file of ours with a table of someone else's beside it is still ours.
    std::remove(path.c_str());
    ASSERT_TRUE(db.Init(path));
    db.Close();
    {
        RawDb other(path);
        ASSERT_EQ(other.Exec("CREATE TABLE `notes` ( `text` TEXT );"), SQLITE_OK);
    }
    EXPECT_TRUE(db.Init(path));
}

TEST_F(Database, ADamagedPageEndsTheReadWithTheRowsBeforeIt) {
    ASSERT_TRUE(db.Init(path));
    ASSERT_TRUE(db.InsertDevice(Device(1, 1)));
    constexpr int stored = 3000;
    for (int i = 0; i < stored; ++i) {
        ASSERT_TRUE(db.InsertRecord(Record(1, i % 28, i)));
    }
    db.Close();
    std::vector<std::string> leaves;
    {
        RawDb raw(path);
        leaves = raw.Column("SELECT pageno FROM dbstat WHERE name = 'record' AND pagetype = "
                            "'leaf' ORDER BY pageno;");
        ASSERT_GT(leaves.size(), 4U);
    }
    {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp((std::stol(leaves[leaves.size() / 2]) - 1) * 4096);
        file << std::string(4096, '\xFF');
    }
    ASSERT_TRUE(db.Init(path));
    Lines();

    std::vector<TRecordRow> rows(stored);
    int count = stored;
    EXPECT_FALSE(db.SelectRecords(0, count, rows));
    EXPECT_TRUE(Logged("[11] database disk image is malformed"));
    ASSERT_GT(count, 0);
    ASSERT_LT(count, stored);
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(rows[static_cast<std::size_t>(i)].id, stored - i);
    }
    // Pages on either side of the damage are still there to read.
    count = 10;
    EXPECT_TRUE(db.SelectRecords(0, count, rows));
    EXPECT_EQ(count, 10);
    count = 10;
    EXPECT_TRUE(db.SelectRecords(stored - 10, count, rows));
    EXPECT_EQ(Ids(rows, count), (std::vector<int>{10, 9, 8, 7, 6, 5, 4, 3, 2, 1}));
}

TEST_F(Database, AReadOnlyFileFailsUntilItMayBeWritten) {
    ASSERT_TRUE(db.Init(path));
    ASSERT_TRUE(db.InsertDevice(Device(1, 1)));
    db.Close();
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    {
        WithoutFileOverride read_only;
        EXPECT_FALSE(db.Init(path));
        EXPECT_FALSE(db.IsActive());
        EXPECT_TRUE(Logged("[8] attempt to write a readonly database"));
        ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
        ASSERT_TRUE(db.Init(path));
        EXPECT_TRUE(db.InsertRecord(Record(1, 2)));
        EXPECT_EQ(db.GetDeviceCount(), 1);
    }
}

TEST_F(Database, ALockHeldLongerThanTheBusyTimeoutFailsTheCallOnly) {
    ASSERT_TRUE(db.Init(path));
    ASSERT_TRUE(db.InsertDevice(Device(1, 1)));
    RawDb other(path);
    ASSERT_EQ(other.Exec("BEGIN IMMEDIATE; INSERT INTO record (device_id, utime, type, value) "
                         "VALUES (1, 0, 0, 0);"),
              SQLITE_OK);
    Lines();
    EXPECT_FALSE(db.InsertRecord(Record(1, 1)));
    EXPECT_FALSE(db.InsertDevice(Device(2, 2)));
    EXPECT_FALSE(db.UpdateDevice(Device(1, 5)));
    const std::vector<std::string> lines = Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[5] database is locked"), 3);
    // Met again at every answer of the device, the same failure is not logged again.
    EXPECT_FALSE(db.InsertRecord(Record(1, 1)));
    EXPECT_FALSE(db.UpdateDevice(Device(1, 5)));
    const std::vector<std::string> again = Lines();
    EXPECT_EQ(std::count(again.begin(), again.end(), "[5] database is locked"), 0);
    EXPECT_EQ(db.GetRecordCount(), 0);
    // Readers are not held up by a writer.
    std::vector<TRecordRow> rows(5);
    int count = 5;
    EXPECT_TRUE(db.SelectRecords(0, count, rows));

    ASSERT_EQ(other.Exec("COMMIT;"), SQLITE_OK);
    EXPECT_TRUE(db.InsertRecord(Record(1, 1)));
    EXPECT_TRUE(Logged("База данных снова принимает записи"));
    EXPECT_TRUE(db.InsertDevice(Device(2, 2)));
    EXPECT_EQ(db.GetRecordCount(), 1) << "the other program's record is not this one's to count";
}

TEST_F(Database, ALockShorterThanTheBusyTimeoutIsWaitedOut) {
    TSQLite patient(&log, settings);
    ASSERT_TRUE(patient.Init(path));
    ASSERT_TRUE(patient.InsertDevice(Device(1, 1)));
    RawDb other(path);
    ASSERT_EQ(other.Exec("BEGIN IMMEDIATE; UPDATE device SET address = 9;"), SQLITE_OK);
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        other.Exec("COMMIT;");
    });
    EXPECT_TRUE(patient.InsertRecord(Record(1, 1)));
    release.join();
}

TEST_F(Database, AFullDiskFailsTheWriteUntilThereIsRoomAgain) {
    TinyDisk disk(dir.file("disk"));
    if (!disk.mounted()) {
        GTEST_SKIP() << "mounting a tmpfs needs CAP_SYS_ADMIN";
    }
    const std::string filler = dir.file("disk/filler");
    {
        std::ofstream out(filler, std::ios::binary);
        out << std::string(160 * 1024, 'f');
    }
    TSQLite small(&log, settings);
    ASSERT_TRUE(small.Init(dir.file("disk/records.db")));
    ASSERT_TRUE(small.InsertDevice(Device(1, 1)));
    int stored = 0;
    while (stored < 100000 && small.InsertRecord(Record(1, 3, stored))) {
        ++stored;
    }
    ASSERT_LT(stored, 100000);
    EXPECT_TRUE(Logged("[13] database or disk is full"));
    EXPECT_EQ(small.GetRecordCount(), stored);
    small.RecountRecordsMaskCount();
    EXPECT_EQ(small.GetRecordsMaskCount(), stored);

    ASSERT_EQ(std::remove(filler.c_str()), 0);
    EXPECT_TRUE(small.InsertRecord(Record(1, 3, stored)));
    EXPECT_EQ(small.GetRecordCount(), stored + 1);
    std::vector<TRecordRow> rows(3);
    int count = 3;
    ASSERT_TRUE(small.SelectRecords(0, count, rows));
    EXPECT_EQ(rows[0].value, stored);
    EXPECT_EQ(rows[1].value, stored - 1);
}

TEST_F(Database, PagesStayExactWhileRecordsAndDevicesArriveAndCloseWaitsForThem) {
    ASSERT_TRUE(db.Init(path));
    ASSERT_TRUE(db.InsertDevice(Device(1, 1)));
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(db.InsertRecord(Record(1 + i % 2, i % 28, i)));
    }
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (std::uint32_t i = 0; i < 300; ++i) {
            db.InsertRecord(Record(1 + i % 4, static_cast<int>(i % 28), static_cast<int>(i)));
            db.RecountRecordsMaskCount();
            if (i % 50 == 0) {
                db.InsertDevice(Device(2 + i / 50, 1));
            }
        }
        stop = true;
    });
    // Pages near the oldest end are read from that end while rows and devices arrive.
    std::vector<TRecordRow> rows(20);
    int pages = 0;
    while (!stop) {
        int count = 20;
        const int total = db.GetRecordsMaskCount();
        if (db.SelectRecords(std::max(total - 25, 0), count, rows) && count > 0) {
            EXPECT_TRUE(std::is_sorted(
                rows.begin(), rows.begin() + count,
                [](const TRecordRow& a, const TRecordRow& b) { return a.id > b.id; }));
            ++pages;
        }
    }
    writer.join();
    EXPECT_GT(pages, 0);

    std::thread reader([&] {
        for (int i = 0; i < 50; ++i) {
            int count = 20;
            db.SelectRecords(i, count, rows);
        }
    });
    db.Close();
    reader.join();
    EXPECT_FALSE(db.IsActive());
}
