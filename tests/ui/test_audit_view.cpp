// The audit trail's tab: newest row first, older pages read as the view scrolls to the end, new
// rows put on top, and another database's trail replacing the rows shown.

#include <QApplication>
#include <QScrollBar>
#include <QTableView>
#include <QTest>

#include "records/audit.h"
#include "ui/audit_view.h"
#include "views_fixture.h"

class TestAuditView : public QObject {
    Q_OBJECT

private:
    QString Cell(int row, int column) const {
        return ui_->Model().index(row, column).data().toString();
    }

    std::unique_ptr<ViewParts> parts_;
    std::unique_ptr<TAudit> audit_;
    std::unique_ptr<QTableView> view_;
    std::unique_ptr<TAuditViewUi> ui_;

private slots:
    void init() {
        parts_ = std::make_unique<ViewParts>();
        audit_ = std::make_unique<TAudit>(parts_->log.get(), *parts_->sqlite);
        audit_->SetOperatorName("Петров");
        for (int i = 1; i <= 450; ++i) {
            QVERIFY(audit_->Add(audit::COMMAND, "«Прибор-1» (адрес 1)", std::to_string(i),
                                audit::COMMAND_SENT));
        }
        view_ = std::make_unique<QTableView>();
        view_->resize(600, 300);
        ui_ = std::make_unique<TAuditViewUi>(view_.get(), parts_->log.get(), *parts_->sqlite);
        audit_->SetOnStored([this] { ui_->Refresh(); });
        view_->show();
    }
    void cleanup() {
        ui_.reset();
        view_.reset();
        audit_.reset();
        parts_.reset();
    }

    void newestPageFirstAndOlderPagesAtTheEnd() {
        QTRY_COMPARE(ui_->Model().rowCount(), TAuditViewUi::PAGE_ROWS);
        QCOMPARE(Cell(0, 4), QStringLiteral("450"));
        QCOMPARE(Cell(0, 1), QStringLiteral("Петров"));
        QCOMPARE(Cell(0, 2), QStringLiteral("Команда"));
        QCOMPARE(Cell(0, 5), QStringLiteral("Отправлена"));
        QVERIFY(!Cell(0, 0).isEmpty());
        // The end of the list asks for the next older page, and the last one ends it.
        for (int expected : {400, 450}) {
            view_->scrollToBottom();
            QTRY_COMPARE(ui_->Model().rowCount(), expected);
        }
        QCOMPARE(Cell(449, 4), QStringLiteral("1"));
        QVERIFY(!ui_->Model().canFetchMore(QModelIndex()));
    }

    void newRowsGoOnTopWithoutLosingTheOlderPages() {
        QTRY_COMPARE(ui_->Model().rowCount(), TAuditViewUi::PAGE_ROWS);
        view_->scrollToBottom();
        QTRY_COMPARE(ui_->Model().rowCount(), 400);
        const std::string comment = "строка 1\nстрока 2 'кавычки' " + std::string(2000, 'z');
        QVERIFY(audit_->Acknowledge("Прибор-1, ШС 3", comment));
        QTRY_COMPARE(ui_->Model().rowCount(), 401);
        QCOMPARE(Cell(0, 2), QStringLiteral("Квитирование"));
        QVERIFY(Cell(0, 4).startsWith(QStringLiteral("строка 1 строка 2 'кавычки' zzz")));
        QCOMPARE(Cell(1, 4), QStringLiteral("450"));
    }

    void anotherDatabaseReplacesTheRowsShown() {
        QTRY_COMPARE(ui_->Model().rowCount(), TAuditViewUi::PAGE_ROWS);
        QVERIFY(parts_->sqlite->Init(parts_->dir.filePath("other.db").toStdString()));
        QVERIFY(audit_->Add(audit::DATABASE_SWITCHED, "other.db", "", audit::DONE));
        QTRY_COMPARE(ui_->Model().rowCount(), 1);
        QCOMPARE(Cell(0, 2), QStringLiteral("Смена базы данных"));
    }
};

QTEST_MAIN(TestAuditView)
#include "test_audit_view.moc"
