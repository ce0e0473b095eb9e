#pragma once

// The Qt application of the workstation. An exception that escapes an event handler (a menu
// command, a timer, a queued request) is shown in an error box and the program goes on, rather
// than ending the program that watches for fires. The toolkit's own texts (standard buttons,
// file dialogs) are Russian, as the program's are.

#include <QApplication>
#include <QString>
#include <QTranslator>

class TApplication final : public QApplication {
    Q_OBJECT

public:
    TApplication(int& argc, char** argv, QString caption);

    bool notify(QObject* receiver, QEvent* event) override;

    // How many handler errors were shown since the start.
    int GetErrorCount() const { return error_count_; }
    // Whether the toolkit's Russian texts were found and are in use.
    bool HasQtTranslation() const { return has_qt_translation_; }

private:
    // Queued: the box must not open inside the handler that failed.
    void ShowError(const QString& text);

    QString caption_;
    int error_count_ = 0;
    QTranslator qt_translator_;
    bool has_qt_translation_ = false;
};
