#include "buslink/commands.h"

#include <array>

const char* CommandName(std::uint8_t code) {
    static constexpr std::array<const char*, 26> names = {
        "UNKNOWN",
        "FIND_DEVICE",
        "GENERATE_NEW_RND",
        "GET_WHOIS",
        "SET_ADR",
        "SET_RND",
        "SET_NAME",
        "PING",
        "LINE_TEST",
        "GET_STATISTICS",
        "RESET_STATISTICS",
        "GET_STATE",
        "RESET_UP",
        "GET_LINES",
        "GET_SENSORS",
        "GET_RELAYS",
        "REMOTE_RESET_DEVICE",
        "REMOTE_RESET_LINE",
        "REMOTE_RESET_SENSOR",
        "REMOTE_LINE_STATE",
        "REMOTE_SENSOR_STATE",
        "REMOTE_RELAY_STATE",
        "REMOTE_RELAY_CONTROL",
        "REMOTE_RELAY_MODE",
        "REMOTE_GET_ARCHIVE",
        "REMOTE_SYNCHRO_TIME",
    };
    return code < names.size() ? names[code] : names[0];
}
