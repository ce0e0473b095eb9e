// The active alarms as the operator works them: the real service against the bus simulator on a
// pseudo-terminal, with a real database that keeps the acknowledgements through a restart.
#include "buslink/state_codes.h"
#include "device/active_alarms.h"
#include "support/bus_fixture.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t PANEL_1 = 0x00010001;
const TAlarmKey LOOP_2{PANEL_1, TAlarmItem::Line, 1};
const TAlarmKey LOOP_4{PANEL_1, TAlarmItem::Line, 3};

class ActiveAlarmsEndToEnd : public BusFixture {
protected:
    void SetUp() override {
        settings.com_num = COM;
        std::string error;
        ASSERT_TRUE(LoadScenario(KTEV_DEMO_SCENARIO, demo_, error)) << error;
        scenario.devices = demo_.devices;
        ASSERT_TRUE(StartSim());
        StartProgram();
    }
    void TearDown() override {
        device->SetService(false);
        device.reset();
    }

    // A start of the program as far as the alarms go: a fresh device table and alarm list over
    // the same database file.
    void StartProgram() {
        if (device) {
            device->SetService(false);
        }
        device = std::make_unique<TDevice>(log.get(), *record, *sqlite, views, port, settings);
        alarms = std::make_unique<TActiveAlarms>(log.get(), *record, *sqlite);
        device->SetActiveAlarms(alarms.get());
        device->SetService(true);
        ASSERT_TRUE(Eventually([this] { return AllComplete(); }));
    }

    std::optional<TAlarmRow> Row(const TAlarmKey& key) const {
        // Held while read: the bus thread may publish the next one meanwhile.
        const auto snapshot = alarms->Snapshot();
        for (const TAlarmRow& row : snapshot->rows) {
            if (row.key == key) {
                return row;
            }
        }
        return std::nullopt;
    }
    int KeptAcks() const {
        std::vector<TAlarmAck> acks;
        EXPECT_TRUE(sqlite->SelectAlarmAcks(acks));
        return static_cast<int>(acks.size());
    }

    TSimScenario demo_;
    std::unique_ptr<TActiveAlarms> alarms;
};

} // namespace

TEST_F(ActiveAlarmsEndToEnd,
       AnAcknowledgedAlarmStaysWhileAbnormalSurvivesARestartAndLeavesWhenNormal) {
    ASSERT_TRUE(Inject(TSimAction::Loop, 1, 1, statecode::LOOP_FIRE));
    ASSERT_TRUE(Inject(TSimAction::Loop, 1, 3, statecode::LOOP_ATTENTION));
    ASSERT_TRUE(Eventually([this] { return Row(LOOP_2) && Row(LOOP_4); }));
    TAlarmRow fire = *Row(LOOP_2);
    EXPECT_EQ(fire.item, "ШС 2");
    EXPECT_EQ(fire.state, "ШС 2: Пожар");
    EXPECT_EQ(fire.address, 1);
    EXPECT_EQ(fire.level, SOUND_ALARM);
    EXPECT_TRUE(fire.active);
    EXPECT_FALSE(fire.acknowledged);
    EXPECT_TRUE(alarms->KeepsSounding(SOUND_ALARM));

    // A comment of any characters and length is kept intact.
    const std::string comment = "Проверено: 'ложное'; \"--\" DROP TABLE `record`;\n" +
                                std::string(5000, 'x') + std::string(1, '\0') + "конец";
    EXPECT_EQ(alarms->Acknowledge(LOOP_2, "оператор", comment), 1);
    EXPECT_EQ(alarms->Acknowledge(LOOP_2, "оператор", "again"), 0) << "acknowledged once";
    fire = *Row(LOOP_2);
    EXPECT_TRUE(fire.acknowledged);
    EXPECT_TRUE(fire.active) << "the loop is still in fire: the row stays";
    EXPECT_EQ(fire.ack_comment, comment);
    const auto snapshot = alarms->Snapshot();
    EXPECT_FALSE(snapshot->rows.front().acknowledged) << "unacknowledged rows come first";
    EXPECT_TRUE(snapshot->rows.back().acknowledged);
    EXPECT_EQ(snapshot->unacknowledged, static_cast<int>(snapshot->rows.size()) - 1);

    EXPECT_EQ(KeptAcks(), 1);
    StartProgram();
    ASSERT_TRUE(Eventually([this] { return Row(LOOP_2) && Row(LOOP_4); }));
    const TAlarmRow rebuilt = *Row(LOOP_2);
    EXPECT_TRUE(rebuilt.acknowledged);
    EXPECT_EQ(rebuilt.ack_user, "оператор");
    EXPECT_EQ(rebuilt.ack_comment, comment);
    EXPECT_EQ(rebuilt.since, fire.since);
    EXPECT_FALSE(Row(LOOP_4)->acknowledged);

    ASSERT_TRUE(Inject(TSimAction::Loop, 1, 1, statecode::LOOP_NORMAL));
    ASSERT_TRUE(Inject(TSimAction::Loop, 1, 3, statecode::LOOP_NORMAL));
    ASSERT_TRUE(Eventually([this] { return !Row(LOOP_2); }));
    EXPECT_EQ(KeptAcks(), 0);
    // Loop 4 is normal again but was never acknowledged: it waits for the operator.
    ASSERT_TRUE(Eventually([this] { return Row(LOOP_4) && !Row(LOOP_4)->active; }));
    const int waiting = alarms->Snapshot()->unacknowledged;
    EXPECT_EQ(alarms->AcknowledgeAll("оператор", ""), waiting);
    EXPECT_FALSE(Row(LOOP_4));
}

TEST_F(ActiveAlarmsEndToEnd, AnotherDatabaseReceivesTheAcknowledgementsOfTheRowsShown) {
    ASSERT_TRUE(Inject(TSimAction::Loop, 1, 1, statecode::LOOP_FIRE));
    ASSERT_TRUE(Eventually([this] { return Row(LOOP_2).has_value(); }));
    EXPECT_EQ(alarms->Acknowledge(LOOP_2, "оператор", "проверено"), 1);

    // The operator chooses another file; the next change of any device takes it up.
    ASSERT_TRUE(sqlite->Init(dir.file("other.db")));
    ASSERT_TRUE(Inject(TSimAction::Loop, 1, 3, statecode::LOOP_ATTENTION));
    ASSERT_TRUE(Eventually([this] { return Row(LOOP_4).has_value(); }));
    ASSERT_TRUE(Eventually([this] { return KeptAcks() == 1; }));
    EXPECT_TRUE(Row(LOOP_2)->acknowledged);

    // A restart over the new file shows the fire acknowledged.
    StartProgram();
    ASSERT_TRUE(Eventually([this] { return Row(LOOP_2).has_value(); }));
    EXPECT_TRUE(Row(LOOP_2)->acknowledged);
    EXPECT_EQ(Row(LOOP_2)->ack_comment, "проверено");
}
