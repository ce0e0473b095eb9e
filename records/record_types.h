#pragma once

// Record type codes, the layout of a record's value and the captions of a displayed record.

#include <array>
#include <cstdint>
#include <string_view>

// The code is stored in a record's `type` column; its name is also the catalogue section of
// the type.
enum TRecordType : std::uint8_t {
    FIND_NEW_DEVICE = 0,
    RECOVERY_DEVICE = 1,
    LOSS_DEVICE = 2,
    MAX_STATE = 3,
    DEVICE_STATE = 4,
    DEVICE_POWER = 5,
    DEVICE_BATTERY = 6,
    DEVICE_RESET = 7,
    LINE_STATE = 8,
    LINE_ON_OFF = 9,
    LINE_TYPE = 10,
    LINE_SET_TYPE = 11,
    LINE_RESET = 12,
    SENSOR_STATE = 13,
    SENSOR_ON_OFF = 14,
    SENSOR_RESET = 15,
    RELAY_STATE = 16,
    RELAY_ON_OFF = 17,
    RELAY_CONTROL = 18,
    RELAY_SET_CONTROL = 19,
    RELAY_TYPE = 20,
    RELAY_SET_TYPE = 21,
    RELAY_MODE = 22,
    RELAY_SET_MODE = 23,
    SET_DEVICE_ID = 24,
    SET_ADDRESS = 25,
    SET_USER_NAME = 26,
    SYNCHRO_TIME = 27,
};

constexpr int RECORD_TYPE_COUNT = 28;

// The name of a type code; empty for a code outside 0..27.
constexpr std::string_view RecordTypeName(int type) {
    constexpr std::array<std::string_view, RECORD_TYPE_COUNT> names = {
        "FIND_NEW_DEVICE", "RECOVERY_DEVICE", "LOSS_DEVICE",  "MAX_STATE",      "DEVICE_STATE",
        "DEVICE_POWER",    "DEVICE_BATTERY",  "DEVICE_RESET", "LINE_STATE",     "LINE_ON_OFF",
        "LINE_TYPE",       "LINE_SET_TYPE",   "LINE_RESET",   "SENSOR_STATE",   "SENSOR_ON_OFF",
        "SENSOR_RESET",    "RELAY_STATE",     "RELAY_ON_OFF", "RELAY_CONTROL",  "RELAY_SET_CONTROL",
        "RELAY_TYPE",      "RELAY_SET_TYPE",  "RELAY_MODE",   "RELAY_SET_MODE", "SET_DEVICE_ID",
        "SET_ADDRESS",     "SET_USER_NAME",   "SYNCHRO_TIME",
    };
    return type >= 0 && type < RECORD_TYPE_COUNT ? names[static_cast<std::size_t>(type)]
                                                 : std::string_view();
}

// A record's value: bits 0-7 the code byte, bits 8-15 the remote byte, bits 16-31 the
// zero-based loop, sensor or relay number.
constexpr std::int32_t MakeRecordValue(std::uint16_t index, std::uint8_t remote,
                                       std::uint8_t code) {
    return static_cast<std::int32_t>((static_cast<std::uint32_t>(index) << 16) |
                                     (static_cast<std::uint32_t>(remote) << 8) | code);
}
constexpr std::uint8_t RecordCode(std::int32_t value) {
    return static_cast<std::uint8_t>(value & 0xFF);
}
constexpr std::uint8_t RecordRemote(std::int32_t value) {
    return static_cast<std::uint8_t>((value >> 8) & 0xFF);
}
constexpr std::uint16_t RecordIndex(std::int32_t value) {
    return static_cast<std::uint16_t>(static_cast<std::uint32_t>(value) >> 16);
}

// Captions of the fields of a displayed record, in display order: id, device id, time,
// address, factory name, user name, type name, message.
constexpr int RECORD_FIELD_COUNT = 8;
constexpr std::array<std::string_view, RECORD_FIELD_COUNT> RECORD_FIELD_CAPTIONS = {
    "#", "Device ID", "Дата / Время", "Адрес", "Имя", "Описание", "Тип", "Сообщение",
};
// The width of a field no one has set: its column fits its caption and a typical value.
constexpr int RECORD_FIELD_WIDTH_FIT = -1;
// How the field menu reports a field switched on or off.
constexpr std::string_view FIELD_SWITCHED_ON = "Включено";
constexpr std::string_view FIELD_SWITCHED_OFF = "Отключено";
