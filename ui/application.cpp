#include "ui/application.h"

#include <QMessageBox>

#include <exception>

TApplication::TApplication(int& argc, char** argv, QString caption)
    : QApplication(argc, argv), caption_(std::move(caption)) {}

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
