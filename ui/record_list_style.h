#pragma once

// Drawing rows and nodes in the display styles of the message catalogue.

#include <QColor>
#include <QStyledItemDelegate>
#include <QVariant>

#include "common/style.h"

// A colour of the program (0x00BBGGRR, red in the low byte) as a Qt colour.
QColor StyleColor(std::uint32_t color);
// A model's answer for the foreground, background and font roles; empty for other roles.
QVariant StyleData(const TMessageStyle& style, int role);

// Draws every item in the colours and font its model gives (foreground, background and font
// roles). The record list draws its selected row so too and only frames it; the device tree
// draws a selected node in the view's own selection colours and font.
class TMessageStyleDelegate final : public QStyledItemDelegate {
public:
    enum class TSelected { KeepStyle, ViewColours };

    explicit TMessageStyleDelegate(TSelected selected, QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;

private:
    TSelected selected_;
};
