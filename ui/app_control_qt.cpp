#include "ui/app_control_qt.h"

#include <QApplication>
#include <QMessageBox>

TQtAppControl::TQtAppControl(QWidget* parent, QString caption)
    : parent_(parent), caption_(std::move(caption)) {}

void TQtAppControl::ShowErrorBox(std::string_view text) {
    QMessageBox::critical(parent_, caption_,
                          QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

void TQtAppControl::Terminate() {
    terminated_ = true;
    // Queued: asked during start-up, before the event loop runs, it ends the loop at its start.
    QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}
