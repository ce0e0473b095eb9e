#pragma once

// Scenarios: the devices on the simulated bus and the events that happen to them over time,
// read from a small text file (format in tools/README.md) or built in code.

#include "sim/sim_device.h"

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

enum class TSimAction : std::uint8_t {
    Loop,        // a loop's state byte (bits 3-4 its type)
    Sensor,      // a sensor's state byte
    Relay,       // one field of a relay word
    DeviceState, // 0..3
    Power,       // 0: mains lost, 1: mains present
    Battery,     // 0..3
    Summary,     // the device's summary state
    Silent,      // the device stops answering
    Back,        // the device answers again
    SetAddress,  // the bus master sends SET_ADR, the device answers
    SetName,     // the bus master sends SET_NAME, the device answers
    SyncTime,    // the bus master sends REMOTE_SYNCHRO_TIME, the device answers
    Corrupt,     // the device's next answer is damaged
    Noise,       // random bytes on the line
    Burst,       // every loop and relay of every device changes at once
    Goto,        // the timeline jumps back to an earlier time
};

struct TSimEvent {
    double at = 0; // seconds on the scenario's timeline; injected events run at once
    TSimAction action = TSimAction::Noise;
    int device = 0; // key of the device; 0 for the line-wide events
    int index = 0;  // zero-based loop, sensor or relay number
    simbits::TRelayField field = simbits::TRelayField::State;
    std::uint32_t value = 0; // the new value; for SyncTime 0 means "now"; for Corrupt the kind
    std::string text;        // SetName: the new user name (UTF-8)
    int line = 0;            // line of the scenario file, 0 when built in code
};

struct TSimScenario {
    std::vector<TSimDeviceConfig> devices;
    std::vector<TSimEvent> events; // in time order; equal times in file order
};

// An event of one device, run at once when injected (value and index as in TSimEvent).
TSimEvent DeviceEvent(TSimAction action, int device, std::uint32_t value = 0, int index = 0);

// Parses a scenario. On a bad line: false and "line N: what is wrong".
bool ParseScenario(std::string_view text, TSimScenario& out, std::string& error);
bool LoadScenario(const std::string& path, TSimScenario& out, std::string& error);

// Checks a device list: keys, addresses and ids unique, counts and names within limits.
bool CheckDevices(const std::vector<TSimDeviceConfig>& devices, std::string& error);
// Checks an event against the devices: a known device, an element in range, a sane value.
bool CheckEvent(const TSimEvent& event, const std::vector<TSimDeviceConfig>& devices,
                std::string& error);

// Appends `count` devices with 256 loops and 128 relays on free keys, addresses and ids.
bool AddGeneratedDevices(TSimScenario& scenario, int count, std::string& error);
// One random change of a loop, relay or device state, as soak tests want them.
TSimEvent RandomChange(std::mt19937& rng, const std::vector<TSimDeviceConfig>& devices);
