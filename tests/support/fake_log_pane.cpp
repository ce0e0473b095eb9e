#include "support/fake_log_pane.h"

void FakeLogPane::AppendLine(std::string_view text, const TMessageStyle& style) {
    lines.push_back({std::string(text), style});
}

void FakeLogPane::DeleteFirstLine() {
    if (deletes_lines && !lines.empty()) {
        lines.erase(lines.begin());
    }
}

void FakeLogPane::Clear() {
    lines.clear();
    ++clears;
}

bool FakeTimer::Fire() {
    if (!enabled || !handler_) {
        return false;
    }
    handler_();
    return true;
}
