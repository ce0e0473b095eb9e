#pragma once

// A simulated control panel: its configuration, its live states and the answers it gives.

#include "buslink/state_codes.h"
#include "sim/sim_codec.h"

#include <cstdint>
#include <string>
#include <vector>

// What a device is and how it starts. Names are UTF-8 here and Windows-1251 on the wire.
struct TSimDeviceConfig {
    int key = 0; // the number events use to name the device
    std::uint8_t address = 1;
    std::uint32_t id = 0;
    // The id its GET_WHOIS answer names, as a misbehaving panel may; 0: its own id.
    std::uint32_t whois_id = 0;
    std::string factory_name;
    std::string user_name;
    std::uint16_t lines = 0;
    std::uint16_t sensors = 0;
    std::uint16_t relays = 0;
    std::uint16_t archives = 0;
    std::uint16_t remote = 0; // bit k: the device accepts command 16 + k
    std::uint8_t state = 0;   // 0..3
    std::uint8_t power = 1;   // 1: mains present
    std::uint8_t battery = 0; // 0..3
    std::uint8_t summary = 0;
    bool silent = false; // not on the bus until it comes back
};

// Limits of the protocol's answers.
namespace simlimits {
constexpr int MAX_LINES = 256;
constexpr int MAX_RELAYS = 128;
constexpr int MAX_SENSORS = 255;
constexpr int NAME_CHARS = 18;
} // namespace simlimits

// Random loop states and the fields of a relay word (loop bytes are the program's own).
namespace simbits {
// Loop states random changes pick from: normal (most often), off, delay and the alarms and
// faults.
constexpr std::uint8_t RANDOM_LOOP_STATES[] = {statecode::LOOP_NORMAL, statecode::LOOP_NORMAL,
                                               statecode::LOOP_NORMAL, statecode::LOOP_OFF,
                                               statecode::LOOP_DELAY,  statecode::LOOP_BREAK,
                                               statecode::LOOP_SHORT,  statecode::LOOP_ATTENTION,
                                               statecode::LOOP_FIRE,   statecode::LOOP_FAULT};

enum class TRelayField : std::uint8_t { State, Control, Type, Mode };
// The word with one field replaced: bit 0 state, bits 1-3 control, 4-6 type, bit 7 mode.
std::uint16_t RelayWith(std::uint16_t word, TRelayField field, std::uint32_t value);
} // namespace simbits

// What a change touched; values are those the workstation's records carry.
enum class TSimItem : std::uint8_t {
    None,
    DeviceState,
    Power,
    Battery,
    Summary,
    Loop,
    Sensor,
    Relay,
    Address,
    UserName, // values: the first four bytes of the name, little-endian
    Clock,
    Online,
};

const char* ItemName(TSimItem item);

struct TSimChange {
    TSimItem item = TSimItem::None;
    int index = -1; // zero-based loop, sensor or relay number
    std::uint32_t old_value = 0;
    std::uint32_t new_value = 0;
    std::string text; // the new name, for UserName
};

class TSimDevice {
public:
    explicit TSimDevice(const TSimDeviceConfig& config);

    int Key() const { return key_; }
    std::uint32_t Id() const { return id_; }
    std::uint8_t Address() const { return address_; }
    bool Silent() const { return silent_; }
    std::uint8_t State() const { return state_; }
    std::uint8_t Power() const { return power_; }
    std::uint8_t Battery() const { return battery_; }
    std::uint8_t Summary() const { return summary_; }
    std::uint32_t Clock() const { return clock_; }
    const std::string& UserName() const { return user_name_; } // Windows-1251
    const std::vector<std::uint8_t>& Loops() const { return loops_; }
    const std::vector<std::uint8_t>& Sensors() const { return sensors_; }
    const std::vector<std::uint16_t>& Relays() const { return relays_; }

    // Answers a request addressed to this device (by id and address). False when it stays
    // quiet; `reason` says why.
    bool Handle(const TSimFrame& request, TBytes& answer, std::string& reason);

    // Changes made on the panel itself. Each notes a change when the value differs.
    void SetState(std::uint8_t value);
    void SetPower(std::uint8_t value);
    void SetBattery(std::uint8_t value);
    void SetSummary(std::uint8_t value);
    void SetLoop(int index, std::uint8_t value);
    void SetSensor(int index, std::uint8_t value);
    void SetRelay(int index, std::uint16_t word);
    void SetSilent(bool silent);

    // The changes noted since the last call.
    std::vector<TSimChange> TakeChanges();

    // Damage for the next answer this device gives.
    void CorruptNextAnswer(TSimCorruption corruption) { corruption_ = corruption; }
    TSimCorruption TakeCorruption();

private:
    bool HandleRemote(const TSimFrame& request, std::string& reason);
    void ResetLoop(int index);
    void ResetSensor(int index);
    void SettleSummary();
    void SetUserName(const std::string& cp1251);
    void Note(TSimItem item, int index, std::uint32_t old_value, std::uint32_t new_value);
    TBytes WhoisPayload() const;
    TBytes StatePayload() const;

    int key_;
    std::uint32_t id_;
    std::uint32_t whois_id_;
    std::uint8_t address_;
    std::string factory_name_; // Windows-1251, at most 18 bytes
    std::string user_name_;
    std::uint16_t archives_;
    std::uint16_t remote_;
    std::uint8_t state_;
    std::uint8_t power_;
    std::uint8_t battery_;
    std::uint8_t summary_;
    std::uint32_t clock_ = 0;
    bool silent_;
    std::vector<std::uint8_t> loops_;
    std::vector<std::uint8_t> sensors_;
    std::vector<std::uint16_t> relays_;

    // What changed since the workstation last read it; a set bit marks a group of elements.
    bool config_changed_ = false;
    std::uint16_t loops_changed_ = 0;
    std::uint64_t sensors_changed_ = 0; // 48 bits
    std::uint32_t relays_changed_ = 0;

    TSimCorruption corruption_ = TSimCorruption::None;
    std::vector<TSimChange> changes_;
};
