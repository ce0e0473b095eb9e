#pragma once

// How grave a state is. The message catalogue decides it: the style a code's text is drawn in
// ("Пожар;Alarm") names its class, so a site that redraws a code changes its sound with it.

#include <cstdint>
#include <string_view>

#include "common/style.h"

enum class TAlarmClass : std::uint8_t { Normal, Fault, Attention, Alarm };

// The class a catalogue style name stands for (names compare without regard to case, as the
// catalogue's sections do); Normal for any style not in the table.
TAlarmClass AlarmClassOfStyle(std::string_view style_name);

// The gravest of several states and the style it is drawn in: alarm over attention over fault
// over the rest. Of equally grave states the first noted stays, so a line's own state wins a tie.
class TWorstState {
public:
    void Note(TAlarmClass alarm_class, const TMessageStyle& style);

    TAlarmClass Class() const { return class_; }
    const TMessageStyle& Style() const { return style_; }
    // Whether anything graver than normal was noted.
    bool Grave() const { return class_ != TAlarmClass::Normal; }

private:
    bool noted_ = false;
    TAlarmClass class_ = TAlarmClass::Normal;
    TMessageStyle style_;
};
