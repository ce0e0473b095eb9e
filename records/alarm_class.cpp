#include "records/alarm_class.h"

#include <algorithm>
#include <cctype>

namespace {

struct TStyleClass {
    std::string_view style;
    TAlarmClass alarm_class;
};

// A sensor that stopped answering ("Нет связи;Offline") is a fault of the system.
constexpr TStyleClass STYLE_CLASSES[] = {
    {"Alarm", TAlarmClass::Alarm},
    {"Attention", TAlarmClass::Attention},
    {"Fault", TAlarmClass::Fault},
    {"Offline", TAlarmClass::Fault},
};

bool SameName(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

} // namespace

TAlarmClass AlarmClassOfStyle(std::string_view style_name) {
    for (const TStyleClass& entry : STYLE_CLASSES) {
        if (SameName(entry.style, style_name)) {
            return entry.alarm_class;
        }
    }
    return TAlarmClass::Normal;
}

void TWorstState::Note(TAlarmClass alarm_class, const TMessageStyle& style) {
    if (!noted_ || alarm_class > class_) {
        noted_ = true;
        class_ = alarm_class;
        style_ = style;
    }
}
