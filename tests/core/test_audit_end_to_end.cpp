// The operator's audit trail and the tracking of remote commands, on the real service against
// the simulator and a real database file.
#include "database/record_types.h"
#include "device/device_tree.h"
#include "records/audit.h"
#include "support/bus_fixture.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t PANEL_1 = 0x11111111;
constexpr std::uint32_t PANEL_2 = 0x22222222;

// Time the test moves on by hand.
class FakeClock : public TClock {
public:
    std::uint64_t NowMs() const override { return now.load(); }
    std::atomic<std::uint64_t> now{1000000};
};

class AuditEndToEnd : public BusFixture {
protected:
    void SetUp() override {
        BusFixture::SetUp();
        device->SetAudit(&audit);
        device->SetClock(clock);
        audit.SetOperatorName("Иванов");
    }

    // The table as another program reads it, oldest first.
    std::vector<TAuditRow> StoredAudit() const {
        std::vector<TAuditRow> rows;
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_stmt* stmt = nullptr;
            if (sqlite3_prepare_v2(db,
                                   "SELECT id, utime, user, action, target, detail, outcome "
                                   "FROM audit ORDER BY id",
                                   -1, &stmt, nullptr) == SQLITE_OK) {
                while (sqlite3_step(stmt) == SQLITE_ROW) {
                    TAuditRow& row = rows.emplace_back();
                    row.id = sqlite3_column_int64(stmt, 0);
                    row.utime = sqlite3_column_int64(stmt, 1);
                    const auto text = [stmt](int column) {
                        const auto* p =
                            reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
                        return p == nullptr
                                   ? std::string()
                                   : std::string(p, static_cast<std::size_t>(
                                                        sqlite3_column_bytes(stmt, column)));
                    };
                    row.user = text(2);
                    row.action = text(3);
                    row.target = text(4);
                    row.detail = text(5);
                    row.outcome = text(6);
                }
            }
            sqlite3_finalize(stmt);
        }
        sqlite3_close(db);
        return rows;
    }
    int CountAudit(const std::string& action, const std::string& outcome) const {
        int n = 0;
        for (const TAuditRow& row : StoredAudit()) {
            n += row.action == action && row.outcome == outcome ? 1 : 0;
        }
        return n;
    }
    bool Exec(const char* sql) const {
        sqlite3* db = nullptr;
        bool ok =
            sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
            sqlite3_busy_timeout(db, 10000) == SQLITE_OK &&
            sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
        sqlite3_close(db);
        return ok;
    }
    void SendToPanel(std::uint32_t id, int address, int index, std::uint8_t command,
                     std::uint8_t length, std::uint8_t value) {
        device->remote_command.device_id = id;
        device->remote_command.address = address;
        device->remote_command.index = index;
        device->SetRemoteCommand(command, length, value);
    }

    TAudit audit{log.get(), *sqlite};
    FakeClock clock;
};

TEST_F(AuditEndToEnd, OperatorActionsAreAppendedInOrderAndCommentsKeptIntact) {
    // Made before any database is open: it waits and goes in first.
    sqlite->Close();
    EXPECT_FALSE(audit.Add(audit::PROGRAM_START, "", "", audit::DONE));
    device->SetService(true);
    ASSERT_TRUE(Eventually([this] { return AllComplete(); }));
    SendToPanel(PANEL_1, 1, 2, REMOTE_LINE_STATE, 3, 1);
    ASSERT_TRUE(
        Eventually([this] { return CountAudit(audit::COMMAND, audit::COMMAND_CONFIRMED) == 1; }));
    EXPECT_FALSE(device->IsCommandAwaited());
    EXPECT_EQ(CountRecords(PANEL_1, LINE_ON_OFF, 0x20201), 1);

    std::string comment = "'); DROP TABLE `record`; --\n\"кавычки\" %s %d ";
    comment += std::string(1, '\0') + "после нуля ";
    comment += std::string(100000, 'x');
    EXPECT_TRUE(audit.Acknowledge("Прибор-1, ШС 3", comment));
    device->SetService(false);

    const std::vector<TAuditRow> rows = StoredAudit();
    ASSERT_EQ(rows.size(), 6u);
    const std::vector<std::string> actions = {audit::PROGRAM_START, audit::SERVICE_START,
                                              audit::COMMAND,       audit::COMMAND,
                                              audit::ACKNOWLEDGE,   audit::SERVICE_STOP};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].action, actions[i]) << i;
        EXPECT_EQ(rows[i].user, "Иванов") << i;
        EXPECT_GT(rows[i].utime, 1600000000) << i;
    }
    EXPECT_EQ(rows[1].target, "COM9");
    EXPECT_EQ(rows[1].detail, db_path);
    EXPECT_EQ(rows[2].outcome, audit::COMMAND_SENT);
    EXPECT_EQ(rows[2].detail, "Включить ШС");
    EXPECT_EQ(rows[2].target, "«Прибор-1» (Этаж 1, адрес 1), ШС 3");
    EXPECT_EQ(rows[4].detail, comment);
    EXPECT_EQ(rows[5].outcome, audit::DONE);
    EXPECT_GT(CountRecords(PANEL_1, FIND_NEW_DEVICE), 0);
}

TEST_F(AuditEndToEnd, CommandNobodyAcknowledgesFailsAfterTenSecondsAndFreesThePopup) {
    sim.Stop();
    scenario.devices[1].remote = 0; // panel 2 takes no remote command and never answers one
    ASSERT_TRUE(StartSim());
    device->SetService(true);
    ASSERT_TRUE(Eventually([this] { return AllComplete(); }));
    const std::uint64_t mark = sim.Journal().LastSeq();
    SendToPanel(PANEL_2, 2, 1, REMOTE_LINE_STATE, 3, 0);
    ASSERT_TRUE(sim.Journal().WaitForCommand(REMOTE_LINE_STATE, 10000, nullptr, mark));
    ASSERT_TRUE(
        Eventually([this] { return CountAudit(audit::COMMAND, audit::COMMAND_SENT) == 1; }));
    EXPECT_TRUE(device->IsCommandAwaited());
    TNodeData cell;
    cell.menu_mask = 1 << 3;
    cell.index = 1;
    cell.entry = device->GetItem(device->FindDevice(PANEL_2));
    EXPECT_EQ(OpenDevicePopup(*device, cell, log.get()), 0) << "one command at a time";

    // Just short of the time: two later events pass through the bus thread, which checks the
    // command after each pass, and it is still awaited.
    clock.now += TCommandTracker::ANSWER_TIMEOUT_MS - 1;
    ASSERT_TRUE(Inject(TSimAction::Loop, 2, 3, 0x0C));
    ASSERT_TRUE(Eventually([this] { return CountRecords(PANEL_2, LINE_STATE) == 1; }));
    ASSERT_TRUE(Inject(TSimAction::Loop, 2, 3, 0x02));
    ASSERT_TRUE(Eventually([this] { return CountRecords(PANEL_2, LINE_STATE) == 2; }));
    EXPECT_TRUE(device->IsCommandAwaited());
    EXPECT_FALSE(LogHas(LOG_TYPE_ERROR, "не подтверждена"));

    clock.now += 1;
    ASSERT_TRUE(Eventually([this] { return !device->IsCommandAwaited(); }));
    EXPECT_EQ(CountLog(LOG_TYPE_ERROR, "Команда «Выключить ШС» не подтверждена за 10 с: "
                                       "«Прибор-2» (Этаж 2, адрес 2), ШС 2"),
              1);
    ASSERT_TRUE(
        Eventually([this] { return CountAudit(audit::COMMAND, audit::COMMAND_NO_ANSWER) == 1; }));
    EXPECT_EQ(CountAudit(audit::COMMAND, audit::COMMAND_CONFIRMED), 0);
    EXPECT_EQ(OpenDevicePopup(*device, cell, log.get()), 1 << 3);
}

TEST_F(AuditEndToEnd, RefusedAuditRowIsLoggedOnceAndEventsAreStillRecorded) {
    device->SetService(true);
    ASSERT_TRUE(Eventually([this] { return AllComplete(); }));
    ASSERT_TRUE(Exec("DROP TABLE `audit`; CREATE TABLE `audit` ( `other` TEXT );"));
    EXPECT_FALSE(audit.Add(audit::SOUND_OFF, "", "", audit::DONE));
    EXPECT_FALSE(audit.Add(audit::SOUND_OFF, "", "", audit::DONE));
    EXPECT_EQ(CountLog(LOG_TYPE_ERROR, "audit"), 1);

    ASSERT_TRUE(Inject(TSimAction::Loop, 1, 2, 0x0C));
    ASSERT_TRUE(Eventually([this] { return CountRecords(PANEL_1, LINE_STATE) == 1; }));

    // The table back as it was: the rows that waited go in, in their order.
    ASSERT_TRUE(Exec("DROP TABLE `audit`; CREATE TABLE `audit` ( `id` INTEGER PRIMARY KEY "
                     "AUTOINCREMENT, `utime` INTEGER, `user` TEXT, `action` TEXT, `target` "
                     "TEXT, `detail` TEXT, `outcome` TEXT );"));
    EXPECT_TRUE(audit.Add(audit::SETTINGS_SAVED, "ComNum", "9 → 9", audit::DONE));
    EXPECT_TRUE(LogHas(LOG_TYPE_INFO, "База данных снова принимает записи"));
    const std::vector<TAuditRow> rows = StoredAudit();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].action, audit::SOUND_OFF);
    EXPECT_EQ(rows[2].action, audit::SETTINGS_SAVED);
}

} // namespace
