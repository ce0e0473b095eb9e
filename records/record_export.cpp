#include "records/record_export.h"

#include <xlsxwriter.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <span>

#include "common/text.h"
#include "database/sqlite.h"
#include "records/audit.h"
#include "records/cell_text.h"

namespace {

constexpr std::array<std::string_view, 3> FormatNames = {"csv", "xlsx", "pdf"};

class TCsvWriter final : public TExportWriter {
public:
    explicit TCsvWriter(std::string path) : path_(std::move(path)) {}
    ~TCsvWriter() override {
        if (file_ != nullptr) {
            std::fclose(file_);
        }
    }

    bool Begin(const TExportHeading&) override {
        file_ = std::fopen(path_.c_str(), "wb");
        if (file_ == nullptr) {
            return Failed();
        }
        // Large writes: a line at a time through the default buffer costs a third of the time.
        std::setvbuf(file_, nullptr, _IOFBF, 1 << 20);
        line_ = "\xEF\xBB\xBF";
        TExportCells captions;
        std::copy(RECORD_FIELD_CAPTIONS.begin(), RECORD_FIELD_CAPTIONS.end(), captions.begin());
        return Line(captions);
    }
    bool Row(const TExportCells& cells, const TMessageStyle&) override { return Line(cells); }
    bool Finish() override {
        const bool flushed = std::fflush(file_) == 0 && std::ferror(file_) == 0;
        if (!flushed) {
            Failed();
        }
        const bool closed = std::fclose(file_) == 0;
        file_ = nullptr;
        return flushed && (closed || Failed());
    }
    std::string Error() const override { return error_; }

private:
    bool Line(const TExportCells& cells) {
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (i != 0) {
                line_ += ';';
            }
            line_ += CsvField(cells[i]);
        }
        line_ += "\r\n";
        const bool written = std::fwrite(line_.data(), 1, line_.size(), file_) == line_.size();
        line_.clear();
        return written || Failed();
    }
    bool Failed() {
        error_ = path_ + ": " + GetLastErrorText();
        return false;
    }

    std::string path_;
    std::FILE* file_ = nullptr;
    std::string line_;
    std::string error_;
};

class TXlsxWriter final : public TExportWriter {
public:
    explicit TXlsxWriter(std::string path) : path_(std::move(path)) {}
    ~TXlsxWriter() override {
        if (book_ != nullptr) {
            workbook_close(book_);
        }
    }

    bool Begin(const TExportHeading& heading) override {
        lxw_workbook_options options{};
        // Rows go straight to the file in their order: memory stays flat at any count.
        options.constant_memory = LXW_TRUE;
        book_ = workbook_new_opt(path_.c_str(), &options);
        if (book_ == nullptr) {
            error_ = path_ + ": файл XLSX не создан";
            return false;
        }
        title_ = "Записи: " + heading.filter;
        comments_ = "Экспорт " + heading.time;
        lxw_doc_properties properties{};
        properties.title = title_.data();
        properties.comments = comments_.data();
        workbook_set_properties(book_, &properties);
        bold_ = workbook_add_format(book_);
        format_set_bold(bold_);
        return NewSheet();
    }
    bool Row(const TExportCells& cells, const TMessageStyle&) override {
        if (row_ == LXW_ROW_MAX && !NewSheet()) {
            return false;
        }
        lxw_error error = LXW_NO_ERROR;
        for (std::size_t i = 0; i < cells.size() && error == LXW_NO_ERROR; ++i) {
            const auto column = static_cast<lxw_col_t>(i);
            // The id and the address are numbers, so a sheet sorts them as such.
            error = i == 0 || i == 3
                        ? worksheet_write_number(sheet_, row_, column, std::stod(cells[i]), nullptr)
                        : worksheet_write_string(sheet_, row_, column, cells[i].c_str(), nullptr);
        }
        ++row_;
        return error == LXW_NO_ERROR || Failed(error);
    }
    bool Finish() override {
        const lxw_error error = workbook_close(book_);
        book_ = nullptr;
        return error == LXW_NO_ERROR || Failed(error);
    }
    std::string Error() const override { return error_; }

private:
    bool NewSheet() {
        sheet_ = workbook_add_worksheet(book_, nullptr);
        if (sheet_ == nullptr) {
            error_ = path_ + ": лист XLSX не создан";
            return false;
        }
        constexpr std::array<double, RECORD_FIELD_COUNT> widths = {9, 11, 20, 7, 20, 20, 22, 50};
        for (std::size_t i = 0; i < widths.size(); ++i) {
            const auto column = static_cast<lxw_col_t>(i);
            worksheet_set_column(sheet_, column, column, widths[i], nullptr);
            worksheet_write_string(sheet_, 0, column, std::string(RECORD_FIELD_CAPTIONS[i]).c_str(),
                                   bold_);
        }
        row_ = 1;
        return true;
    }
    bool Failed(lxw_error error) {
        error_ = path_ + ": " + lxw_strerror(error);
        return false;
    }

    std::string path_;
    lxw_workbook* book_ = nullptr;
    lxw_worksheet* sheet_ = nullptr;
    lxw_format* bold_ = nullptr;
    lxw_row_t row_ = 0;
    std::string title_;
    std::string comments_;
    std::string error_;
};

} // namespace

std::string_view ExportFormatName(TExportFormat format) {
    return FormatNames[static_cast<std::size_t>(format)];
}

bool ParseExportFormat(std::string_view name, TExportFormat& format) {
    const auto* found = std::find(FormatNames.begin(), FormatNames.end(), name);
    if (found == FormatNames.end()) {
        return false;
    }
    format = static_cast<TExportFormat>(found - FormatNames.begin());
    return true;
}

std::string RecordFilterText(const TRecordFilter& filter) {
    std::string text =
        filter.device_id ? "устройство " + DeviceIdText(*filter.device_id) : "все устройства";
    if (filter.from || filter.to) {
        text += filter.from ? "; с " + LocalTimeText(*filter.from) : std::string("; ");
        text += filter.to ? (filter.from ? " по " : "по ") + LocalTimeText(*filter.to) : "";
    } else {
        text += "; весь период";
    }
    text += "; типы: ";
    text += filter.records_mask ? TSQLite::GetRecordsMaskList(*filter.records_mask)
                                : std::string("по настройке RecordsMask");
    return text;
}

std::string CsvField(std::string_view text) {
    if (text.find_first_of(";\"\r\n") == std::string_view::npos) {
        return std::string(text);
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    quoted += '"';
    return quoted;
}

std::unique_ptr<TExportWriter> MakeCsvWriter(const std::string& path) {
    return std::make_unique<TCsvWriter>(path);
}

std::unique_ptr<TExportWriter> MakeXlsxWriter(const std::string& path) {
    return std::make_unique<TXlsxWriter>(path);
}

// --- TRecordExport

TRecordExport::TRecordExport(TSQLite& sqlite, const TRecord& record, const TRecordFilter& filter,
                             TExportWriter& writer, std::int64_t limit)
    : sqlite_(sqlite), record_(record), filter_(filter), writer_(writer), limit_(limit),
      page_(PAGE_ROWS) {}

bool TRecordExport::ReadPage(std::int64_t* total) {
    page_count_ = PAGE_ROWS;
    const std::span<TRecordRow> rows(page_);
    // Below the last id written: no rows skipped, none met twice, whatever is stored meanwhile.
    if (total != nullptr ? sqlite_.SelectRecords(filter_, 0, page_count_, rows, total)
                         : sqlite_.SelectRecordsBefore(filter_, last_id_, page_count_, rows)) {
        return true;
    }
    error_ = RecordFilterError(filter_);
    if (error_.empty()) {
        error_ = "записи не прочитаны из базы данных " + sqlite_.GetPath();
    }
    return false;
}

const TMessageStyle& TRecordExport::Message(const TRecordRow& row, std::string& text) {
    const std::uint64_t key = (std::uint64_t{static_cast<std::uint8_t>(row.type)} << 32) |
                              static_cast<std::uint32_t>(row.value);
    auto found = messages_.find(key);
    if (found == messages_.end()) {
        if (messages_.size() >= MESSAGES_KEPT) {
            messages_.clear();
        }
        TMessageStyle style;
        std::string made = RecordFieldText(record_, row, RECORD_FIELD_MESSAGE, style);
        found = messages_.emplace(key, std::make_pair(std::move(made), style)).first;
    }
    text = found->second.first;
    return found->second.second;
}

TRecordExport::TStep TRecordExport::Step() {
    if (!begun_) {
        begun_ = true;
        const TExportHeading heading{RecordFilterText(filter_), LocalTimeText(std::time(nullptr))};
        if (!ReadPage(&total_)) {
            return TStep::Failed;
        }
        total_ = std::min(total_, limit_);
        if (!writer_.Begin(heading)) {
            error_ = writer_.Error();
            return TStep::Failed;
        }
    } else if (!ReadPage(nullptr)) {
        return TStep::Failed;
    }
    TExportCells cells;
    for (int i = 0; i < page_count_ && written_ < limit_; ++i) {
        const TRecordRow& row = page_[static_cast<std::size_t>(i)];
        last_id_ = row.id;
        // Only the message has a style.
        TMessageStyle unused;
        for (int field = 0; field < RECORD_FIELD_MESSAGE; ++field) {
            cells[static_cast<std::size_t>(field)] = RecordFieldText(record_, row, field, unused);
        }
        const TMessageStyle& style = Message(row, cells[RECORD_FIELD_MESSAGE]);
        if (!writer_.Row(cells, style)) {
            error_ = writer_.Error();
            return TStep::Failed;
        }
        ++written_;
    }
    if (page_count_ == PAGE_ROWS && written_ < limit_) {
        return TStep::More;
    }
    if (!writer_.Finish()) {
        error_ = writer_.Error();
        return TStep::Failed;
    }
    return TStep::Done;
}

// --- TFileExport

TFileExport::TFileExport(TSQLite& sqlite, const TRecord& record, TOptions options)
    : sqlite_(sqlite), record_(record), options_(std::move(options)) {}

TFileExport::~TFileExport() {
    // The writer closes its file before the file is removed.
    export_.reset();
    writer_.reset();
}

bool TFileExport::Start() {
    if (IsSameFile(options_.out, sqlite_.GetPath())) {
        error_ = options_.out + ": это файл базы данных";
        Audit(audit::FAILED);
        return false;
    }
    if (!file_.Create(options_.out)) {
        error_ = file_.Error();
        Audit(audit::FAILED);
        return false;
    }
    switch (options_.format) {
    case TExportFormat::Csv:
        writer_ = MakeCsvWriter(file_.TempPath());
        break;
    case TExportFormat::Xlsx:
        writer_ = MakeXlsxWriter(file_.TempPath());
        break;
    case TExportFormat::Pdf:
        if (options_.pdf) {
            writer_ = options_.pdf(file_.TempPath());
        }
        break;
    }
    if (writer_ == nullptr) {
        error_ = "формат " + std::string(ExportFormatName(options_.format)) + " недоступен";
        file_.Discard();
        Audit(audit::FAILED);
        return false;
    }
    export_ = std::make_unique<TRecordExport>(sqlite_, record_, options_.filter, *writer_);
    return true;
}

TRecordExport::TStep TFileExport::Step() {
    if (ended_ || export_ == nullptr) {
        return TRecordExport::TStep::Failed;
    }
    TRecordExport::TStep step = export_->Step();
    if (step == TRecordExport::TStep::More) {
        return step;
    }
    writer_.reset();
    if (step == TRecordExport::TStep::Done && !file_.Commit()) {
        error_ = file_.Error();
        step = TRecordExport::TStep::Failed;
    } else if (step == TRecordExport::TStep::Failed) {
        error_ = export_->Error();
        file_.Discard();
    }
    Audit(step == TRecordExport::TStep::Done ? audit::DONE : audit::FAILED);
    return step;
}

void TFileExport::Cancel() {
    if (ended_) {
        return;
    }
    writer_.reset();
    file_.Discard();
    Audit(audit::CANCELLED);
}

void TFileExport::Audit(const char* outcome) {
    ended_ = true;
    if (options_.audit == nullptr) {
        return;
    }
    std::string detail = std::string(ExportFormatName(options_.format)) + ", " +
                         std::to_string(Written()) + " записей; " +
                         RecordFilterText(options_.filter);
    if (!error_.empty()) {
        detail += "; " + error_;
    }
    options_.audit->Add(audit::EXPORT, options_.out, detail, outcome);
}
