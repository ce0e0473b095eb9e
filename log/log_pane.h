#pragma once

#include <string_view>

#include "common/style.h"

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
    virtual void AppendLine(std::string_view text, const TMessageStyle& style) = 0;
    virtual int LineCount() const = 0;
    virtual void DeleteFirstLine() = 0;
    // Scroll so that the end of the text (the caret) is visible.
    virtual void ScrollToEnd() = 0;
    virtual void Clear() = 0;
};
