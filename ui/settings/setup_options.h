#pragma once

// The Setup section of the settings file: the service and record settings, and the one table of
// its keys. The file reads and writes by it, and the current settings and the settings dialog
// take each key's default and range from it.

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <variant>

#include "common/settings.h"

// The values of the Setup section, each key's default from SETUP_KEYS when built.
struct TSetupOptions {
    TSetupOptions();

    std::string db_file;
    std::int32_t show_lines;
    std::int32_t com_num;
    bool ctrl_dtr;
    bool ctrl_rts;
    bool ctrl_inv;
    bool ctrl_rs485;
    bool is_log_debug;
    bool is_sound;
    bool is_auto_run;
    std::int32_t records_mask;
    bool sound_until_ack;
};

// One key: its name in the file, its value in TSetupOptions, the value a missing or unreadable
// key gives (a flag's is 0 or 1; DBFile's is the program's default database, known at run
// time) and, for a number, the range its holders keep it in.
struct TSetupKey {
    std::string_view name;
    std::variant<std::string TSetupOptions::*, std::int32_t TSetupOptions::*, bool TSetupOptions::*>
        value;
    std::int32_t fallback = 0;
    std::int32_t min = std::numeric_limits<std::int32_t>::min();
    std::int32_t max = std::numeric_limits<std::int32_t>::max();
    // IsLogDebug is set by hand in the file, never written by the program.
    bool written = true;
};

// In the order the file is written. A COM number outside its range means no port.
inline constexpr std::array SETUP_KEYS = {
    TSetupKey{.name = "DBFile", .value = &TSetupOptions::db_file},
    TSetupKey{.name = "ShowLines",
              .value = &TSetupOptions::show_lines,
              .fallback = SHOW_LINES_DEFAULT,
              .min = SHOW_LINES_MIN,
              .max = SHOW_LINES_MAX},
    TSetupKey{
        .name = "ComNum", .value = &TSetupOptions::com_num, .fallback = -1, .min = 1, .max = 255},
    TSetupKey{.name = "CtrlDtr", .value = &TSetupOptions::ctrl_dtr},
    TSetupKey{.name = "CtrlRts", .value = &TSetupOptions::ctrl_rts},
    TSetupKey{.name = "CtrlInv", .value = &TSetupOptions::ctrl_inv},
    TSetupKey{.name = "CtrlRs485", .value = &TSetupOptions::ctrl_rs485},
    TSetupKey{.name = "IsLogDebug", .value = &TSetupOptions::is_log_debug, .written = false},
    TSetupKey{.name = "IsSound", .value = &TSetupOptions::is_sound, .fallback = 1},
    TSetupKey{.name = "IsAutoRun", .value = &TSetupOptions::is_auto_run, .fallback = 1},
    TSetupKey{
        .name = "RecordsMask", .value = &TSetupOptions::records_mask, .fallback = RECORDS_MASK_ALL},
    TSetupKey{.name = "SoundUntilAck", .value = &TSetupOptions::sound_until_ack},
};

// The table's entry for `value`; every member of TSetupOptions has one.
template <typename T>
constexpr const TSetupKey& SetupKey(T TSetupOptions::*value) {
    return *std::find_if(SETUP_KEYS.begin(), SETUP_KEYS.end(), [value](const TSetupKey& key) {
        // Not get_if: its null check is no constant expression under the sanitizers.
        return std::holds_alternative<T TSetupOptions::*>(key.value) &&
               std::get<T TSetupOptions::*>(key.value) == value;
    });
}

// The keys the holders check their values by.
inline constexpr const TSetupKey& SHOW_LINES_KEY = SetupKey(&TSetupOptions::show_lines);
inline constexpr const TSetupKey& COM_NUM_KEY = SetupKey(&TSetupOptions::com_num);
inline constexpr const TSetupKey& RECORDS_MASK_KEY = SetupKey(&TSetupOptions::records_mask);

// Whether `number` lies in the range of `key`.
constexpr bool InRange(const TSetupKey& key, std::int32_t number) {
    return number >= key.min && number <= key.max;
}

// `number` brought into the range of `key`.
constexpr std::int32_t Clamped(const TSetupKey& key, std::int32_t number) {
    return std::clamp(number, key.min, key.max);
}

// The keys whose values differ, as "ComNum: 3 → 5; IsSound: 1 → 0" in the table's order; empty
// when none does.
std::string SetupChangesText(const TSetupOptions& before, const TSetupOptions& after);
