#include "records/cell_text.h"

#include <algorithm>
#include <string_view>

#include "common/text.h"
#include "records/record.h"

std::string DeviceIdText(std::uint32_t device_id) {
    std::string text;
    SafeSprintf(text, "%08X", device_id);
    return text;
}

std::string DeviceNameText(const char (&name)[DeviceNameSize]) {
    const auto* end = std::find(name, name + DeviceNameSize, '\0');
    return Cp1251ToUtf8(std::string_view(name, static_cast<std::size_t>(end - name)));
}

std::string LocalTimeText(std::time_t utime) {
    std::tm tm{};
    if (::localtime_r(&utime, &tm) == nullptr) {
        return "???";
    }
    std::string text;
    SafeSprintf(text, "%02d/%02d/%04d %02d:%02d:%02d", tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

std::string RecordFieldText(const TRecord& record, const TRecordRow& row, int field,
                            TMessageStyle& style) {
    switch (field) {
    case 0:
        return std::to_string(row.id);
    case 1:
        return DeviceIdText(row.device_id);
    case 2:
        return LocalTimeText(row.utime);
    case 3:
        return std::to_string(row.address);
    case 4:
        return DeviceNameText(row.const_name);
    case 5:
        return DeviceNameText(row.user_name);
    case 6:
        return record.GetTypeName(row.type);
    default:
        break;
    }
    std::string text;
    if (!record.GetRecordMessage(static_cast<std::uint8_t>(row.type), row.value, true, style,
                                 text)) {
        text = "???";
    }
    return text;
}
