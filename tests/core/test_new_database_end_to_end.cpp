// The service started again on another database file, with the bus simulator and two real
// files: the device table outlives the change, and the record list joins every record to its
// device's row, so each device must be in the file in use before any event of it.
#include "records/record_types.h"
#include "support/bus_fixture.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t PANEL_1 = 0x11111111;

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

class NewDatabase : public BusFixture {
protected:
    void SetUp() override {
        BusFixture::SetUp();
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
