#include "ui/command_line_run.h"

#include <QGuiApplication>

#include <sys/stat.h>

#include <cstdio>
#include <memory>

#include "common/text.h"
#include "database/backup.h"
#include "database/sqlite.h"
#include "log/log.h"
#include "records/app_control.h"
#include "records/audit.h"
#include "records/record.h"
#include "ui/record_pages_painter.h"
#include "ui/settings/current_settings.h"

namespace {

// The log's lines go to stderr, and to no file: the window's log is not the command's.
class TStderrPane final : public TLogPane {
public:
    bool Exists() const override { return true; }
    void BeginUpdate() override {}
    void EndUpdate() override {}
    void AppendLine(std::string_view text, const TMessageStyle&) override {
        std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
    }
    int LineCount() const override { return 0; }
    void DeleteFirstLine() override {}
    void ScrollToEnd() override {}
    void Clear() override {}
};

// A broken catalogue is said on stderr, the program's log has it already.
class TStderrApp final : public TAppControl {
public:
    void ShowErrorBox(std::string_view) override {}
    bool AskQuestion(std::string_view) override { return false; }
    void Terminate() override { terminated = true; }
    bool terminated = false;
};

int Failed(TLog& log, const std::string& text) {
    log.Add(text, LOG_TYPE_ERROR);
    log.Flush();
    return 1;
}

int Backup(TLog& log, const TCommandLine& line) {
    TDatabaseBackup backup;
    if (!backup.Start(line.db, line.out)) {
        return Failed(log, backup.Error());
    }
    TDatabaseBackup::TStep step = TDatabaseBackup::TStep::More;
    while (step == TDatabaseBackup::TStep::More) {
        step = backup.Step();
    }
    if (step == TDatabaseBackup::TStep::Failed) {
        return Failed(log, backup.Error());
    }
    std::printf("Копия %s записана: %s\n", line.db.c_str(), line.out.c_str());
    return 0;
}

int Export(int& argc, char** argv, TLog& log, const TCommandLine& line, const TProgramHome& home) {
    // Opening a missing file would make an empty database of it.
    struct stat st {};
    if (::stat(line.db.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return Failed(log, "SQLite файл " + line.db + " не найден");
    }
    std::unique_ptr<QGuiApplication> gui;
    if (line.format == TExportFormat::Pdf) {
        // PDF pages need the toolkit's fonts, not a screen.
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
        }
        gui = std::make_unique<QGuiApplication>(argc, argv);
    }
    TCurrentSettings settings;
    TSQLite sqlite(&log, settings);
    if (!sqlite.Init(line.db)) {
        return Failed(log, "SQLite файл " + line.db + " не открыт");
    }
    TStderrApp app;
    TRecordLinks links;
    links.log = &log;
    links.app = &app;
    links.catalogue_dir = home.CatalogueDir();
    const TRecord record(links);
    if (app.terminated) {
        return Failed(log, "Каталог сообщений " + record.GetCataloguePath() + " не прочитан");
    }
    TAudit audit(&log, sqlite);
    TFileExport::TOptions options;
    options.format = line.format;
    options.out = line.out;
    options.filter = line.filter;
    options.pdf = TRecordPagesPainter::MakePdfWriter;
    options.audit = &audit;
    TFileExport job(sqlite, record, options);
    if (!job.Start()) {
        return Failed(log, "Экспорт не выполнен: " + job.Error());
    }
    TRecordExport::TStep step = TRecordExport::TStep::More;
    while (step == TRecordExport::TStep::More) {
        step = job.Step();
    }
    if (step == TRecordExport::TStep::Failed) {
        return Failed(log, "Экспорт не выполнен: " + job.Error());
    }
    std::printf("Записей: %lld, файл %s\n", static_cast<long long>(job.Written()),
                line.out.c_str());
    log.Flush();
    return 0;
}

} // namespace

int RunCommandLine(int& argc, char** argv, const TCommandLine& line, const TProgramHome& home) {
    TStderrPane pane;
    TLog log(&pane, nullptr, "/dev/null");
    return line.action == TCommandLine::TAction::Backup ? Backup(log, line)
                                                        : Export(argc, argv, log, line, home);
}
