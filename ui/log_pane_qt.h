#pragma once

// The log pane on a QPlainTextEdit: one block per log line, drawn in the line's colours, and
// painting held back for a whole flush so the pane repaints once per flush.

#include <QPointer>

#include "log/log_pane.h"

class QPlainTextEdit;

class TQtLogPane final : public TLogPane {
public:
    explicit TQtLogPane(QPlainTextEdit* edit);

    bool Exists() const override;
    void BeginUpdate() override;
    void EndUpdate() override;
    void AppendLine(std::string_view text, const TMessageStyle& style) override;
    int LineCount() const override;
    void DeleteFirstLine() override;
    void ScrollToEnd() override;
    void Clear() override;

private:
    // The edit belongs to the window; the pane only notices when it is gone.
    QPointer<QPlainTextEdit> edit_;
};
