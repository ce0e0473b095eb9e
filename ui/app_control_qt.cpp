#include "ui/app_control_qt.h"

#include <QApplication>
#include <QMessageBox>

TQtAppControl::TQtAppControl(QWidget* parent, QString caption)
    : parent_(parent), caption_(std::move(caption)) {}

namespace {

QString Text(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

void TQtAppControl::ShowErrorBox(std::string_view text) {
    QMessageBox::critical(parent_, caption_, Text(text));
}

bool TQtAppControl::AskQuestion(std::string_view text) {
    return QMessageBox::question(parent_, caption_, Text(text), QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

void TQtAppControl::Terminate() {
    terminated_ = true;
    // Queued: asked during start-up, before the event loop runs, it ends the loop at its start.
    QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}
