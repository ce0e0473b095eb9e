// The active alarms' tab: the gravest alarm first and the operator's selection following its rows,
// a row back to normal waits for acknowledgement and then leaves, and what the operator
// acknowledged is written even when the panel goes at once.

#include <QApplication>
#include <QItemSelectionModel>
#include <QTest>

#include "alarms_fixture.h"
#include "buslink/state_codes.h"

namespace {

constexpr std::uint32_t PANEL = 0x00010001;
const TAlarmKey LOOP_2{PANEL, TAlarmItem::Line, 1};

} // namespace

class TestActiveAlarmsView : public QObject {
    Q_OBJECT

private slots:
    void theSelectionFollowsItsRowWhenAGraverAlarmComesFirst() {
        AlarmsPanel f;
        TDeviceEntry& panel = f.AddPanel(PANEL, 1, 4);
        panel.line[1].state = statecode::LOOP_FAULT;
        panel.online = false;
        f.alarms.Scan(panel);
        QTRY_COMPARE(f.ui->Model().rowCount(), 2);
        f.view->selectRow(f.RowOf(LOOP_2));
        QCOMPARE(f.RowOf(LOOP_2), 0);

        // A fire comes after the fault: the gravest row is the first.
        panel.line[0].state = statecode::LOOP_FIRE;
        f.alarms.Scan(panel);
        QTRY_COMPARE(f.ui->Model().rowCount(), 3);
        QCOMPARE(f.ui->Model().Row(0)->key, (TAlarmKey{PANEL, TAlarmItem::Line, 0}));
        QCOMPARE(f.RowOf(LOOP_2), 1);
        const QModelIndexList selected = f.view->selectionModel()->selectedRows();
        QCOMPARE(selected.size(), 1);
        QCOMPARE(selected.front().row(), f.RowOf(LOOP_2));
        QCOMPARE(f.view->currentIndex().row(), f.RowOf(LOOP_2));
        QCOMPARE(f.count.text(), QStringLiteral("Не квитировано: 3"));
        QCOMPARE(f.tabs.currentWidget(), f.view);
    }

    void aRowBackToNormalWaitsForTheOperatorAndThenLeaves() {
        AlarmsPanel f;
        TDeviceEntry& panel = f.AddPanel(PANEL, 1, 4);
        panel.line[1].state = statecode::LOOP_FIRE;
        f.alarms.Scan(panel);
        QTRY_COMPARE(f.ui->Model().rowCount(), 1);
        QVERIFY(f.acknowledge_all.isEnabled());
        QVERIFY(f.count.autoFillBackground());

        panel.line[1].state = statecode::LOOP_NORMAL;
        f.alarms.Scan(panel);
        const QModelIndex state = f.ui->Model().index(0, TActiveAlarmsModel::STATE_COLUMN);
        QTRY_COMPARE(state.data().toString(), QStringLiteral("ШС 2: Пожар (в норме)"));
        QVERIFY(state.data(Qt::FontRole).value<QFont>().italic());
        QVERIFY(state.data(Qt::FontRole).value<QFont>().bold());
        QVERIFY(!state.data(Qt::BackgroundRole).isValid());

        // Cancelled at the comment: the row waits on.
        f.acknowledge_all.trigger();
        QCOMPARE(f.ui->Pending(), 0);
        QCOMPARE(f.ui->Model().rowCount(), 1);

        f.comments.push_back(QStringLiteral("Сработка при проверке"));
        f.acknowledge_all.trigger();
        QTRY_COMPARE(f.ui->Model().rowCount(), 0);
        QCOMPARE(f.count.text(), QStringLiteral("Не квитировано: 0"));
        QVERIFY(!f.count.autoFillBackground());
        QVERIFY(!f.acknowledge_all.isEnabled());
        QCOMPARE(f.tabs.tabText(1), QStringLiteral("Активные тревоги"));
    }

    void whatTheOperatorAcknowledgedIsWrittenWhenThePanelGoesAtOnce() {
        std::vector<TAlarmAck> kept;
        {
            AlarmsPanel f;
            TDeviceEntry& panel = f.AddPanel(PANEL, 1, 4);
            panel.line[1].state = statecode::LOOP_FIRE;
            panel.online = false;
            f.alarms.Scan(panel);
            QTRY_COMPARE(f.ui->Model().rowCount(), 2);
            f.view->selectAll();
            f.comments.push_back(QString(3000, QChar(u'ж')));
            f.acknowledge.trigger();
            f.ui.reset();
            QVERIFY(f.parts.sqlite->SelectAlarmAcks(kept));
        }
        QCOMPARE(kept.size(), std::size_t{2});
        for (const TAlarmAck& ack : kept) {
            QCOMPARE(ack.user, std::string("Иванова"));
            QCOMPARE(QString::fromStdString(ack.comment), QString(3000, QChar(u'ж')));
        }
    }
};

QTEST_MAIN(TestActiveAlarmsView)
#include "test_active_alarms_view.moc"
