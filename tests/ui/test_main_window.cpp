// The main window: start-up and shutdown order, the status bar, panels, menus, the file
// commands, the settings command and the requests of the device service, over a simulated bus.

#include "window_fixture.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPrintPreviewDialog>
#include <QPrintPreviewWidget>
#include <QPushButton>
#include <QSplitter>
#include <QSplitterHandle>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QToolBar>

#include <cctype>
#include <csignal>
#include <fstream>
#include <thread>

#include <sqlite3.h>

#include "audio/sound.h"
#include "buslink/state_codes.h"
#include "database/sqlite.h"
#include "device/device.h"
#include "records/audit.h"
#include "sim/bus_sim.h"
#include "ui/about_dialog.h"
#include "ui/active_alarms_view.h"
#include "ui/audit_view.h"
#include "ui/record_list_view.h"
#include "ui/signal_close.h"

namespace {

constexpr int Com = 9;
constexpr std::uint32_t PanelId = 0x00090001;

// One panel on a fast simulated bus linked as ports/com9 of the fixture's folder.
class SimulatedBus {
public:
    explicit SimulatedBus(const QString& ports_dir) {
        TSimDeviceConfig panel;
        panel.key = 1;
        panel.address = 1;
        panel.id = PanelId;
        panel.factory_name = "ППКОП-4";
        panel.user_name = "Проходная";
        panel.lines = 4;
        panel.summary = 4;
        TSimScenario scenario;
        scenario.devices.push_back(panel);
        TSimOptions options;
        options.ports_dir = ports_dir.toStdString();
        options.com = Com;
        options.pace = TSimPace::Fast;
        std::string error;
        started = sim.Start(options, scenario, error);
    }

    TBusSim sim;
    bool started = false;
};

const std::string ManualStart = "[Setup]\nComNum=9\nIsAutoRun=0\nIsLogDebug=1\n";

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void startUpAndShutdownRunInTheirOrder() {
        WindowFixture f;
        SimulatedBus bus(f.PortsDir());
        QVERIFY(bus.started);
        f.WriteIni("[Setup]\nComNum=9\nIsLogDebug=1\n");
        f.Create();
        // Nothing starts before the window is shown.
        QVERIFY(!f.main->GetDevice()->IsRunning());
        f.Show();
        QTRY_COMPARE(f.main->StatusBarText(0), QStringLiteral("RUN"));
        QVERIFY(f.main->close());
        QVERIFY(f.main->GetDevice() == nullptr);
        QVERIFY(f.main->GetLog() == nullptr);
        QVERIFY(f.LogHasInOrder({
            "----- Запуск приложения -----",
            "COM портов найдено: ",
            "TDevice::SetService, 1",
            "Запуск сервиса...",
            "...OK",
            "TDevice::SetService, 0",
            "Остановка сервиса...",
            "...остановлен",
            "TF_Main::IniSave",
            "TDevice::~TDevice, ThreadsCount: ",
            "TSound::~TSound",
            "TSQLite::~TSQLite",
            "TLog::~TLog, QueuePos(before wait): ",
        }));
        // The service was stopped before the settings were saved, and they were saved.
        QVERIFY(f.ReadIni().find("IsAutoRun=1") != std::string::npos);
    }

    void statusBarFollowsTheService() {
        WindowFixture f;
        SimulatedBus bus(f.PortsDir());
        QVERIFY(bus.started);
        f.Start(ManualStart);
        QCOMPARE(f.main->StatusBarText(0), QStringLiteral("Stop"));
        QVERIFY(!f.main->GetDevice()->IsRunning());

        f.main->Actions().MM_Service_Start->trigger();
        QTRY_COMPARE(f.main->StatusBarText(0), QStringLiteral("RUN"));
        QCOMPARE(f.main->StatusBarText(1), QStringLiteral("COM9"));
        QVERIFY(f.main->StatusBarText(2).startsWith(QStringLiteral("Online: ")));
        // The panel is heard, then its summary state 4 is the overall state.
        QTRY_COMPARE(f.main->StatusBarText(2), QStringLiteral("Online: 1"));
        QTRY_COMPARE(f.main->StatusBarText(3),
                     QString::fromStdString(f.main->GetDevice()->GetMaxStateText()));
        QVERIFY(!f.main->StatusBarText(3).isEmpty());

        f.main->Actions().MM_Service_Stop->trigger();
        QTRY_COMPARE(f.main->StatusBarText(0), QStringLiteral("Stop"));
        for (int panel = 1; panel < TMainWindowWidgets::StatusPanelCount; ++panel) {
            QCOMPARE(f.main->StatusBarText(panel), QString());
        }
    }

    void aStartWithoutThePortWaitsForItAndSaysWhy() {
        WindowFixture f;
        f.Start(ManualStart);
        // COM9 is not there: it stays the configured port, listed as absent.
        QCOMPARE(f.setup->GetComNum(), Com);
        QCOMPARE(f.main->GetSettings().GetComNum(), Com);
        QCOMPARE(f.setup->ComboBoxComPort->currentText().toStdString(),
                 "COM9: " + f.port.PortPath(Com) + " — нет устройства");
        f.main->Actions().MM_Service_Start->trigger();
        QVERIFY(f.main->GetDevice()->IsRunning());
        QTRY_COMPARE(f.main->StatusBarText(0), QStringLiteral("RUN"));
        QCOMPARE(f.main->StatusBarText(1), QStringLiteral("COM9"));
        QTRY_COMPARE(f.main->StatusBarText(3),
                     QStringLiteral("Порт COM9 не открыт: нет устройства"));
        // Without the link, COM9 is /dev/ttyS8, which this machine has not either.
        QVERIFY(f.LogHasInOrder(
            {"Запуск сервиса...", "Инициализация COM порта",
             "Ошибка открытия COM порта COM9 (" + f.port.PortPath(Com) + "): нет устройства, [2] ",
             "...OK"}));

        // The adapter is plugged in: the port opens and the bus is heard.
        SimulatedBus bus(f.PortsDir());
        QVERIFY(bus.started);
        const std::string link = f.PortsDir().toStdString() + "/com9";
        QTRY_VERIFY_WITH_TIMEOUT(f.LogCount("COM порт открыт: COM9 (" + link + " -> ") == 1, 10000);
        QTRY_COMPARE(f.main->StatusBarText(2), QStringLiteral("Online: 1"));
        QTRY_COMPARE(f.main->StatusBarText(3),
                     QString::fromStdString(f.main->GetDevice()->GetMaxStateText()));
        QCOMPARE(f.LogCount("Ошибка открытия COM порта"), 1);
    }

    void theConfiguredPortSurvivesACloseWhileItIsAbsent() {
        WindowFixture f;
        f.Start("[Setup]\nComNum=9\nIsAutoRun=1\n");
        QTRY_COMPARE(f.main->StatusBarText(0), QStringLiteral("RUN"));
        QVERIFY(f.main->close());
        const std::string ini = f.ReadIni();
        const std::size_t at = ini.find("ComNum=");
        QVERIFY(at != std::string::npos);
        QCOMPARE(ini.substr(at, 8), std::string("ComNum=9"));
        QVERIFY(ini.size() == at + 8 || !std::isdigit(static_cast<unsigned char>(ini[at + 8])));
    }

    void theSettingsCommandKeepsTheBusRunningWhileItShows() {
        WindowFixture f;
        SimulatedBus bus(f.PortsDir());
        QVERIFY(bus.started);
        f.Start(ManualStart);
        // From a stopped service: the dialog's close starts it.
        bool was_modal = false;
        QTimer::singleShot(0, f.setup.get(), [&] {
            was_modal = f.setup->isVisible() && f.setup->isModal();
            f.setup->ButtonClose->click();
        });
        f.main->Actions().MM_Service_Setup->trigger();
        QVERIFY(was_modal);
        QVERIFY(f.main->GetDevice()->IsRunning());
        TDevice& device = *f.main->GetDevice();
        QTRY_VERIFY(device.GetCount() == 1 && device.GetItem(0)->info_complete);
        TSound::SetSound(f.main->GetSound(), SOUND_OFF);

        // A fire while the operator looks at the settings is taken in and sounds at once.
        bool heard = false;
        int listed_port = 0;
        QTimer::singleShot(0, f.setup.get(), [&] {
            std::string error;
            heard =
                bus.sim.Inject(DeviceEvent(TSimAction::Loop, 1, statecode::LOOP_FIRE, 2), error) &&
                QTest::qWaitFor(
                    [&] { return device.GetItem(0)->line[2].state == statecode::LOOP_FIRE; }) &&
                TSound::GetSound(f.main->GetSound()) == SOUND_ALARM;
            // The port the service holds is listed as the one in use.
            f.setup->ButtonComRefresh->click();
            listed_port = f.setup->GetComNum();
            f.setup->ButtonClose->click();
        });
        f.main->Actions().MM_Service_Setup->trigger();
        QVERIFY(heard);
        QCOMPARE(listed_port, Com);
        QVERIFY(device.IsRunning());
        QCOMPARE(f.LogCount("Остановка сервиса..."), 0);

        // A setting the start takes restarts the service when the dialog closes.
        QTimer::singleShot(0, f.setup.get(), [&] {
            f.setup->CheckBoxInv->click();
            f.setup->ButtonClose->click();
        });
        f.main->Actions().MM_Service_Setup->trigger();
        QVERIFY(device.IsRunning());
        QVERIFY(f.LogHasInOrder(
            {"Остановка сервиса...", "...остановлен", "Запуск сервиса...", "...OK"}));
        QCOMPARE(f.LogCount("Остановка сервиса..."), 1);
    }

    void theOperatorsActionsGoToTheAuditTrailAndItsTab() {
        WindowFixture f;
        SimulatedBus bus(f.PortsDir());
        QVERIFY(bus.started);
        f.Start(ManualStart);
        // Named in the dialog and saved while the service is stopped: the rows wait for the
        // database its start opens.
        QTimer::singleShot(0, f.setup.get(), [&] {
            f.setup->EditOperatorName->setText(QStringLiteral("  Сидорова "));
            f.setup->CheckBoxIsSound->click();
            f.setup->ButtonSave->click();
        });
        f.main->Actions().MM_Service_Setup->trigger();
        QVERIFY(f.main->GetDevice()->IsRunning());
        QVERIFY(f.ReadIni().find("[Operator]\r\nName=Сидорова") != std::string::npos);
        f.main->Actions().MM_Service_SoundOff->trigger();
        const TAuditModel& model = f.main->GetAuditView()->Model();
        QTRY_COMPARE(model.rowCount(), 4);
        QCOMPARE(model.index(0, 2).data().toString(), QStringLiteral("Отбой звука"));
        QCOMPARE(model.index(0, 1).data().toString(), QStringLiteral("Сидорова"));
        QVERIFY(f.main->close());

        std::vector<std::vector<std::string>> rows;
        sqlite3* db = nullptr;
        QCOMPARE(sqlite3_open_v2(f.Path("default.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr),
                 SQLITE_OK);
        sqlite3_stmt* stmt = nullptr;
        QCOMPARE(sqlite3_prepare_v2(db, "SELECT user, action, detail FROM audit ORDER BY id", -1,
                                    &stmt, nullptr),
                 SQLITE_OK);
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            auto& row = rows.emplace_back();
            for (int column = 0; column < 3; ++column) {
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
                row.emplace_back(text != nullptr ? text : "");
            }
        }
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        const std::vector<std::string> actions = {"Запуск программы",     "Сохранение настроек",
                                                  "Запуск сервиса",       "Отбой звука",
                                                  "Завершение программы", "Остановка сервиса"};
        QCOMPARE(rows.size(), actions.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            QCOMPARE(rows[i][1], actions[i]);
        }
        QCOMPARE(rows[0][0], TAudit::GetSystemUser());
        QCOMPARE(rows[1][0], std::string("Сидорова"));
        // Save also writes the records mask without its four unused bits: that key changes too.
        QVERIFY(rows[1][2].starts_with("IsSound: 1 → 0; "));
        QVERIFY(rows[1][2].ends_with("; Operator Name:  → Сидорова"));
    }

    void theOperatorAcknowledgesAFireFromTheAlarmsTab() {
        WindowFixture f;
        SimulatedBus bus(f.PortsDir());
        QVERIFY(bus.started);
        f.Start(ManualStart);
        f.main->Actions().MM_Service_Start->trigger();
        TDevice& device = *f.main->GetDevice();
        QTRY_VERIFY(device.GetCount() == 1 && device.GetItem(0)->info_complete);
        QTabWidget* tabs = f.main->findChild<QTabWidget*>(QStringLiteral("TabsLog"));
        QLabel* count = f.main->findChild<QLabel*>(QStringLiteral("AlarmCountPanel"));
        QVERIFY(tabs != nullptr && count != nullptr);
        // The operator has hidden the log's pane and looks at another tab.
        tabs->setCurrentIndex(0);
        f.main->Actions().MM_View_LogApplication->trigger();
        QVERIFY(tabs->isHidden());

        std::string error;
        QVERIFY(bus.sim.Inject(DeviceEvent(TSimAction::Loop, 1, statecode::LOOP_FIRE, 2), error));
        TActiveAlarmsUi& panel = *f.main->GetActiveAlarmsView();
        const TActiveAlarmsModel& model = panel.Model();
        const auto fire_row = [&]() -> int {
            for (int row = 0; row < model.rowCount(); ++row) {
                if (model.Row(row)->item == "ШС 3") {
                    return row;
                }
            }
            return -1;
        };
        QTRY_VERIFY(fire_row() >= 0);
        // The fire is put before the operator's eyes: the pane, its tab, its count, its colours.
        QTRY_VERIFY(tabs->isVisible());
        QVERIFY(f.main->Actions().MM_View_LogApplication->isChecked());
        QCOMPARE(tabs->currentWidget()->objectName(), QStringLiteral("AlarmsView"));
        const int waiting = model.Snapshot().unacknowledged;
        QVERIFY(waiting >= 1);
        QCOMPARE(tabs->tabText(tabs->currentIndex()),
                 QStringLiteral("Активные тревоги (%1)").arg(waiting));
        QCOMPARE(count->text(), QStringLiteral("Не квитировано: %1").arg(waiting));
        QVERIFY(count->autoFillBackground());
        const QModelIndex state = model.index(fire_row(), TActiveAlarmsModel::STATE_COLUMN);
        QCOMPARE(state.data().toString(), QStringLiteral("ШС 3: Пожар"));
        QVERIFY(state.data(Qt::FontRole).value<QFont>().bold());

        // Cancelled at the comment: nothing is acknowledged.
        QTableView* view = f.main->findChild<QTableView*>(QStringLiteral("AlarmsView"));
        view->selectRow(fire_row());
        f.main->Actions().MM_Service_Acknowledge->trigger();
        QTRY_COMPARE(panel.Pending(), 0);
        QVERIFY(!model.Row(fire_row())->acknowledged);

        f.comments.push_back(QStringLiteral("Ложное; проверено \"на месте\""));
        view->selectRow(fire_row());
        f.main->Actions().MM_Service_Acknowledge->trigger();
        QTRY_VERIFY(model.Row(fire_row())->acknowledged);
        QCOMPARE(model.Row(fire_row())->ack_user, TAudit::GetSystemUser());
        QCOMPARE(model.Snapshot().unacknowledged, waiting - 1);
        QCOMPARE(count->text(), QStringLiteral("Не квитировано: %1").arg(waiting - 1));
        const TAuditModel& audit = f.main->GetAuditView()->Model();
        QTRY_VERIFY(audit.rowCount() > 0 &&
                    audit.index(0, 2).data().toString() == QStringLiteral("Квитирование"));
        QVERIFY(audit.index(0, 3).data().toString().startsWith(QStringLiteral("ШС 3 устройства")));
        QCOMPARE(audit.index(0, 4).data().toString(),
                 QStringLiteral("Ложное; проверено \"на месте\""));

        // Acknowledged and still in fire, the row stays; back to normal, it leaves.
        QVERIFY(bus.sim.Inject(DeviceEvent(TSimAction::Loop, 1, statecode::LOOP_NORMAL, 2), error));
        QTRY_COMPARE(fire_row(), -1);
    }

    void aSilentLineReplacesTheLastStateInTheStatusBar() {
        WindowFixture f;
        PtyPort silent(f.PortsDir(), Com);
        f.Start(ManualStart);
        f.main->Actions().MM_Service_Start->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(f.main->StatusBarText(3), QStringLiteral("Нет обмена по линии"),
                                  20000);
        QCOMPARE(f.main->StatusBarText(0), QStringLiteral("RUN"));
        f.main->Actions().MM_Service_Stop->trigger();
        QTRY_COMPARE(f.main->StatusBarText(3), QString());
    }

    void aPortWithoutTheDriversRs485ModeIsShownSo() {
        WindowFixture f;
        SimulatedBus bus(f.PortsDir());
        QVERIFY(bus.started);
        f.Start("[Setup]\nComNum=9\nCtrlRs485=1\nIsAutoRun=1\n");
        QTRY_COMPARE(f.main->StatusBarText(0), QStringLiteral("RUN"));
        // A pseudo-terminal has no such mode: the bus is heard, and the port's panel says so.
        QCOMPARE(f.main->StatusBarText(1), QStringLiteral("COM9 без RS-485"));
        QTRY_COMPARE(f.main->StatusBarText(2), QStringLiteral("Online: 1"));
        QCOMPARE(f.LogCount("COM9: драйвер порта не поддерживает RS-485 ядра (TIOCSRS485): [25] "),
                 1);
        // The settings dialog tells it of the port the service holds.
        f.setup->ButtonComRefresh->click();
        QVERIFY(f.setup->LabelComInfo->text().startsWith(
            QStringLiteral("COM9: используется программой\n")));
        QVERIFY(f.setup->LabelComInfo->text().endsWith(
            QStringLiteral("\nRS-485 ядра: не поддерживается")));
    }

    void aCloseDuringADialogWaitsForTheCommandToEnd() {
        WindowFixture f;
        f.Start(ManualStart);
        // As SIGTERM would while the operator has the settings open.
        QTimer::singleShot(0, f.main.get(), [&] { f.main->close(); });
        f.main->Actions().MM_Service_Setup->trigger();
        QVERIFY(!f.setup->isVisible());
        QVERIFY(f.main->GetDevice() != nullptr);
        QVERIFY(!f.main->GetDevice()->IsRunning());
        // The close runs once the command is over.
        QTRY_VERIFY(f.main->GetDevice() == nullptr);
        QVERIFY(!f.main->isVisible());
    }

    void sigtermClosesTheWindowInTheNormalOrder() {
        WindowFixture f;
        f.Start(ManualStart);
        TSignalClose signal_close(f.main.get());
        QVERIFY(signal_close.IsActive());
        std::raise(SIGTERM);
        QTRY_VERIFY(!f.main->isVisible());
        QVERIFY(f.main->GetLog() == nullptr);
        QVERIFY(f.LogHasInOrder({"TF_Main::IniSave", "TLog::~TLog"}));
    }

    void panelsFollowTheViewTicks() {
        WindowFixture f;
        f.Start(ManualStart);
        const TMainActions& a = f.main->Actions();
        QVERIFY(!f.main->GetTimerIniSaveDelay()->isActive());

        a.MM_View_LogApplication->trigger();
        QVERIFY(f.main->GetRichEdit()->isHidden());
        QTRY_VERIFY(f.main->GetSplitterUpDown()->handle(1)->isHidden());
        // A layout change asks for the delayed save.
        QVERIFY(f.main->GetTimerIniSaveDelay()->isActive());
        QCOMPARE(f.main->GetTimerIniSaveDelay()->interval(), TSaveDelay::DelayMs);
        // The hidden pane's log file keeps growing.
        TLog::Add(f.main->GetLog(), "while hidden", LOG_TYPE_INFO);
        QCOMPARE(f.LogCount("while hidden"), 1);

        a.MM_View_TreeDevices->trigger();
        QVERIFY(f.main->GetPanelDevices()->isHidden());
        QTRY_VERIFY(f.main->GetSplitterLeftRight()->handle(1)->isHidden());
        a.MM_View_ToolButtons->trigger();
        QVERIFY(f.main->GetToolBar()->isHidden());

        a.MM_View_TreeDevices->trigger();
        a.MM_View_LogApplication->trigger();
        QVERIFY(!f.main->GetPanelDevices()->isHidden());
        QVERIFY(!f.main->GetRichEdit()->isHidden());
        QTRY_VERIFY(!f.main->GetSplitterLeftRight()->handle(1)->isHidden());
        // The tree comes back at the width it had.
        QCoreApplication::processEvents();
        QCOMPARE(f.main->GetPanelDevices()->width(), TWindowOptions{}.tree_view_width);

        f.main->TimerIniSaveDelayTimer();
        const std::string ini = f.ReadIni();
        QVERIFY(ini.find("ToolButtons=0") != std::string::npos);
        QVERIFY(ini.find("TreeDevices=1") != std::string::npos);
    }

    void menusAndToolBarsAreComplete() {
        WindowFixture f;
        f.Start(ManualStart);
        const TMainActions& a = f.main->Actions();
        QCOMPARE(TF_Main::Caption(), QStringLiteral("\"Кордея-ТЛ\" Tev"));
        for (QAction* disabled : {a.MM_Help_Manual, a.MM_Help_CheckUpdate}) {
            QVERIFY2(!disabled->isEnabled(), qPrintable(disabled->text()));
        }
        for (QAction* enabled :
             {a.MM_File_New, a.MM_File_Open, a.MM_File_Export->menuAction(), a.MM_File_Export_Csv,
              a.MM_File_Export_Xlsx, a.MM_File_Export_Pdf, a.MM_File_Print, a.MM_File_Backup,
              a.MM_File_Exit, a.MM_View_UpdateRecords, a.MM_View_UpdateDevices, a.MM_Service_Stop,
              a.MM_Service_Start, a.MM_Service_SoundOff, a.MM_Service_Setup, a.MM_Help_About}) {
            QVERIFY2(enabled->isEnabled(), qPrintable(enabled->text()));
        }
        QCOMPARE(a.MM_View_UpdateRecords->shortcut(), QKeySequence(Qt::Key_F5));
        QCOMPARE(a.MM_View_UpdateDevices->shortcut(), QKeySequence(Qt::Key_F6));
        QCOMPARE(a.MM_Service_SoundOff->shortcut(), QKeySequence(Qt::Key_F10));
        QCOMPARE(a.MM_Service_Setup->shortcut(), QKeySequence(Qt::Key_F12));
        QCOMPARE(a.MM_Service_Acknowledge->shortcut(), QKeySequence(Qt::Key_F9));
        QCOMPARE(a.MM_Service_AcknowledgeAll->shortcut(), QKeySequence(Qt::SHIFT | Qt::Key_F9));
        // The message field is always shown.
        QVERIFY(a.MM_View_Fields_Items[7]->isChecked());
        QVERIFY(!a.MM_View_Fields_Items[7]->isEnabled());

        // The main tool bar left to right, with its hints; Stop and Start are there, hidden.
        QStringList shown;
        for (QAction* action : f.main->GetToolBar()->actions()) {
            if (!action->isVisible()) {
                continue;
            }
            shown << (action->isSeparator() ? QStringLiteral("|") : action->toolTip());
            if (!action->isSeparator()) {
                QVERIFY(!action->icon().pixmap(24, 24).isNull());
            }
        }
        QCOMPARE(
            shown,
            QStringList({"Создать новый файл записей", "Открыть существующий файл записей", "|",
                         "Скрыть/Показать панель кнопок", "Скрыть/Показать дерево устройств",
                         "Скрыть/Показать лог программы", "|", "Отбой звука", "|", "Настройки"}));
        QVERIFY(!a.ToolButton_Service_Stop->isVisible());
        QVERIFY(!a.ToolButton_Service_Start->isVisible());

        QStringList paging;
        for (QAction* action : f.main->GetToolBarRecords()->actions()) {
            paging << (action->isSeparator() ? QStringLiteral("|") : action->toolTip());
        }
        QCOMPARE(paging,
                 QStringList({"Первая запись", "Предыдущая страница", "|", "Следующая страница",
                              "Последняя запись", "|", "Отбой звука", "|",
                              "Квитировать выбранные тревоги", "Квитировать все тревоги"}));
    }

    void fileCommandsOnlyChangeTheSetting() {
        WindowFixture f;
        f.Start(ManualStart);
        const QString before = f.setup->EditDBFile->text();
        QCOMPARE(before.toStdString(), f.Path("default.db"));

        f.answers = {QString()};
        f.main->Actions().MM_File_New->trigger();
        QCOMPARE(f.setup->EditDBFile->text(), before);
        QVERIFY(f.LogHasInOrder({"Создание нового файла", "Файл не задан"}));
        QCOMPARE(f.choices.size(), std::size_t{1});
        QVERIFY(f.choices[0].save);
        QCOMPARE(f.choices[0].title, QStringLiteral("Создать новый или открыть существующий файл"));
        QCOMPARE(f.choices[0].dir.toStdString(), f.main->GetProgramDir());
        QCOMPARE(f.choices[0].file, before);

        const QString chosen = f.dir.filePath(QStringLiteral("другой.db"));
        f.answers = {chosen};
        f.main->Actions().MM_File_Open->trigger();
        QCOMPARE(f.setup->EditDBFile->text(), chosen);
        QCOMPARE(f.main->GetSettings().GetDBFile(), chosen.toStdString());
        QVERIFY(f.LogHasInOrder({"Выбор файла", "Выбран файл: " + chosen.toStdString()}));
        QVERIFY(!f.choices[1].save);
        // Nothing was created, opened or saved.
        QVERIFY(!QFile::exists(chosen));
        QVERIFY(f.ReadIni().find("другой.db") == std::string::npos);

        f.answers = {QString()};
        f.main->Actions().MM_File_Open->trigger();
        QVERIFY(f.LogHasInOrder({"Файл не выбран"}));
    }

    void theTitleNamesTheDatabaseFileInUse() {
        WindowFixture f;
        SimulatedBus bus(f.PortsDir());
        QVERIFY(bus.started);
        f.Start(ManualStart);
        const auto title = [&f](const char* file) {
            return QStringLiteral("%1 - %2").arg(TF_Main::Caption(),
                                                 QString::fromStdString(f.Path(file)));
        };
        // Stopped: the file the next start opens.
        QCOMPARE(f.main->windowTitle(), title("default.db"));
        for (const char* file : {"first.db", "second.db"}) {
            std::ofstream(f.Path(file)).close();
        }
        f.answers = {QString::fromStdString(f.Path("first.db"))};
        f.main->Actions().MM_File_Open->trigger();
        QCOMPARE(f.main->windowTitle(), title("first.db"));

        f.main->Actions().MM_Service_Start->trigger();
        QTRY_COMPARE(f.main->StatusBarText(0), QStringLiteral("RUN"));
        // The running service keeps its file until it starts again.
        f.answers = {QString::fromStdString(f.Path("second.db"))};
        f.main->Actions().MM_File_New->trigger();
        QCOMPARE(f.main->windowTitle(), title("first.db"));
        f.main->Actions().MM_Service_Stop->trigger();
        f.main->Actions().MM_Service_Start->trigger();
        QVERIFY(f.main->GetDevice()->IsRunning());
        QTRY_COMPARE(f.main->windowTitle(), title("second.db"));
    }

    void fileExportWritesWhatTheListsFilterHolds() {
        WindowFixture f;
        f.Start(ManualStart);
        // Stopped, there is no database to read: the operator is told, nothing is asked.
        f.main->Actions().MM_File_Export_Csv->trigger();
        QCOMPARE(f.app.boxes.size(), std::size_t{1});
        QVERIFY(f.choices.empty());

        f.main->Actions().MM_Service_Start->trigger();
        TSQLite& sqlite = *f.main->GetSQLite();
        QTRY_VERIFY(sqlite.IsActive());
        for (const std::uint32_t id : {0x11u, 0x22u}) {
            TDeviceRecord device{};
            device.device_id = id;
            QVERIFY(sqlite.InsertDevice(device));
            for (int i = 0; i < 1200; ++i) {
                QVERIFY(sqlite.InsertRecord({0, id, 1000 + i, LINE_STATE, i}));
            }
        }
        const TRecordFilter filter{.device_id = 0x22u};
        QVERIFY(f.main->GetRecordList()->List().SetFilter(filter));

        const QString out = f.dir.filePath(QStringLiteral("записи.csv"));
        f.answers = {out};
        f.main->Actions().MM_File_Export_Csv->trigger();
        QCOMPARE(f.choices.back().suffix, QStringLiteral("csv"));
        QVERIFY(f.choices.back().replace);
        QFile file(out);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        // The captions, 1,200 rows of the filter's device, and the empty rest after the last end.
        QCOMPARE(lines.size(), 1202);
        QVERIFY(lines[0].startsWith("\xEF\xBB\xBF#;Device ID;"));
        for (qsizetype i = 1; i + 1 < lines.size(); ++i) {
            QVERIFY2(lines[i].contains(";00000022;"), lines[i].constData());
        }
        QVERIFY(f.LogHasInOrder({"Экспорт: 1200 записей в " + out.toStdString()}));
        std::vector<TAuditRow> rows;
        QVERIFY(sqlite.SelectAudit(0, 1, rows));
        QCOMPARE(QString::fromStdString(rows[0].action), QStringLiteral("Экспорт"));
        QCOMPARE(QString::fromStdString(rows[0].target), out);
        QVERIFY(rows[0].detail.find("устройство 00000022") != std::string::npos);

        // The print preview paints the same pages, and says how many records it takes at most.
        int pages = 0;
        QString title;
        QTimer::singleShot(0, f.main.get(), [&] {
            auto* preview = qobject_cast<QPrintPreviewDialog*>(QApplication::activeModalWidget());
            if (preview == nullptr) {
                return;
            }
            title = preview->windowTitle();
            auto* widget = preview->findChild<QPrintPreviewWidget*>();
            widget->updatePreview();
            pages = widget->pageCount();
            preview->reject();
        });
        f.main->Actions().MM_File_Print->trigger();
        QVERIFY2(title.contains(QStringLiteral("10 000")) ||
                     title.contains(QStringLiteral("10,000")),
                 qPrintable(title));
        QVERIFY(pages > 1);
    }

    void theAboutBoxNamesTheVersionsAndTheFilesInUse() {
        WindowFixture f;
        SimulatedBus bus(f.PortsDir());
        QVERIFY(bus.started);
        f.Start(ManualStart);
        f.main->Actions().MM_Service_Start->trigger();
        QTRY_COMPARE(f.main->StatusBarText(0), QStringLiteral("RUN"));
        const QString text = TF_About::Text(f.main->AboutFiles());
        for (const QString& part :
             {QStringLiteral("Версия 0."), QStringLiteral("Qt %1").arg(qVersion()),
              QStringLiteral("SQLite %1").arg(sqlite3_libversion()),
              QStringLiteral("Файл настроек: %1").arg(QString::fromStdString(f.main->GetIniPath())),
              QStringLiteral("Журнал: %1").arg(QString::fromStdString(f.Path("ktev.log"))),
              QStringLiteral("База данных: %1")
                  .arg(QString::fromStdString(f.Path("default.db")))}) {
            QVERIFY2(text.contains(part), qPrintable(text));
        }
    }

    void aDatabaseThatCannotBeOpenedIsShownAndWaitedFor() {
        WindowFixture f;
        f.db_retry_ms = 200;
        SimulatedBus bus(f.PortsDir());
        QVERIFY(bus.started);
        // A folder stands where the file should be.
        const std::string later = f.Path("later.db");
        QVERIFY(QDir().mkpath(QString::fromStdString(later)));
        f.Start(ManualStart + "DBFile=" + later + "\n");
        f.main->Actions().MM_Service_Start->trigger();
        QTRY_COMPARE(f.main->StatusBarText(3), QStringLiteral("События не сохраняются"));
        QCOMPARE(f.main->StatusBarText(0), QStringLiteral("RUN"));
        QVERIFY(f.LogHasInOrder({"События не сохраняются: SQLite файл " + later + " не открыт"}));

        // Once the file can be made, the panel's records show and so does its state.
        QVERIFY(QDir(QString::fromStdString(later)).removeRecursively());
        QTRY_VERIFY_WITH_TIMEOUT(f.main->GetRecordList()->Model().rowCount() > 0, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(f.main->StatusBarText(3),
                                  QString::fromStdString(f.main->GetDevice()->GetMaxStateText()),
                                  20000);
        QVERIFY(f.LogHasInOrder({"SQLite файл " + later + " открыт, события сохраняются"}));
    }

    void requestsFromOtherThreadsMergeIntoOneQueuedCall() {
        WindowFixture f;
        f.Start(ManualStart);
        int tree = 0;
        int list = 0;
        QObject::connect(f.main.get(), &TF_Main::TreeViewUpdateRequested, [&] { ++tree; });
        QObject::connect(f.main.get(), &TF_Main::ListViewUpdateRequested, [&] { ++list; });
        const int before = f.LogCount("TF_Main::StatusBarUpdate");
        std::thread([&] {
            for (int i = 0; i < 1000; ++i) {
                f.main->StatusBarUpdate();
                f.main->TreeViewUpdate();
                f.main->ListViewUpdate();
            }
        }).join();
        // Nothing ran on the calling thread.
        QCOMPARE(tree, 0);
        QCoreApplication::processEvents();
        QCOMPARE(tree, 1);
        QCOMPARE(list, 1);
        QCOMPARE(f.LogCount("TF_Main::StatusBarUpdate"), before + 1);
        // A request after the call ran gets a call of its own.
        f.main->Actions().MM_View_UpdateDevices->trigger();
        QCoreApplication::processEvents();
        QCOMPARE(tree, 2);
    }

    void aMissingCatalogueEndsTheProgramWithoutSaving() {
        WindowFixture f(false);
        f.Create();
        QVERIFY(f.app.terminated > 0);
        QVERIFY(!f.app.boxes.empty());
        QCOMPARE(f.app.boxes.front(),
                 std::string("Не найден INI файл сообщений \"TevMessages.ini\""));
        f.Destroy();
        // The parts are gone all the same; the settings file was not written.
        QVERIFY(!QFile::exists(QString::fromStdString(f.IniPath())));
        QVERIFY(f.LogHasInOrder({"Не найден INI файл сообщений"}));
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_main_window.moc"
