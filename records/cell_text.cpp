#include "records/cell_text.h"

#include <algorithm>
#include <string_view>

#include "common/text.h"

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
