#include "ui/table_cell.h"

namespace {

constexpr qsizetype CELL_CHARACTERS = 500;

} // namespace

QString OneLineCell(const std::string& text) {
    QString cell = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    cell.replace(QChar('\n'), QChar(' ')).replace(QChar('\r'), QChar(' '));
    cell.replace(QChar(0), QChar(' '));
    return cell.size() > CELL_CHARACTERS ? cell.left(CELL_CHARACTERS) + QStringLiteral("…") : cell;
}
