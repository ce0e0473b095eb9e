#pragma once

// How a text is drawn: a catalogue message, a tree node, a record row, a log line, the status
// bar. Colours are 0x00BBGGRR: red in the low byte, as everywhere in the program.

#include <cstdint>

constexpr std::uint32_t MakeColor(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
    return static_cast<std::uint32_t>(red) | (static_cast<std::uint32_t>(green) << 8) |
           (static_cast<std::uint32_t>(blue) << 16);
}

struct TMessageStyle {
    // Only the low 24 bits of a colour are kept: the high byte has no meaning for the program,
    // and dropping it lets a style fit in one word.
    static constexpr std::uint32_t COLOR_MASK = 0xFFFFFF;

    std::uint32_t font_color = 0x000000;
    std::uint32_t bg_color = 0xFFFFFF;
    bool is_bold = false;
    bool is_italic = false;
    bool is_underline = false;
    bool is_strikeout = false;

    friend constexpr bool operator==(const TMessageStyle&, const TMessageStyle&) = default;

    // One 64-bit word, so that a cell can be written and read in one indivisible step:
    // bits 0-23 font colour, 24-47 background colour, 48-51 bold, italic, underline, strike-out.
    constexpr std::uint64_t Pack() const {
        return static_cast<std::uint64_t>(font_color & COLOR_MASK) |
               (static_cast<std::uint64_t>(bg_color & COLOR_MASK) << 24) |
               (static_cast<std::uint64_t>(is_bold) << 48) |
               (static_cast<std::uint64_t>(is_italic) << 49) |
               (static_cast<std::uint64_t>(is_underline) << 50) |
               (static_cast<std::uint64_t>(is_strikeout) << 51);
    }

    static constexpr TMessageStyle Unpack(std::uint64_t word) {
        TMessageStyle style;
        style.font_color = static_cast<std::uint32_t>(word & COLOR_MASK);
        style.bg_color = static_cast<std::uint32_t>((word >> 24) & COLOR_MASK);
        style.is_bold = ((word >> 48) & 1) != 0;
        style.is_italic = ((word >> 49) & 1) != 0;
        style.is_underline = ((word >> 50) & 1) != 0;
        style.is_strikeout = ((word >> 51) & 1) != 0;
        return style;
    }
};
