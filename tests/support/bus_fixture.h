#pragma once

// The real device service (port, bus cycle, handlers, database) against the bus simulator on
// the other side of a pseudo-terminal: three panels that answer at once. Header-only, as only
// the core tests link the simulator.

#include "sim/bus_sim.h"
#include "support/device_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

class BusFixture : public ::testing::Test, public DeviceFixture {
public:
    static constexpr int COM = 9;

    explicit BusFixture(const std::string& catalogue_dir = ProgramDir(),
                        int busy_timeout_ms = TSQLite::BusyTimeoutMs,
                        ISerialSys& serial = TPosixSerialSys::Instance())
        : DeviceFixture(catalogue_dir, busy_timeout_ms, serial) {}

    static TSimDeviceConfig Panel(int key, std::uint32_t id, int lines, int relays) {
        TSimDeviceConfig c;
        c.key = key;
        c.address = static_cast<std::uint8_t>(key);
        c.id = id;
        c.factory_name = "Прибор-" + std::to_string(key);
        c.user_name = "Этаж " + std::to_string(key);
        c.lines = static_cast<std::uint16_t>(lines);
        c.sensors = 2;
        c.relays = static_cast<std::uint16_t>(relays);
        c.remote = 0x3FF;
        c.state = 1;
        return c;
    }

    // Waits up to `seconds` for a condition of the workstation's side.
    static bool Eventually(const std::function<bool()>& condition, int seconds = 20) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < end) {
            if (condition()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return condition();
    }

protected:
    void SetUp() override {
        settings.com_num = COM;
        scenario.devices = {Panel(1, 0x11111111, 8, 4), Panel(2, 0x22222222, 4, 0),
                            Panel(3, 0x33333333, 0, 2)};
        ASSERT_TRUE(StartSim());
    }
    void TearDown() override {
        device->SetService(false);
        sim.Stop();
    }

    // The simulator on this fixture's line; a test changes what it needs before StartSim.
    TSimOptions SimOptions(TSimPace pace = TSimPace::Fast) const {
        TSimOptions options;
        options.ports_dir = dir.path();
        options.com = COM;
        options.pace = pace;
        return options;
    }
    bool StartSim(const TSimOptions& options) {
        std::string error;
        const bool ok = sim.Start(options, scenario, error);
        EXPECT_TRUE(ok) << error;
        return ok;
    }
    bool StartSim(TSimPace pace = TSimPace::Fast, std::size_t chunk = 0) {
        TSimOptions options = SimOptions(pace);
        options.chunk = chunk;
        return StartSim(options);
    }

    int CountRecords(std::uint32_t id, int type, std::int32_t value = -1) const {
        int n = 0;
        for (const StoredRecord& r : Records()) {
            n += r.device_id == id && r.type == type && (value < 0 || r.value == value) ? 1 : 0;
        }
        return n;
    }

    bool AllComplete() {
        if (device->GetCount() != 3) {
            return false;
        }
        for (int i = 0; i < 3; ++i) {
            if (!device->GetItem(i)->info_complete) {
                return false;
            }
        }
        return true;
    }

    bool Inject(TSimAction action, int key, int index, std::uint32_t value) {
        TSimEvent e;
        e.action = action;
        e.device = key;
        e.index = index;
        e.value = value;
        std::string error;
        const bool ok = sim.Inject(e, error);
        EXPECT_TRUE(ok) << error;
        return ok;
    }

    // How many lines of the level hold the text.
    int CountLog(std::uint8_t level, const std::string& text) {
        int n = 0;
        for (const std::string& line : LogLines(level)) {
            n += line.find(text) != std::string::npos ? 1 : 0;
        }
        return n;
    }
    bool LogHas(std::uint8_t level, const std::string& text) { return CountLog(level, text) > 0; }

    TSimScenario scenario;
    TBusSim sim;
};
