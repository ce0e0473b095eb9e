#pragma once

#include <cstdint>
#include <string_view>

// Colours are 0x00BBGGRR: red in the low byte, as everywhere in the program.
constexpr std::uint32_t MakeColor(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
    return static_cast<std::uint32_t>(red) | (static_cast<std::uint32_t>(green) << 8) |
           (static_cast<std::uint32_t>(blue) << 16);
}

// How a line is drawn in the log pane.
struct TLogStyle {
    std::uint32_t font_color = 0x000000;
    std::uint32_t bg_color = 0xFFFFFF;
    bool is_bold = false;
    bool is_italic = false;
    bool is_underline = false;
    bool is_strikeout = false;
};

// The log pane of the main window as the log sees it. Only TLog::Flush calls it, on the GUI
// thread. Texts are UTF-8.
class TLogPane {
public:
    virtual ~TLogPane() = default;

    // Whether the pane's window exists; while it does not, lines wait in the log's queue.
    virtual bool Exists() const = 0;
    // Suspend and resume repainting around a batch of changes.
    virtual void BeginUpdate() = 0;
    virtual void EndUpdate() = 0;
    // Put the caret at the end, set the selection's colours and font styles, append the line.
    virtual void AppendLine(std::string_view text, const TLogStyle& style) = 0;
    virtual int LineCount() const = 0;
    virtual void DeleteFirstLine() = 0;
    // Scroll so that the end of the text (the caret) is visible.
    virtual void ScrollToEnd() = 0;
    virtual void Clear() = 0;
};
