#include "ui/about_dialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>
#include <QtGlobal>

#include <sqlite3.h>

#include "ui/version.h"

TF_About::TF_About(const TAboutFiles& files, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("О программе"));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    auto* layout = new QVBoxLayout(this);
    text_ = new QLabel(Text(files), this);
    // The paths are to be copied into a message to whoever supports the site.
    text_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    layout->addWidget(text_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);
}

QString TF_About::Text(const TAboutFiles& files) {
    const QString none = QStringLiteral("не выбрана");
    return QStringLiteral("\"Кордея-ТЛ\" Tev\n"
                          "Версия %1, сборка %2\n"
                          "Qt %3, SQLite %4\n\n"
                          "Файл настроек: %5\n"
                          "Журнал: %6\n"
                          "База данных: %7")
        .arg(QStringLiteral(KTEV_VERSION), QStringLiteral(KTEV_BUILD),
             QString::fromLatin1(qVersion()), QString::fromLatin1(sqlite3_libversion()),
             files.settings, files.log, files.database.isEmpty() ? none : files.database);
}
