#include "ui/application.h"

#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>

#include <exception>

TApplication::TApplication(int& argc, char** argv, QString caption)
    : QApplication(argc, argv), caption_(std::move(caption)) {
    // Debian ships them in qt6-translations-l10n; without it the toolkit stays English.
    has_qt_translation_ = qt_translator_.load(QLocale(QLocale::Russian, QLocale::Russia),
                                              QStringLiteral("qtbase"), QStringLiteral("_"),
                                              QLibraryInfo::path(QLibraryInfo::TranslationsPath));
    if (has_qt_translation_) {
        installTranslator(&qt_translator_);
    }
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        ShowError(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        // An error without a message is shown with an empty one.
        ShowError(QString());
    }
    return false;
}

void TApplication::ShowError(const QString& text) {
    ++error_count_;
    QMetaObject::invokeMethod(
        this, [this, text] { QMessageBox::critical(activeWindow(), caption_, text); },
        Qt::QueuedConnection);
}
