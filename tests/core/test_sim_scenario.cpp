#include "sim/sim_scenario.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

namespace {

TSimScenario Parse(const std::string& text) {
    TSimScenario scenario;
    std::string error;
    EXPECT_TRUE(ParseScenario(text, scenario, error)) << error;
    return scenario;
}

std::string ErrorOf(const std::string& text) {
    TSimScenario scenario;
    scenario.devices.emplace_back();
    std::string error;
    EXPECT_FALSE(ParseScenario(text, scenario, error)) << text;
    EXPECT_EQ(scenario.devices.size(), 1u) << "a failed parse leaves the output alone";
    return error;
}

} // namespace

TEST(SimScenario, ParsesDevicesAndEventsInTimeOrder) {
    const TSimScenario s = Parse(R"(# two panels
device 1 address 5 id 0x00C0DB01 loops 8 sensors 2 relays 4 archives 100 remote 0x2FF
         factory "ППК-8 #2" name "Склад №1" battery 2 power 0 summary 4
device 2 address 7 id 77 whois-id 0x4D relays 2 silent   # appears later

at 20 device 2 back
at 12.5 device 1 loop 3 state 0x0C
at 12.5 device 1 relay 4 control 5
at 30 device 1 set-name "Касса"
at 31 device 1 sync-time
at 32 device 1 sync-time 1700000000
at 33 device 1 corrupt truncate
at 34 noise 16
at 60 goto 10.25
)");
    ASSERT_EQ(s.devices.size(), 2u);
    const TSimDeviceConfig& d = s.devices[0];
    EXPECT_EQ(d.key, 1);
    EXPECT_EQ(d.address, 5);
    EXPECT_EQ(d.id, 0x00C0DB01u);
    EXPECT_EQ(d.lines, 8);
    EXPECT_EQ(d.sensors, 2);
    EXPECT_EQ(d.relays, 4);
    EXPECT_EQ(d.archives, 100);
    EXPECT_EQ(d.remote, 0x2FF);
    EXPECT_EQ(d.factory_name, "ППК-8 #2") << "'#' inside quotes is text";
    EXPECT_EQ(d.user_name, "Склад №1");
    EXPECT_EQ(d.battery, 2);
    EXPECT_EQ(d.power, 0);
    EXPECT_EQ(d.summary, 4);
    EXPECT_FALSE(d.silent);
    EXPECT_TRUE(s.devices[1].silent);
    EXPECT_EQ(s.devices[1].id, 77u);
    EXPECT_EQ(s.devices[1].whois_id, 0x4Du);
    EXPECT_EQ(d.whois_id, 0u) << "its own id";

    ASSERT_EQ(s.events.size(), 9u);
    // Sorted by time; equal times keep the file's order.
    EXPECT_EQ(s.events[0].action, TSimAction::Loop);
    EXPECT_EQ(s.events[0].at, 12.5);
    EXPECT_EQ(s.events[0].index, 2) << "loops are numbered from 1 in scenarios";
    EXPECT_EQ(s.events[0].value, 0x0Cu);
    EXPECT_EQ(s.events[0].line, 7);
    EXPECT_EQ(s.events[1].action, TSimAction::Relay);
    EXPECT_EQ(s.events[1].field, simbits::TRelayField::Control);
    EXPECT_EQ(s.events[1].index, 3);
    EXPECT_EQ(s.events[1].value, 5u);
    EXPECT_EQ(s.events[2].action, TSimAction::Back);
    EXPECT_EQ(s.events[2].device, 2);
    EXPECT_EQ(s.events[3].text, "Касса");
    EXPECT_EQ(s.events[4].value, 0u) << "sync-time without a time sends the clock's";
    EXPECT_EQ(s.events[5].value, 1700000000u);
    EXPECT_EQ(s.events[6].value, static_cast<std::uint32_t>(TSimCorruption::Truncate));
    EXPECT_EQ(s.events[7].action, TSimAction::Noise);
    EXPECT_EQ(s.events[7].value, 16u);
    EXPECT_EQ(s.events[8].action, TSimAction::Goto);
    EXPECT_EQ(s.events[8].value, 10250u);
}

TEST(SimScenario, BadLinesAreReportedWithTheirNumber) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"hello", "line 1: expected 'device' or 'at', got 'hello'"},
        {"device 1 address 300", "line 1: address must be 1..254, got 300"},
        {"device 1 address five", "line 1: expected address, got 'five'"},
        {"device 1 loops 257", "line 1: loops must be 0..256, got 257"},
        {"device 1 colour red", "line 1: unknown device setting 'colour'"},
        {"device 1 loops 2\n\tcolour red", "line 1: unknown device setting 'colour'"},
        {"device 1 name \"Склад", "line 1: a text in double quotes is not closed"},
        {"device 1 name \"Очень длинное имя склада\"",
         "line 1: user name 'Очень длинное имя склада' is longer than 18 characters"},
        {"device 1\n\ndevice 1", "device 1 is declared twice"},
        {"device 1 address 5\ndevice 2 address 5", "device 2: address 5 is taken"},
        {"device 1\nat 5 device 2 loop 1 state 3", "line 2: unknown device 2"},
        {"device 1 loops 8\nat 1 device 1 loop 9 state 3",
         "line 2: device 1 has 8 loops, no loop 9"},
        {"device 1 loops 8\nat 1 device 1 loop 0 state 3",
         "line 2: a loop number must be 1..65535, got 0"},
        {"device 1 loops 8\nat 1 device 1 loop 1 state 40",
         "line 2: a loop state must be 0..31, got 40"},
        {"device 1 relays 2\nat 1 device 1 relay 1 level 1",
         "line 2: expected state, control, type or mode, got 'level'"},
        {"device 1 relays 2\nat 1 device 1 relay 1 mode 2", "line 2: a relay field must be 0..1"},
        {"device 1\nat 1 device 1 state", "line 2: expected state at the end of the line"},
        {"device 1\nat 1 device 1 corrupt crc twice", "line 2: unexpected 'twice'"},
        {"device 1\nat 1 device 1 corrupt badly", "expected crc, escape or truncate"},
        {"device 1\nat 1 device 1 set-address 255", "line 2: address must be 1..254, got 255"},
        {"at -1 noise 4", "line 1: expected a time (seconds, 0 or more), got '-1'"},
        {"at 1 noise 0", "line 1: noise must be 1..4096 bytes, got 0"},
        {"at 5 goto 7", "line 1: goto must go back to an earlier time"},
        {"at 5 burst now", "line 1: unexpected 'now'"},
        {"at 5", "line 1: expected an event at the end of the line"},
    };
    for (const auto& c : cases) {
        const std::string error = ErrorOf(c.text);
        EXPECT_NE(error.find(c.error), std::string::npos) << c.text << "\n -> " << error;
    }
}

TEST(SimScenario, MissingFileIsAnErrorNamingIt) {
    TSimScenario scenario;
    std::string error;
    EXPECT_FALSE(LoadScenario("/nonexistent/scenario.txt", scenario, error));
    EXPECT_NE(error.find("/nonexistent/scenario.txt: ["), std::string::npos) << error;
}

TEST(SimScenario, ShippedDemoShowsEveryKindOfEvent) {
    const auto path = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() /
                      "tools" / "scenarios" / "demo.txt";
    TSimScenario demo;
    std::string error;
    ASSERT_TRUE(LoadScenario(path.string(), demo, error)) << error;
    EXPECT_GE(demo.devices.size(), 3u);
    EXPECT_TRUE(std::any_of(demo.devices.begin(), demo.devices.end(),
                            [](const TSimDeviceConfig& d) { return d.silent; }))
        << "a device that appears later";
    std::set<TSimAction> actions;
    for (const TSimEvent& e : demo.events) {
        actions.insert(e.action);
        EXPECT_LT(e.at, 180.0) << "line " << e.line;
    }
    for (const TSimAction a :
         {TSimAction::Loop, TSimAction::Power, TSimAction::Battery, TSimAction::Silent,
          TSimAction::Back, TSimAction::Relay, TSimAction::SetAddress, TSimAction::SetName,
          TSimAction::SyncTime, TSimAction::Noise, TSimAction::Corrupt, TSimAction::Burst,
          TSimAction::Summary, TSimAction::DeviceState, TSimAction::Goto}) {
        EXPECT_EQ(actions.count(a), 1u) << "action " << static_cast<int>(a);
    }
}

TEST(SimScenario, GeneratedDevicesAreFullSizeOnFreeAddressesAndIds) {
    TSimScenario s = Parse("device 3 address 1 id 0x4B540004\ndevice 9 address 2");
    std::string error;
    ASSERT_TRUE(AddGeneratedDevices(s, 5, error)) << error;
    ASSERT_EQ(s.devices.size(), 7u);
    EXPECT_TRUE(CheckDevices(s.devices, error)) << error;
    for (std::size_t i = 2; i < s.devices.size(); ++i) {
        const TSimDeviceConfig& d = s.devices[i];
        EXPECT_EQ(d.key, static_cast<int>(i + 8));
        EXPECT_EQ(d.lines, 256);
        EXPECT_EQ(d.relays, 128);
        EXPECT_GE(d.address, 3);
    }
    EXPECT_FALSE(AddGeneratedDevices(s, 248, error));
    EXPECT_EQ(error, "at most 247 more devices fit on the bus");
    EXPECT_EQ(s.devices.size(), 7u);
}

TEST(SimScenario, RandomChangesAlwaysFitTheirDevice) {
    TSimScenario s = Parse("device 1 loops 3 relays 1\ndevice 2\ndevice 3 relays 2");
    std::string error;
    ASSERT_TRUE(AddGeneratedDevices(s, 2, error));
    std::mt19937 rng(7);
    std::set<TSimAction> seen;
    for (int i = 0; i < 2000; ++i) {
        const TSimEvent e = RandomChange(rng, s.devices);
        ASSERT_TRUE(CheckEvent(e, s.devices, error)) << error;
        seen.insert(e.action);
    }
    EXPECT_EQ(seen.size(), 6u) << "loops, relays, state, power, battery and summary";
}
