// What the operator hears and reads when the demo's panels raise alarms: the real service and
// sound player against the bus simulator on a pseudo-terminal, with a real database.
#include "buslink/state_codes.h"
#include "database/record_types.h"
#include "support/bus_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

constexpr std::uint32_t PANEL_1 = 0x00010001;
constexpr std::uint32_t PANEL_4 = 0x000A0004;
const std::string ALARM_PLAY = "play sound/alarm.wav looped";

// The demo's four panels (the fourth not on the bus yet); its events are injected by the tests
// in the demo's order, so that a test does not wait for the demo's clock.
class AlarmEndToEnd : public BusFixture {
protected:
    void SetUp() override {
        settings.com_num = COM;
        std::string error;
        ASSERT_TRUE(LoadScenario(KTEV_DEMO_SCENARIO, demo_, error)) << error;
        scenario.devices = demo_.devices;
        ASSERT_TRUE(StartSim());
        device->SetService(true);
        ASSERT_TRUE(Eventually([this] {
            for (int i = 0; i < device->GetCount(); ++i) {
                if (!device->GetItem(i)->info_complete) {
                    return false;
                }
            }
            return device->GetCount() == 3;
        }));
    }

    // Injects the demo's events of that second.
    void RunDemoSecond(double at) {
        int n = 0;
        for (const TSimEvent& event : demo_.events) {
            if (event.at == at) {
                std::string error;
                ASSERT_TRUE(sim.Inject(event, error)) << error;
                ++n;
            }
        }
        ASSERT_GT(n, 0) << "the demo has no event at " << at << " s";
    }

    // The player's calls after the last time the alarm started.
    Calls CallsSinceAlarm() const {
        const Calls calls = sound_output.Calls();
        const auto at = std::find(calls.rbegin(), calls.rend(), ALARM_PLAY);
        return at == calls.rend() ? Calls{"no alarm"} : Calls(at.base(), calls.end());
    }

    // The newest record's text of that type and device, as the list shows it.
    std::string LastText(std::uint32_t id, int type) const {
        std::string text = "none";
        for (const StoredRecord& r : Records()) {
            if (r.device_id == id && r.type == type) {
                TMessageStyle style;
                record->GetRecordMessage(static_cast<std::uint8_t>(type), r.value, true, style,
                                         text);
            }
        }
        return text;
    }

    // Sends a loop command of the tree's popup and waits for its acknowledgement.
    void LoopCommand(int index, std::uint8_t on) {
        const int before = CountRecords(PANEL_1, LINE_ON_OFF);
        device->remote_command.device_id = PANEL_1;
        device->remote_command.address = 1;
        device->remote_command.index = index;
        device->SetRemoteCommand(REMOTE_LINE_STATE, 3, on);
        ASSERT_TRUE(Eventually([&] { return CountRecords(PANEL_1, LINE_ON_OFF) > before; }));
    }

    TSimScenario demo_;
};

} // namespace

TEST_F(AlarmEndToEnd, ANewPanelFoundDuringAnAlarmLeavesTheAlarmSounding) {
    RunDemoSecond(8); // fire on loop 3 of panel 1
    ASSERT_TRUE(Eventually([this] { return CallsSinceAlarm().empty(); }));
    RunDemoSecond(14); // panel 4 appears
    // The panel is heard first (its recovery) and recorded as new once its whois is read.
    ASSERT_TRUE(Eventually([this] {
        return CountRecords(PANEL_4, RECOVERY_DEVICE) == 1 &&
               CountRecords(PANEL_4, FIND_NEW_DEVICE) == 1;
    }));
    // Paused between two passes, the bus thread has made every request it is going to make.
    device->SetService(false);
    EXPECT_EQ(CountRecords(PANEL_4, FIND_NEW_DEVICE), 1);
    EXPECT_EQ(sound->GetSound(), SOUND_ALARM);
    EXPECT_EQ(CallsSinceAlarm(), Calls{});
}

TEST_F(AlarmEndToEnd, ASecondFireOnAPanelAlreadyInAlarmSoundsAgain) {
    RunDemoSecond(8);
    ASSERT_TRUE(Eventually([this] { return CountRecords(PANEL_1, MAX_STATE) == 1; }));
    ASSERT_TRUE(Eventually([this] { return CallsSinceAlarm().empty(); }));
    sound->SetSound(SOUND_OFF); // "Отбой звука"
    ASSERT_TRUE(Eventually([this] { return CallsSinceAlarm() == Calls{"stop"}; }));
    ASSERT_TRUE(Inject(TSimAction::Loop, 1, 1, statecode::LOOP_FIRE));
    ASSERT_TRUE(Eventually(
        [this] { return CountRecords(PANEL_1, LINE_STATE, 1 << 16 | statecode::LOOP_FIRE) == 1; }));
    EXPECT_EQ(CountRecords(PANEL_1, MAX_STATE), 1) << "the summary state did not change";
    EXPECT_TRUE(Eventually([this] { return CallsSinceAlarm().empty(); }));
}

TEST_F(AlarmEndToEnd, TheDemosLoopsReadAsThePanelsMeanThem) {
    const TDeviceEntry& panel = *device->GetItem(device->FindDevice(PANEL_1));
    TMessageStyle style;
    std::string healthy;
    record->GetRecordMessage(LINE_STATE, panel.line[2].state, false, style, healthy);
    EXPECT_EQ(healthy, "Норма");

    RunDemoSecond(8);
    RunDemoSecond(70); // an alarm on loop 5, of type 1
    ASSERT_TRUE(Eventually([this] { return CountRecords(PANEL_1, LINE_STATE) == 2; }));
    EXPECT_EQ(LastText(PANEL_1, LINE_STATE), "ШС 5: Тревога");
    EXPECT_EQ(CountRecords(PANEL_1, LINE_STATE, 2 << 16 | statecode::LOOP_FIRE), 1);
    EXPECT_EQ(CountRecords(PANEL_1, LINE_TYPE, 4 << 16 | 1), 1);

    LoopCommand(2, 0); // "-- Выключить ШС" on loop 3
    EXPECT_EQ(LastText(PANEL_1, LINE_ON_OFF), "Отключен ШС 3 (команда оператора)");
    ASSERT_TRUE(Eventually([this] { return CountRecords(PANEL_1, LINE_STATE) == 3; }));
    EXPECT_EQ(LastText(PANEL_1, LINE_STATE), "ШС 3: Отключен");

    LoopCommand(2, 1); // "+ Включить ШС"
    EXPECT_EQ(LastText(PANEL_1, LINE_ON_OFF), "Включен ШС 3 (команда оператора)");
    ASSERT_TRUE(Eventually([this] { return CountRecords(PANEL_1, LINE_STATE) == 4; }));
    EXPECT_EQ(LastText(PANEL_1, LINE_STATE), "ШС 3: Норма");
}
