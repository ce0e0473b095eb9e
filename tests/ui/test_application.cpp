// Errors that escape an event handler are shown and the program goes on; the toolkit's own
// texts are Russian.

#include <QDialogButtonBox>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <stdexcept>

#include "ui/application.h"

class TestApplication : public QObject {
    Q_OBJECT

private slots:
    void aHandlerErrorIsShownAndTheLoopGoesOn() {
        int argc = 1;
        char name[] = "test_application";
        char* argv[] = {name, nullptr};
        TApplication app(argc, argv, QStringLiteral("Caption"));
        QStringList shown;
        // Closes each box as it appears, noting its title and text.
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                shown << box->windowTitle() + ": " + box->text();
                box->close();
            }
        });
        closer.start(20);
        QTimer::singleShot(0, [] { throw std::runtime_error("boom"); });
        QTimer::singleShot(10, [] { throw 42; });
        bool later_ran = false;
        QTimer::singleShot(50, [&] { later_ran = true; });
        QTRY_COMPARE(shown.size(), 2);
        // The second box may open inside the first one's loop.
        shown.sort();
        QCOMPARE(shown, QStringList({"Caption: ", "Caption: boom"}));
        QCOMPARE(app.GetErrorCount(), 2);
        QTRY_VERIFY(later_ran);
    }

    void standardButtonsReadRussian() {
        int argc = 1;
        char name[] = "test_application";
        char* argv[] = {name, nullptr};
        TApplication app(argc, argv, QStringLiteral("Caption"));
        if (!app.HasQtTranslation()) {
            QSKIP("qtbase_ru.qm is not installed (Debian package qt6-translations-l10n)");
        }
        QDialogButtonBox box(QDialogButtonBox::Yes | QDialogButtonBox::No |
                             QDialogButtonBox::Cancel);
        QCOMPARE(box.button(QDialogButtonBox::Cancel)->text(), QStringLiteral("Отмена"));
        QCOMPARE(box.button(QDialogButtonBox::Yes)->text().remove(u'&'), QStringLiteral("Да"));
    }
};

QTEST_APPLESS_MAIN(TestApplication)
#include "test_application.moc"
