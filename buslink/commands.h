#pragma once

#include <cstdint>

// One-byte command codes of the bus protocol.
enum TCommand : std::uint8_t {
    FIND_DEVICE = 1,
    GENERATE_NEW_RND = 2,
    GET_WHOIS = 3,
    SET_ADR = 4,
    SET_RND = 5,
    SET_NAME = 6,
    PING = 7,
    LINE_TEST = 8,
    GET_STATISTICS = 9,
    RESET_STATISTICS = 10,
    GET_STATE = 11,
    RESET_UP = 12,
    GET_LINES = 13,
    GET_SENSORS = 14,
    GET_RELAYS = 15,
    REMOTE_RESET_DEVICE = 16,
    REMOTE_RESET_LINE = 17,
    REMOTE_RESET_SENSOR = 18,
    REMOTE_LINE_STATE = 19,
    REMOTE_SENSOR_STATE = 20,
    REMOTE_RELAY_STATE = 21,
    REMOTE_RELAY_CONTROL = 22,
    REMOTE_RELAY_MODE = 23,
    REMOTE_GET_ARCHIVE = 24,
    REMOTE_SYNCHRO_TIME = 25,
};

// The protocol's name of a command code; "UNKNOWN" outside 1..25.
const char* CommandName(std::uint8_t code);
