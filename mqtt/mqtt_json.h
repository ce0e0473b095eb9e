#pragma once

// The JSON the gateway publishes and the commands it reads. Every text is escaped as JSON
// requires (quotes, backslashes, control characters); UTF-8 passes as it is, and a byte that is
// not UTF-8 becomes U+FFFD rather than breaking the message.

#include "database/event_record.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TRecord;

// A device as the gateway publishes it: its table entry read once.
struct TMqttDeviceState {
    std::uint32_t device_id = 0;
    bool online = false;
    int address = 0;
    std::string name;      // the factory name (UTF-8)
    std::string user_name; // the operator's name for it
    std::uint8_t state = 0;
    std::uint8_t power = 0;
    std::uint8_t battery = 0;
    std::uint8_t summary = 0;
    std::vector<std::uint8_t> line_state;
    std::vector<std::uint8_t> line_type;
    // A relay's state, control, type and mode.
    std::vector<std::uint32_t> relay;

    friend bool operator==(const TMqttDeviceState&, const TMqttDeviceState&) = default;
};

// A remote command as it came: the popup item's name without "PM_" and the element's number
// counted from 1 (0 when the body names none).
struct TMqttCommand {
    std::string command;
    int number = 0;
};

class TMqttJson {
public:
    // `record` gives the texts and classes; it outlives the object.
    explicit TMqttJson(const TRecord& record) : record_(record) {}

    // "2026-12-10T03:15:00+03:00": the local time with its offset.
    static std::string IsoTime(std::int64_t utime);
    // "alarm", "attention", "fault", "normal".
    static const char* ClassName(int alarm_class);

    std::string Record(const TEventRecord& r) const;
    std::string Device(const TMqttDeviceState& d) const;
    // Loop `i` (zero-based) and relay `k` of the device.
    std::string Line(const TMqttDeviceState& d, int i) const;
    std::string Relay(const TMqttDeviceState& d, int k) const;
    // Home Assistant's configs: the summary state's sensor and loop i's binary sensor.
    static std::string SummaryDiscovery(const TMqttDeviceState& d, std::string_view prefix);
    static std::string LineDiscovery(const TMqttDeviceState& d, int i, std::string_view prefix);

    // False, with `why` set, for a body that is not a JSON object with a text "command" and,
    // when present, a whole "number".
    static bool ParseCommand(std::string_view body, TMqttCommand& command, std::string& why);

private:
    const TRecord& record_;
};
