#pragma once

// The Qt application of the workstation. An exception that escapes an event handler (a menu
// command, a timer, a queued request) is shown in an error box and the program goes on, rather
// than ending the program that watches for fires.

#include <QApplication>
#include <QString>

class TApplication final : public QApplication {
    Q_OBJECT

public:
    TApplication(int& argc, char** argv, QString caption);

    bool notify(QObject* receiver, QEvent* event) override;

    // How many handler errors were shown since the start.
    int GetErrorCount() const { return error_count_; }

private:
    // Queued: the box must not open inside the handler that failed.
    void ShowError(const QString& text);

    QString caption_;
    int error_count_ = 0;
};
