#pragma once

// The state codes a panel sends for its alarm loops and addressable sensors: one definition for
// the program, the bus simulator and the message catalogue's LINE_STATE and SENSOR_STATE texts.

#include <cstdint>

namespace statecode {

// A loop byte: bits 0-2 the state code, bits 3-4 the loop type; the program keeps bits 0-4.
constexpr std::uint8_t LOOP_BYTE_MASK = 0x1F;
constexpr std::uint8_t LOOP_CODE_MASK = 0x07;
constexpr std::uint8_t LOOP_TYPE_MASK = 0x18;
constexpr int LOOP_TYPE_SHIFT = 3;

enum TLoopCode : std::uint8_t {
    LOOP_NORMAL = 0,
    LOOP_OFF = 1,
    LOOP_DELAY = 2,
    LOOP_BREAK = 3,
    LOOP_SHORT = 4,
    LOOP_ATTENTION = 5,
    LOOP_FIRE = 6,
    LOOP_FAULT = 7,
};

enum TSensorCode : std::uint8_t {
    SENSOR_NORMAL = 0,
    SENSOR_OFF = 1,
    SENSOR_DELAY = 2,
    SENSOR_FAULT = 3,
    SENSOR_LOST = 4,
    SENSOR_ATTENTION = 5,
    SENSOR_FIRE = 6,
    SENSOR_ALARM = 7,
};

// Codes above this one are alarms and faults; normal, off and delay are quiet.
constexpr std::uint8_t LAST_QUIET_CODE = 2;

} // namespace statecode
