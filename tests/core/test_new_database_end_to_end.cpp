// The service started again on another database file, with the bus simulator and two real
// files: the device table outlives the change, and the record list joins every record to its
// device's row, so each device must be in the file in use before any event of it.
#include "database/record_types.h"
#include "support/bus_fixture.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

constexpr std::uint32_t PANEL_1 = 0x11111111;
constexpr std::uint32_t PANEL_3 = 0x33333333;

// Each row of a query on a database file, its columns as text.
std::vector<std::vector<std::string>> Rows(const std::string& path, const std::string& sql) {
    std::vector<std::vector<std::string>> rows;
    sqlite3* db = nullptr;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            std::vector<std::string>& row = rows.emplace_back();
            for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
                const unsigned char* text = sqlite3_column_text(stmt, i);
                row.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "");
            }
        }
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return rows;
}

// A file that cannot be opened at a start is tried again this often: a test sees several tries.
constexpr int RETRY_MS = 200;

class NewDatabase : public BusFixture {
protected:
    void SetUp() override {
        BusFixture::SetUp();
        device =
            std::make_unique<TDevice>(log.get(), *record, *sqlite, views, port, settings, RETRY_MS);
        device->SetService(true);
        ASSERT_TRUE(Eventually([this] { return AllComplete(); }));
    }

    // Stops the service and starts it again on `path`, as after File > "Открыть...".
    void RestartOn(const std::string& path) {
        device->SetService(false);
        settings.SetDBFile(path);
        device->SetService(true);
        ASSERT_TRUE(device->IsRunning());
    }

    // What the record list shows of the file in use, against what the file holds.
    void EveryRecordIsShown() {
        std::vector<TRecordRow> rows(100);
        int count = static_cast<int>(rows.size());
        EXPECT_TRUE(sqlite->SelectRecords(0, count, rows));
        EXPECT_GT(sqlite->GetRecordCount(), 0);
        EXPECT_EQ(count, sqlite->GetRecordCount());
    }

    static std::string DeviceRow(const std::string& path, std::uint32_t id) {
        const auto rows = Rows(path, "SELECT `const_name`, `user_name` FROM `device` WHERE "
                                     "`device_id` = " +
                                         std::to_string(static_cast<std::int32_t>(id)));
        return rows.size() == 1 ? rows[0][0] + " / " + rows[0][1] : "no row";
    }
};

} // namespace

TEST_F(NewDatabase, DevicesOfTheTableAreStoredBeforeTheirEventsAndEveryRecordShows) {
    const std::string other = dir.file("другой.db");
    std::ofstream(other).close(); // an empty file, as the operator may choose
    RestartOn(other);
    // Before the bus thread could handle any answer: the names from the table, in UTF-8.
    EXPECT_EQ(Rows(other, "SELECT * FROM `device`").size(), 3u);
    EXPECT_EQ(DeviceRow(other, PANEL_1), "Прибор-1 / Этаж 1");

    for (const int panel : {1, 2, 3}) {
        ASSERT_TRUE(Inject(TSimAction::Summary, panel, 0, 4));
    }
    ASSERT_TRUE(Eventually([&] {
        return Rows(other, "SELECT * FROM `record` WHERE `type` = " + std::to_string(MAX_STATE))
                   .size() == 3;
    }));
    EveryRecordIsShown();
}

TEST_F(NewDatabase, AFileUsedBeforeTakesTheNamesTheDevicesGaveSince) {
    const std::string first = db_path;
    RestartOn(dir.file("second.db"));
    TSimEvent rename = DeviceEvent(TSimAction::SetName, 1);
    rename.text = "Касса";
    std::string error;
    ASSERT_TRUE(sim.Inject(rename, error)) << error;
    // The device's new name is read from it again and stored in the file in use.
    ASSERT_TRUE(Eventually([&] {
        return DeviceRow(dir.file("second.db"), PANEL_1) == "Прибор-1 / Касса" &&
               device->GetItem(device->FindDevice(PANEL_1))->whois_read;
    }));

    RestartOn(first);
    EXPECT_EQ(DeviceRow(first, PANEL_1), "Прибор-1 / Касса");
    EXPECT_EQ(Rows(first, "SELECT * FROM `device`").size(), 3u) << "no device twice";
    EveryRecordIsShown();
}

// A start on a file that cannot be opened (here a folder stands where it should be) keeps the
// bus listened to: an alarm met meanwhile sounds, the status says that nothing is stored, and
// the file is tried again. Once it opens, the devices go in first and the change is recorded.
TEST_F(NewDatabase, AFileThatCannotBeOpenedIsWaitedForAndTheChangesMetMeanwhileAreRecorded) {
    const std::string later = dir.file("later.db");
    ASSERT_EQ(::mkdir(later.c_str(), 0755), 0);
    log->IsLogDebug = true;
    RestartOn(later);
    EXPECT_TRUE(device->IsWaitingForDatabase());
    EXPECT_EQ(CountLog(LOG_TYPE_ERROR, "События не сохраняются: SQLite файл " + later +
                                           " не открыт, попытка каждые 0.2 с"),
              1);
    views.Take();
    sound->SetSound(SOUND_OFF);
    ASSERT_TRUE(Inject(TSimAction::Battery, 3, 0, 3));
    ASSERT_TRUE(Eventually([this] { return sound->GetSound() == SOUND_ALERT; }));
    ASSERT_TRUE(Eventually([this] { return CountLog(LOG_TYPE_DEBUG, "TSQLite::Init") >= 4; }));
    log->IsLogDebug = false;
    EXPECT_EQ(CountLog(LOG_TYPE_ERROR, "[14] unable to open database file"), 1)
        << "each try that fails the same way is not logged again";
    EXPECT_EQ(CountLog(LOG_TYPE_ERROR, "SQLite не активна"), 1) << "once, not at every answer";
    EXPECT_EQ(static_cast<int>(device->GetItem(device->FindDevice(PANEL_3))->battery), 0)
        << "the table waits for the change to be recorded";
    EXPECT_EQ(views.Take().find('+'), std::string::npos) << "the record list stays off";

    ASSERT_EQ(::rmdir(later.c_str()), 0);
    ASSERT_TRUE(Eventually([this] { return !device->IsWaitingForDatabase(); }));
    db_path = later;
    EXPECT_EQ(Rows(later, "SELECT * FROM `device`").size(), 3u);
    ASSERT_TRUE(Eventually([this] { return CountRecords(PANEL_3, DEVICE_BATTERY, 3) == 1; }));
    EXPECT_TRUE(LogHas(LOG_TYPE_INFO, "SQLite файл " + later + " открыт, события сохраняются"));
    EXPECT_NE(views.Take().find('+'), std::string::npos) << "the record list is switched on";
    ASSERT_TRUE(Inject(TSimAction::Battery, 3, 0, 0));
    ASSERT_TRUE(Eventually([this] { return CountRecords(PANEL_3, DEVICE_BATTERY, 0) == 1; }));
    EXPECT_EQ(CountRecords(PANEL_3, DEVICE_BATTERY, 3), 1);
    EveryRecordIsShown();
}
