#include "ui/record_list_style.h"

#include <QFont>
#include <QPainter>

QColor StyleColor(std::uint32_t color) {
    return QColor(static_cast<int>(color & 0xFF), static_cast<int>((color >> 8) & 0xFF),
                  static_cast<int>((color >> 16) & 0xFF));
}

QVariant StyleData(const TMessageStyle& style, int role) {
    switch (role) {
    case Qt::ForegroundRole:
        return StyleColor(style.font_color);
    case Qt::BackgroundRole:
        return StyleColor(style.bg_color);
    case Qt::FontRole: {
        // Only these attributes are set, so the view's own family and size stay.
        QFont font;
        font.setBold(style.is_bold);
        font.setItalic(style.is_italic);
        font.setUnderline(style.is_underline);
        font.setStrikeOut(style.is_strikeout);
        return font;
    }
    default:
        return {};
    }
}

TMessageStyleDelegate::TMessageStyleDelegate(TSelected selected, QObject* parent)
    : QStyledItemDelegate(parent), selected_(selected) {}

void TMessageStyleDelegate::initStyleOption(QStyleOptionViewItem* option,
                                            const QModelIndex& index) const {
    const QFont view_font = option->font;
    QStyledItemDelegate::initStyleOption(option, index);
    if (selected_ == TSelected::ViewColours && option->state.testFlag(QStyle::State_Selected)) {
        option->font = view_font;
        option->backgroundBrush = QBrush();
    }
}

void TMessageStyleDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                  const QModelIndex& index) const {
    if (selected_ == TSelected::ViewColours || !option.state.testFlag(QStyle::State_Selected)) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    // The row keeps its alarm colours when selected: a frame marks the selection instead.
    QStyleOptionViewItem plain = option;
    plain.state.setFlag(QStyle::State_Selected, false);
    plain.state.setFlag(QStyle::State_HasFocus, false);
    QStyledItemDelegate::paint(painter, plain, index);
    painter->save();
    painter->setPen(QPen(option.palette.color(QPalette::Active, QPalette::Highlight), 2));
    const QRect r = option.rect.adjusted(0, 1, 0, -1);
    painter->drawLine(r.topLeft(), r.topRight());
    painter->drawLine(r.bottomLeft(), r.bottomRight());
    if (index.column() == 0) {
        painter->drawLine(r.topLeft(), r.bottomLeft());
    }
    if (index.column() == index.model()->columnCount(index.parent()) - 1) {
        painter->drawLine(r.topRight(), r.bottomRight());
    }
    painter->restore();
}
