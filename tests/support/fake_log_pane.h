#pragma once

#include <functional>
#include <string>
#include <vector>

#include "common/timer.h"
#include "log/log_pane.h"

// A log pane that keeps its lines and counts the calls the log makes.
class FakeLogPane : public TLogPane {
public:
    struct Line {
        std::string text;
        TMessageStyle style;
    };

    bool Exists() const override { return exists; }
    void BeginUpdate() override { ++begin_updates; }
    void EndUpdate() override { ++end_updates; }
    void AppendLine(std::string_view text, const TMessageStyle& style) override;
    int LineCount() const override { return static_cast<int>(lines.size()); }
    void DeleteFirstLine() override;
    void ScrollToEnd() override { ++scrolls; }
    void Clear() override;

    bool exists = true;
    bool deletes_lines = true; // false models a pane whose delete does nothing
    std::vector<Line> lines;
    int begin_updates = 0;
    int end_updates = 0;
    int scrolls = 0;
    int clears = 0;
};

// A timer driven by hand: Fire() runs the handler when the timer is enabled.
class FakeTimer : public TTimer {
public:
    void SetHandler(std::function<void()> handler) override { handler_ = std::move(handler); }
    void SetInterval(int ms) override { interval = ms; }
    void SetEnabled(bool on) override { enabled = on; }
    bool IsEnabled() const override { return enabled; }
    // Returns whether the handler ran.
    bool Fire();

    int interval = 0;
    bool enabled = false;

private:
    std::function<void()> handler_;
};
