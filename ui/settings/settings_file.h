#pragma once

// The settings file's content between the file and the window: every section and key with its
// default, read and written through a profile file. The window applies the values to its live
// holders (geometry, View ticks, columns, the settings dialog) and collects them back.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/profile_file.h"
#include "mqtt/mqtt_settings.h"
#include "records/record_types.h"
#include "ui/settings/setup_options.h"

// Keys of the record fields in the FieldsWidth and FieldsChecked sections, in field order.
constexpr std::array<std::string_view, RECORD_FIELD_COUNT> RECORD_FIELD_KEYS = {
    "Id", "DeviceId", "DateTime", "Address", "ConstName", "UserName", "Type", "Message",
};

// Section Options: the main window's own area (without a window manager's frame) in pixels.
struct TWindowOptions {
    std::int32_t top = 100;
    std::int32_t left = 100;
    // Beside the tree the record list still shows its first columns, and the window fits a
    // 1024x768 screen with its frame.
    std::int32_t width = 900;
    std::int32_t height = 560;
    // Room for a whole device line: its name, address, description and state.
    std::int32_t tree_view_width = 480;
    std::int32_t rich_edit_height = 100;
};

// Section Panels: the three View ticks.
struct TPanelOptions {
    bool tool_buttons = true;
    bool tree_devices = true;
    bool log_application = true;
};

// One record field in FieldsWidth and FieldsChecked. A width missing from the file fits the
// column to its texts; one stored, by the operator or a save, stays as it is.
struct TFieldOptions {
    std::int32_t width = RECORD_FIELD_WIDTH_FIT;
    bool checked = true;
};

struct TSettingsFileValues {
    TWindowOptions options;
    TPanelOptions panels;
    std::array<TFieldOptions, RECORD_FIELD_COUNT> fields;
    // Section Setup, keyed by SETUP_KEYS.
    TSetupOptions setup;
    // Section Operator, key Name: who the audit trail names; empty: the user the program runs
    // as.
    std::string operator_name;
    // Section Mqtt: the gateway to a broker.
    TMqttSettings mqtt;
};

// Every key of the file; a missing or unreadable key gives its default (DBFile gives
// `default_db_file`). Values are taken as they are: clamping is the holders' business.
TSettingsFileValues ReadSettingsFile(const TProfileFile& file, const std::string& default_db_file);

// Writes the keys in the file's order with one save of the file: Options only when
// `write_options` (a maximised or minimised window leaves the last normal geometry in the
// file), then Panels, the fields and Setup without IsLogDebug. False, with the file as it was,
// when it cannot be written.
bool WriteSettingsFile(TProfileFile& file, const TSettingsFileValues& values, bool write_options);
