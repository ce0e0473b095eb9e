#pragma once

// Help > "О программе": the program's version and build, the versions of Qt and SQLite it runs
// with, and the files in use, so that an operator can read them out to whoever supports the site.

#include <QDialog>
#include <QString>

class QLabel;

struct TAboutFiles {
    QString settings;
    QString log;
    QString database;
};

class TF_About final : public QDialog {
    Q_OBJECT

public:
    TF_About(const TAboutFiles& files, QWidget* parent);

    // The dialog's text, as plain lines.
    static QString Text(const TAboutFiles& files);
    QLabel* GetTextLabel() const { return text_; }

private:
    QLabel* text_ = nullptr;
};
