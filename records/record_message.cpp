#include <array>
#include <ctime>
#include <span>

#include <fmt/format.h>

#include "common/text.h"
#include "log/log.h"
#include "records/message_format.h"
#include "records/record.h"

namespace {

// The arguments a type's record form takes, in order: N the element number (index + 1), T the
// code-byte text, R the remote text, V the whole value, C0..C3 its bytes, and the date and
// time of the value taken as seconds since 1970 (universal time).
enum class TArgs { VERBATIM, T, R, NT, TNR, NTR, NR, V, BYTES, DATE };

struct TTypeForm {
    std::string_view code_key; // prefix of the code-byte key; empty when the type has none
    bool code_unsigned;        // the setting of an on/off or set-control acknowledgement
    bool reads_remote;
    bool has_tree_form; // the device form uses device_format with T
    TArgs args;
};

constexpr std::array<TTypeForm, RECORD_TYPE_COUNT> TYPE_FORMS = {{
    {"", false, false, false, TArgs::VERBATIM},  // FIND_NEW_DEVICE
    {"", false, false, false, TArgs::VERBATIM},  // RECOVERY_DEVICE
    {"", false, false, false, TArgs::VERBATIM},  // LOSS_DEVICE
    {"state_", false, false, true, TArgs::T},    // MAX_STATE
    {"state_", false, false, true, TArgs::T},    // DEVICE_STATE
    {"power_", false, false, true, TArgs::T},    // DEVICE_POWER
    {"battery_", false, false, true, TArgs::T},  // DEVICE_BATTERY
    {"", false, true, false, TArgs::R},          // DEVICE_RESET
    {"state_", false, false, true, TArgs::NT},   // LINE_STATE
    {"state_", true, true, false, TArgs::TNR},   // LINE_ON_OFF
    {"type_", false, false, true, TArgs::NT},    // LINE_TYPE
    {"type_", false, true, false, TArgs::NTR},   // LINE_SET_TYPE
    {"", false, true, false, TArgs::NR},         // LINE_RESET
    {"state_", false, false, true, TArgs::NT},   // SENSOR_STATE
    {"state_", true, true, false, TArgs::TNR},   // SENSOR_ON_OFF
    {"", false, true, false, TArgs::NR},         // SENSOR_RESET
    {"state_", false, false, true, TArgs::NT},   // RELAY_STATE
    {"state_", true, true, false, TArgs::TNR},   // RELAY_ON_OFF
    {"control_", false, false, true, TArgs::NT}, // RELAY_CONTROL
    {"control_", true, true, false, TArgs::TNR}, // RELAY_SET_CONTROL
    {"type_", false, false, true, TArgs::NT},    // RELAY_TYPE
    {"type_", false, true, false, TArgs::NTR},   // RELAY_SET_TYPE
    {"mode_", false, false, true, TArgs::NT},    // RELAY_MODE
    {"mode_", false, true, false, TArgs::NTR},   // RELAY_SET_MODE
    {"", false, false, false, TArgs::V},         // SET_DEVICE_ID
    {"", false, false, false, TArgs::V},         // SET_ADDRESS
    {"", false, false, false, TArgs::BYTES},     // SET_USER_NAME
    {"", false, false, false, TArgs::DATE},      // SYNCHRO_TIME
}};

constexpr std::size_t MAX_ARGS = 6;

class TArgList {
public:
    // No type passes more than MAX_ARGS; a further one would be dropped, never written past.
    void Add(TFormatArg arg) {
        if (count_ < args_.size()) {
            args_[count_++] = arg;
        }
    }
    std::span<const TFormatArg> Get() const { return {args_.data(), count_}; }

private:
    std::array<TFormatArg, MAX_ARGS> args_{};
    std::size_t count_ = 0;
};

std::int32_t SignedByte(std::int32_t value, int shift) {
    return static_cast<std::int8_t>(static_cast<std::uint8_t>((value >> shift) & 0xFF));
}

// The device's clock counts seconds since 1970 in 32 unsigned bits, so the value is taken
// unsigned: a time past 2038 must not show as a date before 1970.
void AddDate(std::int32_t value, TArgList& args) {
    const auto seconds = static_cast<std::time_t>(static_cast<std::uint32_t>(value));
    std::tm tm{};
    ::gmtime_r(&seconds, &tm);
    args.Add(tm.tm_mday);
    args.Add(tm.tm_mon + 1);
    args.Add(tm.tm_year + 1900);
    args.Add(tm.tm_hour);
    args.Add(tm.tm_min);
    args.Add(tm.tm_sec);
}

// The catalogue key of a value's code byte, such as "state_6"; empty for a type without one.
std::string CodeKey(const TTypeForm& form, std::int32_t value) {
    if (form.code_key.empty()) {
        return {};
    }
    const std::int32_t code =
        form.code_unsigned ? static_cast<std::int32_t>(RecordCode(value)) : SignedByte(value, 0);
    return fmt::format("{}{}", form.code_key, code);
}

void AddRecordArgs(const TTypeForm& form, std::int32_t value, std::string_view code_text,
                   std::string_view remote_text, TArgList& args) {
    const std::int32_t number = static_cast<std::int32_t>(RecordIndex(value)) + 1;
    switch (form.args) {
    case TArgs::VERBATIM:
        break;
    case TArgs::T:
        args.Add(code_text);
        break;
    case TArgs::R:
        args.Add(remote_text);
        break;
    case TArgs::NT:
        args.Add(number);
        args.Add(code_text);
        break;
    case TArgs::TNR:
        args.Add(code_text);
        args.Add(number);
        args.Add(remote_text);
        break;
    case TArgs::NTR:
        args.Add(number);
        args.Add(code_text);
        args.Add(remote_text);
        break;
    case TArgs::NR:
        args.Add(number);
        args.Add(remote_text);
        break;
    case TArgs::V:
        args.Add(value);
        break;
    case TArgs::BYTES:
        for (int shift = 0; shift < 32; shift += 8) {
            args.Add(SignedByte(value, shift));
        }
        break;
    case TArgs::DATE:
        AddDate(value, args);
        break;
    }
}

} // namespace

std::string TRecord::SplitValue(std::string_view value, std::string& styleName) {
    const std::size_t semicolon = value.find(';');
    if (semicolon == std::string_view::npos) {
        return Trim(value);
    }
    styleName = Trim(value.substr(semicolon + 1));
    return Trim(value.substr(0, semicolon));
}

bool TRecord::ReadStyle(const TProfileFile& file, const std::string& name,
                        TMessageStyle& style) const {
    if (!file.SectionExists(name)) {
        LogMissingSection(name);
        return false;
    }
    const TMessageStyle defaults;
    style.font_color = static_cast<std::uint32_t>(file.ReadInteger(
                           name, "font_color", static_cast<std::int32_t>(defaults.font_color))) &
                       TMessageStyle::COLOR_MASK;
    style.bg_color = static_cast<std::uint32_t>(file.ReadInteger(
                         name, "bg_color", static_cast<std::int32_t>(defaults.bg_color))) &
                     TMessageStyle::COLOR_MASK;
    style.is_bold = file.ReadBool(name, "is_bold", false);
    style.is_italic = file.ReadBool(name, "is_italic", false);
    style.is_underline = file.ReadBool(name, "is_underline", false);
    style.is_strikeout = file.ReadBool(name, "is_strikeout", false);
    return true;
}

bool TRecord::GetRecordMessage(std::uint8_t type, std::int32_t value, bool forRecord,
                               TMessageStyle& style, std::string& text) const {
    text.clear();
    style = TMessageStyle{};
    if (type >= RECORD_TYPE_COUNT) {
        TLog::Addf(links_.log, LOG_TYPE_ERROR, "Неизвестный тип записи %d", type);
        return false;
    }
    const auto file = catalogue_.Current();
    const std::string_view section = RecordTypeName(type);
    if (!file->SectionExists(section)) {
        LogMissingSection(section);
        return false;
    }
    const std::string device_format = file->ReadString(section, "device_format", "");
    const std::string record_format = file->ReadString(section, "record_format", "");
    if (record_format.empty()) {
        TLog::Addf(links_.log, LOG_TYPE_ERROR,
                   "Не найдено поле формата \"record_format\" в секции \"%s\" в INI файле "
                   "сообщений \"%s\"",
                   section, CATALOGUE_FILE_NAME);
        return false;
    }
    std::string style_name = file->ReadString(section, "color", "");
    if (style_name.empty()) {
        TLog::Addf(links_.log, LOG_TYPE_ERROR,
                   "Не найдено поле \"color\" в секции \"%s\" в INI файле сообщений \"%s\"",
                   section, CATALOGUE_FILE_NAME);
        return false;
    }

    const TTypeForm& form = TYPE_FORMS[type];
    // The remote text is split first, so that a style named by the code text wins.
    std::string remote_text;
    if (form.reads_remote) {
        const std::string key = fmt::format("remote_{}", SignedByte(value, 8));
        remote_text = SplitValue(file->ReadString(section, key, "???"), style_name);
    }
    std::string code_text;
    if (!form.code_key.empty()) {
        code_text = SplitValue(file->ReadString(section, CodeKey(form, value), "???"), style_name);
    }

    TArgList args;
    const bool tree_form = form.has_tree_form && !forRecord;
    if (tree_form) {
        args.Add(code_text);
    } else {
        AddRecordArgs(form, value, code_text, remote_text, args);
    }
    if (form.args == TArgs::VERBATIM) {
        text = record_format;
    } else if (!FormatCatalogueText(tree_form ? device_format : record_format, args.Get(), text)) {
        TLog::Addf(links_.log, LOG_TYPE_ERROR,
                   "Ошибка в поле формата \"%s\" в секции \"%s\" в INI файле сообщений \"%s\"",
                   tree_form ? "device_format" : "record_format", section, CATALOGUE_FILE_NAME);
        return false;
    }

    // A value that ends in a bare semicolon asks for the default style.
    if (style_name.empty()) {
        return true;
    }
    return ReadStyle(*file, style_name, style);
}

bool TRecord::GetStyle(const std::string& name, TMessageStyle& style) const {
    style = TMessageStyle{};
    return ReadStyle(*catalogue_.Current(), name, style);
}

TAlarmClass TRecord::GetAlarmClass(std::uint8_t type, std::int32_t value) const {
    if (type >= RECORD_TYPE_COUNT || TYPE_FORMS[type].code_key.empty()) {
        return TAlarmClass::Normal;
    }
    const auto file = catalogue_.Current();
    std::string style_name;
    SplitValue(file->ReadString(RecordTypeName(type), CodeKey(TYPE_FORMS[type], value), ""),
               style_name);
    return AlarmClassOfStyle(style_name);
}
