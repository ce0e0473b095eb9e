#include "ui/record_pages_painter.h"

#include <QPageLayout>
#include <QPdfWriter>

#include <array>

#include "ui/record_list_style.h"

namespace {

// The share of the page's width each field takes, in hundredths.
constexpr std::array<int, RECORD_FIELD_COUNT> ColumnShares = {7, 8, 13, 5, 12, 12, 13, 30};

// The painter and the PDF writer it paints on, gone together.
class TPdfFileWriter final : public TExportWriter {
public:
    explicit TPdfFileWriter(const std::string& path)
        : writer_(QString::fromStdString(path)), pages_(writer_) {
        writer_.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Landscape,
                                          QMarginsF(10, 10, 10, 10), QPageLayout::Millimeter));
        writer_.setResolution(150);
        writer_.setCreator(QStringLiteral("ktev"));
    }
    bool Begin(const TExportHeading& heading) override {
        writer_.setTitle(QStringLiteral("Записи: %1").arg(QString::fromStdString(heading.filter)));
        return pages_.Begin(heading);
    }
    bool Row(const TExportCells& cells, const TMessageStyle& style) override {
        return pages_.Row(cells, style);
    }
    bool Finish() override { return pages_.Finish(); }
    std::string Error() const override { return pages_.Error(); }

private:
    QPdfWriter writer_;
    TRecordPagesPainter pages_;
};

} // namespace

TRecordPagesPainter::TRecordPagesPainter(QPagedPaintDevice& device) : device_(device) {}

std::unique_ptr<TExportWriter> TRecordPagesPainter::MakePdfWriter(const std::string& path) {
    return std::make_unique<TPdfFileWriter>(path);
}

bool TRecordPagesPainter::Begin(const TExportHeading& heading) {
    heading_ = heading;
    if (!painter_.begin(&device_)) {
        error_ = "страницы не начаты: устройство печати или файл PDF недоступны";
        return false;
    }
    font_ = QFont(QStringLiteral("Sans Serif"), 7);
    bold_ = font_;
    bold_.setBold(true);
    painter_.setFont(font_);
    row_height_ = painter_.fontMetrics().height() * 13 / 10;
    PageTop();
    return true;
}

void TRecordPagesPainter::PageTop() {
    ++pages_;
    const int width = painter_.viewport().width();
    painter_.setPen(Qt::black);
    painter_.setFont(bold_);
    const QRect line(0, 0, width, row_height_);
    painter_.drawText(line, Qt::AlignLeft | Qt::AlignVCenter,
                      QStringLiteral("Записи: %1").arg(QString::fromStdString(heading_.filter)));
    painter_.drawText(line, Qt::AlignRight | Qt::AlignVCenter,
                      QStringLiteral("Экспорт %1, стр. %2")
                          .arg(QString::fromStdString(heading_.time))
                          .arg(pages_));
    y_ = row_height_ * 3 / 2;
    TExportCells captions;
    std::copy(RECORD_FIELD_CAPTIONS.begin(), RECORD_FIELD_CAPTIONS.end(), captions.begin());
    Cells(captions, bold_);
    painter_.drawLine(0, y_, width, y_);
}

void TRecordPagesPainter::Cells(const TExportCells& cells, const QFont& font) {
    painter_.setFont(font);
    const int width = painter_.viewport().width();
    const QFontMetrics metrics(font, &device_);
    int x = 0;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const int column = i + 1 == cells.size() ? width - x : width * ColumnShares[i] / 100;
        const QRect cell(x + 2, y_, column - 4, row_height_);
        painter_.drawText(cell, Qt::AlignLeft | Qt::AlignVCenter,
                          metrics.elidedText(QString::fromStdString(cells[i]).simplified(),
                                             Qt::ElideRight, cell.width()));
        x += column;
    }
    y_ += row_height_;
}

bool TRecordPagesPainter::Row(const TExportCells& cells, const TMessageStyle& style) {
    if (y_ + row_height_ > painter_.viewport().height()) {
        if (!device_.newPage()) {
            error_ = "новая страница не начата";
            return false;
        }
        PageTop();
    }
    if (style.bg_color != TMessageStyle{}.bg_color) {
        painter_.fillRect(0, y_, painter_.viewport().width(), row_height_,
                          StyleColor(style.bg_color));
    }
    painter_.setPen(StyleColor(style.font_color));
    QFont font = font_;
    font.setBold(style.is_bold);
    font.setItalic(style.is_italic);
    font.setUnderline(style.is_underline);
    font.setStrikeOut(style.is_strikeout);
    Cells(cells, font);
    return true;
}

bool TRecordPagesPainter::Finish() {
    if (!painter_.end()) {
        error_ = "страницы не записаны";
        return false;
    }
    return true;
}
