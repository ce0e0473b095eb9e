#pragma once

// Record pages painted on a paged device, a PDF file or a printer: each page headed by the
// filter and the time of the export, then the captions and the rows in the catalogue's colours.
// GUI thread.

#include <QFont>
#include <QPainter>

#include <memory>
#include <string>

#include "records/record_export.h"

class QPagedPaintDevice;

class TRecordPagesPainter final : public TExportWriter {
public:
    // `device` outlives the painter, which does not own it.
    explicit TRecordPagesPainter(QPagedPaintDevice& device);
    // A PDF file at `path`, A4 landscape, painted by a painter that owns its writer.
    static std::unique_ptr<TExportWriter> MakePdfWriter(const std::string& path);

    bool Begin(const TExportHeading& heading) override;
    bool Row(const TExportCells& cells, const TMessageStyle& style) override;
    bool Finish() override;
    std::string Error() const override { return error_; }
    int PageCount() const { return pages_; }

private:
    // The heading and the captions at the top of a page.
    void PageTop();
    void Cells(const TExportCells& cells, const QFont& font);

    QPagedPaintDevice& device_;
    QPainter painter_;
    TExportHeading heading_;
    QFont font_;
    QFont bold_;
    int row_height_ = 0;
    int y_ = 0;
    int pages_ = 0;
    std::string error_;
};
