#include "ui/settings/settings_file.h"

#include <variant>
#include <vector>

namespace {

constexpr std::string_view OPTIONS = "Options";
constexpr std::string_view PANELS = "Panels";
constexpr std::string_view FIELDS_WIDTH = "FieldsWidth";
constexpr std::string_view FIELDS_CHECKED = "FieldsChecked";
constexpr std::string_view SETUP = "Setup";
constexpr std::string_view OPERATOR = "Operator";
constexpr std::string_view MQTT = "Mqtt";

// Every key the program writes, in the order the file is written.
template <typename Values, typename Visit>
void ForEachKey(Values& v, Visit&& visit) {
    visit(OPTIONS, "WindowsTop", v.options.top);
    visit(OPTIONS, "WindowsLeft", v.options.left);
    visit(OPTIONS, "WindowsWidth", v.options.width);
    visit(OPTIONS, "WindowsHeight", v.options.height);
    visit(OPTIONS, "TreeViewWidth", v.options.tree_view_width);
    visit(OPTIONS, "RichEditHeight", v.options.rich_edit_height);
    visit(PANELS, "ToolButtons", v.panels.tool_buttons);
    visit(PANELS, "TreeDevices", v.panels.tree_devices);
    visit(PANELS, "LogApplication", v.panels.log_application);
    for (std::size_t i = 0; i < v.fields.size(); ++i) {
        visit(FIELDS_WIDTH, RECORD_FIELD_KEYS[i], v.fields[i].width);
        visit(FIELDS_CHECKED, RECORD_FIELD_KEYS[i], v.fields[i].checked);
    }
    for (const TSetupKey& key : SETUP_KEYS) {
        if (key.written) {
            std::visit([&](auto member) { visit(SETUP, key.name, v.setup.*member); }, key.value);
        }
    }
    visit(OPERATOR, "Name", v.operator_name);
    visit(MQTT, "Enabled", v.mqtt.enabled);
    visit(MQTT, "Host", v.mqtt.host);
    visit(MQTT, "Port", v.mqtt.port);
    visit(MQTT, "Tls", v.mqtt.tls);
    visit(MQTT, "CaFile", v.mqtt.ca_file);
    visit(MQTT, "User", v.mqtt.user);
    visit(MQTT, "Password", v.mqtt.password);
    visit(MQTT, "ClientId", v.mqtt.client_id);
    visit(MQTT, "Prefix", v.mqtt.prefix);
    visit(MQTT, "Commands", v.mqtt.commands);
    visit(MQTT, "Discovery", v.mqtt.discovery);
}

// Each value comes in holding its default.
void Read(const TProfileFile& file, std::string_view section, std::string_view key,
          std::int32_t& value) {
    value = file.ReadInteger(section, key, value);
}
void Read(const TProfileFile& file, std::string_view section, std::string_view key, bool& value) {
    value = file.ReadBool(section, key, value);
}
void Read(const TProfileFile& file, std::string_view section, std::string_view key,
          std::string& value) {
    value = file.ReadString(section, key, value);
}

// Each value as the file holds it.
std::string Text(std::int32_t value) {
    return std::to_string(value);
}
std::string Text(bool value) {
    return value ? "1" : "0";
}
std::string Text(const std::string& value) {
    return value;
}

} // namespace

TSettingsFileValues ReadSettingsFile(const TProfileFile& file, const std::string& default_db_file) {
    TSettingsFileValues values;
    values.setup.db_file = default_db_file;
    ForEachKey(values, [&](std::string_view section, std::string_view key, auto& value) {
        Read(file, section, key, value);
    });
    Read(file, SETUP, SetupKey(&TSetupOptions::is_log_debug).name, values.setup.is_log_debug);
    return values;
}

bool WriteSettingsFile(TProfileFile& file, const TSettingsFileValues& values, bool write_options) {
    // One save of the file for all the keys.
    std::vector<TProfileValue> keys;
    ForEachKey(values, [&](std::string_view section, std::string_view key, const auto& value) {
        if (write_options || section != OPTIONS) {
            keys.push_back({section, key, Text(value)});
        }
    });
    return file.WriteStrings(keys);
}
