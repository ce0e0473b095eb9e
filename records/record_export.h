#pragma once

// Export of the records a filter selects: read from the database a page at a time, newest
// first, and handed row by row to a writer (CSV and XLSX here, PDF on the window side), so
// memory stays flat however many records there are. Any one thread drives an export.

#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/staged_file.h"
#include "common/style.h"
#include "database/event_record.h"
#include "database/record_filter.h"
#include "records/record_types.h"

class TAudit;
class TRecord;
class TSQLite;

enum class TExportFormat { Csv, Xlsx, Pdf };

// "csv", "xlsx", "pdf".
std::string_view ExportFormatName(TExportFormat format);
bool ParseExportFormat(std::string_view name, TExportFormat& format);

// The cells of one exported row, as the record list shows them.
using TExportCells = std::array<std::string, RECORD_FIELD_COUNT>;

// What heads an export: which records (the filter in words) and when it was made.
struct TExportHeading {
    std::string filter;
    std::string time;
};
// "все устройства; весь период; типы: 0, 1, 2" and the like; a filter without types says it takes
// the RecordsMask setting (callers freeze it in the filter first).
std::string RecordFilterText(const TRecordFilter& filter);

class TExportWriter {
public:
    virtual ~TExportWriter() = default;
    // Each false leaves the reason in Error.
    virtual bool Begin(const TExportHeading& heading) = 0;
    virtual bool Row(const TExportCells& cells, const TMessageStyle& style) = 0;
    virtual bool Finish() = 0;
    virtual std::string Error() const = 0;
};

// UTF-8 with a byte-order mark, fields separated by ';', quoted when they hold ';', '"' or a
// line break; the captions first.
std::unique_ptr<TExportWriter> MakeCsvWriter(const std::string& path);
// One sheet of captions and rows (another sheet past a sheet's million rows), written in
// libxlsxwriter's constant-memory mode.
std::unique_ptr<TExportWriter> MakeXlsxWriter(const std::string& path);
// A field of a CSV line, quoted as it needs.
std::string CsvField(std::string_view text);

class TRecordExport {
public:
    static constexpr int PAGE_ROWS = 1000;
    enum class TStep { More, Done, Failed };

    // Exports at most `limit` records; the database, catalogue and writer outlive the object.
    TRecordExport(TSQLite& sqlite, const TRecord& record, const TRecordFilter& filter,
                  TExportWriter& writer,
                  std::int64_t limit = std::numeric_limits<std::int64_t>::max());

    // The first step also begins the writer, the last one finishes it.
    TStep Step();
    std::int64_t Written() const { return written_; }
    // What the filter selected when the export began (at most the limit).
    std::int64_t Total() const { return total_; }
    const std::string& Error() const { return error_; }

private:
    // Distinct messages kept at the most before the cache starts again.
    static constexpr std::size_t MESSAGES_KEPT = 65536;

    bool ReadPage(std::int64_t* total);
    // The message of a row as the list shows it, and its style: made once per type and value
    // while the cache holds it, as each catalogue look costs a stat of the file.
    const TMessageStyle& Message(const TRecordRow& row, std::string& text);

    TSQLite& sqlite_;
    const TRecord& record_;
    TRecordFilter filter_;
    TExportWriter& writer_;
    std::int64_t limit_;
    std::vector<TRecordRow> page_;
    std::unordered_map<std::uint64_t, std::pair<std::string, TMessageStyle>> messages_;
    int page_count_ = 0;
    bool begun_ = false;
    std::int64_t written_ = 0;
    std::int64_t total_ = 0;
    // Ids are read newest first; the next page is read below the last one written.
    std::int64_t last_id_ = std::numeric_limits<std::int64_t>::max();
    std::string error_;
};

// An export into a file, written under a temporary name beside it and renamed once complete;
// a cancel or a failure removes it and leaves a file of that name as it was. The end goes
// into the audit trail (when given) with the file, the format, the rows and the filter.
class TFileExport {
public:
    using TWriterFactory = std::function<std::unique_ptr<TExportWriter>(const std::string& path)>;
    struct TOptions {
        TExportFormat format = TExportFormat::Csv;
        std::string out;
        TRecordFilter filter;
        // Makes the PDF writer, which the core has not; null: PDF fails.
        TWriterFactory pdf;
        TAudit* audit = nullptr;
    };

    TFileExport(TSQLite& sqlite, const TRecord& record, TOptions options);
    ~TFileExport();
    TFileExport(const TFileExport&) = delete;
    TFileExport& operator=(const TFileExport&) = delete;

    // False (Error says why) when the file cannot be made.
    bool Start();
    // On Done the file is in place, on Failed it is gone.
    TRecordExport::TStep Step();
    void Cancel();
    std::int64_t Written() const { return export_ ? export_->Written() : 0; }
    std::int64_t Total() const { return export_ ? export_->Total() : 0; }
    const std::string& Error() const { return error_; }

private:
    void Audit(const char* outcome);

    TSQLite& sqlite_;
    const TRecord& record_;
    TOptions options_;
    TStagedFile file_;
    std::unique_ptr<TExportWriter> writer_;
    std::unique_ptr<TRecordExport> export_;
    std::string error_;
    bool ended_ = false;
};
