// The main window's File commands that write what the records hold elsewhere: export, print
// and the copy of the database.

#include <QApplication>
#include <QFileInfo>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QProgressDialog>

#include <algorithm>

#include "database/backup.h"
#include "database/sqlite.h"
#include "log/log.h"
#include "records/app_control.h"
#include "records/audit.h"
#include "records/record.h"
#include "ui/ktev_main.h"
#include "ui/record_list_view.h"
#include "ui/record_pages_painter.h"

namespace {

struct TExportKind {
    const char* name;
    const char* filter;
};

TExportKind ExportKind(TExportFormat format) {
    switch (format) {
    case TExportFormat::Xlsx:
        return {"XLSX", "Таблицы Excel (*.xlsx)"};
    case TExportFormat::Pdf:
        return {"PDF", "Документы PDF (*.pdf)"};
    case TExportFormat::Csv:
        break;
    }
    return {"CSV", "Текст CSV (*.csv)"};
}

} // namespace

TRecordFilter TF_Main::ExportFilter() const {
    TRecordFilter filter;
    if (TRecordListUi* list = GetRecordList()) {
        filter = list->List().GetFilter();
    }
    if (!filter.records_mask) {
        filter.records_mask = Settings.GetRecordsMask();
    }
    return filter;
}

TSQLite* TF_Main::OpenDatabase(const char* what) {
    TSQLite* sqlite = GetSQLite();
    if (sqlite != nullptr && sqlite->IsActive() && GetRecord() != nullptr) {
        return sqlite;
    }
    const std::string text = std::string(what) + ": база данных записей не открыта";
    TLog::Add(GetLog(), text, LOG_TYPE_ERROR);
    RunModal([&] { app_->ShowErrorBox(text); });
    return nullptr;
}

bool TF_Main::StepWithProgress(
    const QString& label,
    const std::function<bool(std::int64_t& done, std::int64_t& total)>& step) {
    bool finished = true;
    RunModal([&] {
        QProgressDialog progress(label, QStringLiteral("Отмена"), 0, 1000, this);
        progress.setWindowModality(Qt::WindowModal);
        progress.setMinimumDuration(500);
        std::int64_t done = 0;
        std::int64_t total = 0;
        // One page or a thousand database pages per step: the window answers between them.
        while (step(done, total)) {
            progress.setValue(
                total > 0 ? static_cast<int>(std::min<std::int64_t>(done * 1000 / total, 999)) : 0);
            QCoreApplication::processEvents();
            if (progress.wasCanceled()) {
                finished = false;
                return;
            }
        }
    });
    return finished;
}

void TF_Main::MM_File_ExportClick(TExportFormat format) {
    TSQLite* sqlite = OpenDatabase("Экспорт");
    if (sqlite == nullptr) {
        return;
    }
    const TExportKind kind = ExportKind(format);
    TFileChoice choice;
    choice.save = true;
    choice.replace = true;
    choice.title = QStringLiteral("Экспорт записей (%1)").arg(QString::fromUtf8(kind.name));
    choice.dir = QString::fromStdString(program_dir_);
    choice.suffix = QString::fromUtf8(ExportFormatName(format).data(),
                                      static_cast<qsizetype>(ExportFormatName(format).size()));
    choice.file = QStringLiteral("records.") + choice.suffix;
    choice.filter = QString::fromUtf8(kind.filter);
    QString chosen;
    if (!ChooseFile(choice, chosen)) {
        return;
    }
    TFileExport::TOptions options;
    options.format = format;
    options.out = chosen.toStdString();
    options.filter = ExportFilter();
    options.pdf = TRecordPagesPainter::MakePdfWriter;
    options.audit = GetAudit();
    TFileExport job(*sqlite, *GetRecord(), options);
    TRecordExport::TStep result = TRecordExport::TStep::Failed;
    if (job.Start() && !StepWithProgress(QStringLiteral("Экспорт записей в %1").arg(chosen),
                                         [&](std::int64_t& done, std::int64_t& total) {
                                             result = job.Step();
                                             done = job.Written();
                                             total = job.Total();
                                             return result == TRecordExport::TStep::More;
                                         })) {
        job.Cancel();
        TLog::Add(GetLog(), "Экспорт отменён: " + options.out, LOG_TYPE_INFO);
        return;
    }
    if (result != TRecordExport::TStep::Done) {
        const std::string text = "Экспорт не выполнен: " + job.Error();
        TLog::Add(GetLog(), text, LOG_TYPE_ERROR);
        RunModal([&] { app_->ShowErrorBox(text); });
        return;
    }
    TLog::Addf(GetLog(), LOG_TYPE_INFO, "Экспорт: %lld записей в %s",
               static_cast<long long>(job.Written()), options.out);
}

void TF_Main::MM_File_PrintClick() {
    TSQLite* sqlite = OpenDatabase("Печать");
    if (sqlite == nullptr) {
        return;
    }
    const TRecordFilter filter = ExportFilter();
    RunModal([&] {
        QPrinter printer;
        printer.setPageOrientation(QPageLayout::Landscape);
        QPrintPreviewDialog preview(&printer, this);
        preview.setWindowTitle(QStringLiteral("Печать записей фильтра: не более первых %L1")
                                   .arg(static_cast<qlonglong>(PRINT_LIMIT)));
        connect(&preview, &QPrintPreviewDialog::paintRequested, this, [&](QPrinter* device) {
            TRecordPagesPainter pages(*device);
            TRecordExport job(*sqlite, *GetRecord(), filter, pages, PRINT_LIMIT);
            TRecordExport::TStep step = TRecordExport::TStep::More;
            while (step == TRecordExport::TStep::More) {
                step = job.Step();
            }
            if (step == TRecordExport::TStep::Failed) {
                TLog::Add(GetLog(), "Печать не подготовлена: " + job.Error(), LOG_TYPE_ERROR);
            }
        });
        preview.exec();
    });
}

void TF_Main::MM_File_BackupClick() {
    const std::string source = DatabaseInUse();
    TFileChoice choice;
    choice.save = true;
    choice.replace = true;
    choice.title = QStringLiteral("Резервная копия базы");
    choice.dir = QString::fromStdString(program_dir_);
    choice.file =
        QFileInfo(QString::fromStdString(source)).completeBaseName() + QStringLiteral("-копия.db");
    QString chosen;
    if (!ChooseFile(choice, chosen)) {
        return;
    }
    const std::string target = chosen.toStdString();
    TDatabaseBackup backup;
    TDatabaseBackup::TStep result = TDatabaseBackup::TStep::Failed;
    if (backup.Start(source, target) &&
        !StepWithProgress(QStringLiteral("Резервная копия в %1").arg(chosen),
                          [&](std::int64_t& done, std::int64_t& total) {
                              result = backup.Step();
                              done = backup.Copied();
                              total = backup.Total();
                              return result == TDatabaseBackup::TStep::More;
                          })) {
        TLog::Add(GetLog(), "Резервная копия отменена: " + target, LOG_TYPE_INFO);
        if (TAudit* audit = GetAudit()) {
            audit->Add(audit::BACKUP, target, source, audit::CANCELLED);
        }
        return;
    }
    const bool done = result == TDatabaseBackup::TStep::Done;
    if (TAudit* audit = GetAudit()) {
        audit->Add(audit::BACKUP, target, done ? source : source + "; " + backup.Error(),
                   done ? audit::DONE : audit::FAILED);
    }
    if (!done) {
        const std::string text = "Резервная копия не записана: " + backup.Error();
        TLog::Add(GetLog(), text, LOG_TYPE_ERROR);
        RunModal([&] { app_->ShowErrorBox(text); });
        return;
    }
    TLog::Add(GetLog(), "Резервная копия " + source + " записана: " + target, LOG_TYPE_INFO);
}
