#pragma once

// How grave a state is. The message catalogue decides it: the style a code's text is drawn in
// ("Пожар;Alarm") names its class, so a site that redraws a code changes its sound with it.

#include <cstdint>
#include <string_view>

enum class TAlarmClass : std::uint8_t { Normal, Fault, Attention, Alarm };

// The class a catalogue style name stands for (names compare without regard to case, as the
// catalogue's sections do); Normal for any style not in the table.
TAlarmClass AlarmClassOfStyle(std::string_view style_name);
