#include "ui/settings/settings_file.h"

namespace {

constexpr std::string_view OPTIONS = "Options";
constexpr std::string_view PANELS = "Panels";
constexpr std::string_view FIELDS_WIDTH = "FieldsWidth";
constexpr std::string_view FIELDS_CHECKED = "FieldsChecked";
constexpr std::string_view SETUP = "Setup";

// Writes keys in order until one fails; every later write is skipped.
class TKeyWriter {
public:
    explicit TKeyWriter(TProfileFile& file) : file_(file) {}

    void Integer(std::string_view section, std::string_view key, std::int32_t value) {
        ok_ = ok_ && file_.WriteInteger(section, key, value);
    }
    void Bool(std::string_view section, std::string_view key, bool value) {
        ok_ = ok_ && file_.WriteBool(section, key, value);
    }
    void String(std::string_view section, std::string_view key, std::string_view value) {
        ok_ = ok_ && file_.WriteString(section, key, value);
    }
    bool Ok() const { return ok_; }

private:
    TProfileFile& file_;
    bool ok_ = true;
};

} // namespace

TSettingsFileValues ReadSettingsFile(const TProfileFile& file, const std::string& default_db_file) {
    TSettingsFileValues v;
    const TSettingsFileValues d;
    v.options.top = file.ReadInteger(OPTIONS, "WindowsTop", d.options.top);
    v.options.left = file.ReadInteger(OPTIONS, "WindowsLeft", d.options.left);
    v.options.width = file.ReadInteger(OPTIONS, "WindowsWidth", d.options.width);
    v.options.height = file.ReadInteger(OPTIONS, "WindowsHeight", d.options.height);
    v.options.tree_view_width =
        file.ReadInteger(OPTIONS, "TreeViewWidth", d.options.tree_view_width);
    v.options.rich_edit_height =
        file.ReadInteger(OPTIONS, "RichEditHeight", d.options.rich_edit_height);

    v.panels.tool_buttons = file.ReadBool(PANELS, "ToolButtons", d.panels.tool_buttons);
    v.panels.tree_devices = file.ReadBool(PANELS, "TreeDevices", d.panels.tree_devices);
    v.panels.log_application = file.ReadBool(PANELS, "LogApplication", d.panels.log_application);

    for (std::size_t i = 0; i < v.fields.size(); ++i) {
        v.fields[i].width = file.ReadInteger(FIELDS_WIDTH, RECORD_FIELD_KEYS[i], d.fields[i].width);
        v.fields[i].checked =
            file.ReadBool(FIELDS_CHECKED, RECORD_FIELD_KEYS[i], d.fields[i].checked);
    }

    v.setup.db_file = file.ReadString(SETUP, "DBFile", default_db_file);
    v.setup.show_lines = file.ReadInteger(SETUP, "ShowLines", d.setup.show_lines);
    v.setup.com_num = file.ReadInteger(SETUP, "ComNum", d.setup.com_num);
    v.setup.ctrl_dtr = file.ReadBool(SETUP, "CtrlDtr", d.setup.ctrl_dtr);
    v.setup.ctrl_rts = file.ReadBool(SETUP, "CtrlRts", d.setup.ctrl_rts);
    v.setup.ctrl_inv = file.ReadBool(SETUP, "CtrlInv", d.setup.ctrl_inv);
    v.setup.is_log_debug = file.ReadBool(SETUP, "IsLogDebug", d.setup.is_log_debug);
    v.setup.is_sound = file.ReadBool(SETUP, "IsSound", d.setup.is_sound);
    v.setup.is_auto_run = file.ReadBool(SETUP, "IsAutoRun", d.setup.is_auto_run);
    v.setup.records_mask = file.ReadInteger(SETUP, "RecordsMask", d.setup.records_mask);
    return v;
}

bool WriteSettingsFile(TProfileFile& file, const TSettingsFileValues& values, bool write_options) {
    TKeyWriter w(file);
    if (write_options) {
        w.Integer(OPTIONS, "WindowsTop", values.options.top);
        w.Integer(OPTIONS, "WindowsLeft", values.options.left);
        w.Integer(OPTIONS, "WindowsWidth", values.options.width);
        w.Integer(OPTIONS, "WindowsHeight", values.options.height);
        w.Integer(OPTIONS, "TreeViewWidth", values.options.tree_view_width);
        w.Integer(OPTIONS, "RichEditHeight", values.options.rich_edit_height);
    }
    w.Bool(PANELS, "ToolButtons", values.panels.tool_buttons);
    w.Bool(PANELS, "TreeDevices", values.panels.tree_devices);
    w.Bool(PANELS, "LogApplication", values.panels.log_application);
    for (std::size_t i = 0; i < values.fields.size(); ++i) {
        w.Integer(FIELDS_WIDTH, RECORD_FIELD_KEYS[i], values.fields[i].width);
        w.Bool(FIELDS_CHECKED, RECORD_FIELD_KEYS[i], values.fields[i].checked);
    }
    w.String(SETUP, "DBFile", values.setup.db_file);
    w.Integer(SETUP, "ShowLines", values.setup.show_lines);
    w.Integer(SETUP, "ComNum", values.setup.com_num);
    w.Bool(SETUP, "CtrlDtr", values.setup.ctrl_dtr);
    w.Bool(SETUP, "CtrlRts", values.setup.ctrl_rts);
    w.Bool(SETUP, "CtrlInv", values.setup.ctrl_inv);
    w.Bool(SETUP, "IsSound", values.setup.is_sound);
    w.Bool(SETUP, "IsAutoRun", values.setup.is_auto_run);
    w.Integer(SETUP, "RecordsMask", values.setup.records_mask);
    return w.Ok();
}
