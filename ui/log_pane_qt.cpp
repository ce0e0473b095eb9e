#include "ui/log_pane_qt.h"

#include "log/log.h"

#include <QColor>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>

namespace {

QColor ToQColor(std::uint32_t color) {
    return {static_cast<int>(color & 0xFF), static_cast<int>((color >> 8) & 0xFF),
            static_cast<int>((color >> 16) & 0xFF)};
}

} // namespace

TQtLogPane::TQtLogPane(QPlainTextEdit* edit) : edit_(edit) {
    // The document drops its oldest blocks itself, far cheaper than one removal per line, so
    // the log never finds more than its 500 lines here.
    if (edit_) {
        edit_->setMaximumBlockCount(TLog::PaneMaxLines);
    }
}

bool TQtLogPane::Exists() const {
    return !edit_.isNull();
}

void TQtLogPane::BeginUpdate() {
    if (edit_) {
        edit_->setUpdatesEnabled(false);
    }
}

void TQtLogPane::EndUpdate() {
    if (edit_) {
        edit_->setUpdatesEnabled(true);
    }
}

void TQtLogPane::AppendLine(std::string_view text, const TMessageStyle& style) {
    if (!edit_) {
        return;
    }
    QTextCharFormat format;
    format.setForeground(ToQColor(style.font_color));
    format.setBackground(ToQColor(style.bg_color));
    format.setFontWeight(style.is_bold ? QFont::Bold : QFont::Normal);
    format.setFontItalic(style.is_italic);
    format.setFontUnderline(style.is_underline);
    format.setFontStrikeOut(style.is_strikeout);
    QTextDocument* document = edit_->document();
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::End);
    // An empty document already has the block the first line goes into.
    if (!document->isEmpty()) {
        cursor.insertBlock();
    }
    cursor.insertText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())), format);
}

int TQtLogPane::LineCount() const {
    if (!edit_ || edit_->document()->isEmpty()) {
        return 0;
    }
    return edit_->document()->blockCount();
}

void TQtLogPane::DeleteFirstLine() {
    if (!edit_) {
        return;
    }
    QTextCursor cursor(edit_->document());
    cursor.movePosition(QTextCursor::Start);
    // The line and the break after it; the last line has none.
    if (!cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor)) {
        cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    }
    cursor.removeSelectedText();
}

void TQtLogPane::ScrollToEnd() {
    if (edit_) {
        edit_->verticalScrollBar()->setValue(edit_->verticalScrollBar()->maximum());
    }
}

void TQtLogPane::Clear() {
    if (edit_) {
        edit_->clear();
    }
}
