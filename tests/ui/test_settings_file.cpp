// The settings file between the file and the window: defaults, reading rules, what a save
// writes and leaves alone, the delayed save and a file that cannot be written.

#include "window_fixture.h"

#include <QAction>
#include <QCheckBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSplitter>
#include <QStandardItemModel>
#include <QTableView>
#include <QTimer>
#include <QToolBar>
#include <QWindow>

#include <limits>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "device/device.h"
#include "ui/record_list_view.h"
#include "ui/settings/setup_options.h"
#include "ui/window_placement.h"

namespace {

// The value of `key` in `section` of the file's text, or "" when it is not there.
std::string Value(std::string ini, const std::string& section, const std::string& key) {
    std::erase(ini, '\r');
    const std::size_t begin = ini.find("[" + section + "]\n");
    if (begin == std::string::npos) {
        return {};
    }
    const std::string body = ini.substr(begin, ini.find("\n[", begin) - begin) + "\n";
    const std::string at = "\n" + key + "=";
    const std::size_t pos = body.find(at);
    if (pos == std::string::npos) {
        return {};
    }
    const std::size_t start = pos + at.size();
    return body.substr(start, body.find('\n', start) - start);
}

} // namespace

class TestSettingsFile : public QObject {
    Q_OBJECT

private slots:
    void aMissingFileGivesEveryDefault() {
        WindowFixture f;
        f.Create();
        f.Show();
        TF_Main& m = *f.main;
        QCOMPARE(m.geometry(), QRect(100, 100, 900, 560));
        QCOMPARE(m.GetPanelDevices()->width(), 480);
        QCOMPARE(m.GetRichEdit()->height(), 100);
        QVERIFY(!m.GetToolBar()->isHidden());
        QVERIFY(!m.GetPanelDevices()->isHidden());
        QVERIFY(!m.GetRichEdit()->isHidden());
        for (int field = 0; field < RECORD_FIELD_COUNT; ++field) {
            QVERIFY(m.Actions().MM_View_Fields_Items[static_cast<std::size_t>(field)]->isChecked());
            QCOMPARE(m.GetFieldWidth(field), RECORD_FIELD_WIDTH_FIT);
        }
        QCOMPARE(f.setup->EditShowLines->text(), QStringLiteral("50"));
        QCOMPARE(f.setup->GetComNum(), 0);
        QVERIFY(!f.setup->CheckBoxDtr->isChecked());
        QVERIFY(!f.setup->CheckBoxRts->isChecked());
        QVERIFY(!f.setup->CheckBoxInv->isChecked());
        QVERIFY(!f.setup->CheckBoxRs485->isChecked());
        QVERIFY(f.setup->CheckBoxIsSound->isChecked());
        QVERIFY(f.setup->CheckBoxAutoRun->isChecked());
        QCOMPARE(f.setup->EditDBFile->text().toStdString(), f.Path("default.db"));
        QCOMPARE(f.setup->GetRecordsMask(), 0x7FFFFFFF);
        QVERIFY(!m.GetLog()->IsLogDebug);
        // The settings the service reads are the dialog's.
        const TCurrentSettings& s = m.GetSettings();
        QCOMPARE(s.GetDBFile(), f.Path("default.db"));
        QVERIFY(s.GetIsSound() && s.GetIsAutoRun());
        QCOMPARE(s.GetShowLines(), 50);
        // Nothing is written before a save.
        QVERIFY(!QFile::exists(QString::fromStdString(f.IniPath())));

        QVERIFY(m.IniSave());
        const std::string ini = f.ReadIni();
        QCOMPARE(Value(ini, "Options", "WindowsTop"), std::string("100"));
        QCOMPARE(Value(ini, "Options", "WindowsWidth"), std::string("900"));
        QCOMPARE(Value(ini, "Options", "TreeViewWidth"), std::string("480"));
        QCOMPARE(Value(ini, "Options", "RichEditHeight"), std::string("100"));
        QCOMPARE(Value(ini, "FieldsChecked", "Message"), std::string("1"));
        QCOMPARE(Value(ini, "Setup", "ComNum"), std::string("0"));
        QCOMPARE(Value(ini, "Setup", "CtrlInv"), std::string("0"));
        QCOMPARE(Value(ini, "Setup", "CtrlRs485"), std::string("0"));
        QCOMPARE(Value(ini, "Setup", "RecordsMask"), std::string("2147483647"));
        QCOMPARE(Value(ini, "Setup", "IsLogDebug"), std::string());
        QVERIFY(ini.find("[Options]\r\n") != std::string::npos);
        QVERIFY(ini.find("[FieldsChecked]\r\n") != std::string::npos);
    }

    void showLinesIsClampedOnLoading_data() {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("shown");
        QTest::newRow("below") << "5"
                               << "10";
        QTest::newRow("above") << "1000"
                               << "300";
        QTest::newRow("not a number") << "abc"
                                      << "50";
        QTest::newRow("hexadecimal") << "0x20"
                                     << "32";
    }
    void showLinesIsClampedOnLoading() {
        QFETCH(QString, value);
        QFETCH(QString, shown);
        WindowFixture f;
        f.Start("[setup]\r\nshowlines=" + value.toStdString() + "\r\n");
        QCOMPARE(f.setup->EditShowLines->text(), shown);
        QCOMPARE(f.main->GetSettings().GetShowLines(), shown.toInt());
    }

    void valuesAreReadAsTheFileHasThem() {
        WindowFixture f;
        f.Start(
            "[Options]\nWindowsLeft=$40\nWindowsWidth=abc\nTreeViewWidth=250\n"
            "[Panels]\nLogApplication=0\nToolButtons=7\n"
            "[FieldsWidth]\nDateTime=150\n[FieldsChecked]\nMessage=0\nId=0\n"
            "[Setup]\nDBFile=/srv/ktev/архив.db\nCtrlRts=1\nCtrlRs485=1\nIsSound=0\nIsAutoRun=0\n"
            "RecordsMask=0x0FFFFFFF\n");
        TF_Main& m = *f.main;
        QCOMPARE(m.geometry().x(), 64);
        QCOMPARE(m.width(), 900);
        QCOMPARE(m.GetPanelDevices()->width(), 250);
        QVERIFY(m.GetRichEdit()->isHidden());
        QVERIFY(!m.GetToolBar()->isHidden());
        QCOMPARE(m.GetFieldWidth(2), 150);
        QVERIFY(!m.Actions().MM_View_Fields_Items[0]->isChecked());
        // The message column is shown whatever the file says.
        QVERIFY(m.Actions().MM_View_Fields_Items[7]->isChecked());
        QVERIFY(!m.Actions().MM_View_Fields_Items[7]->isEnabled());
        QCOMPARE(f.setup->EditDBFile->text(), QStringLiteral("/srv/ktev/архив.db"));
        QVERIFY(f.setup->CheckBoxRts->isChecked() && m.GetSettings().GetCtrlRts());
        QVERIFY(f.setup->CheckBoxRs485->isChecked() && m.GetSettings().GetCtrlRs485());
        QVERIFY(!m.GetSettings().GetIsSound());
        QCOMPARE(f.setup->GetRecordsMask(), 268435455);
        // Auto-start off: the service stays stopped.
        QVERIFY(!m.GetDevice()->IsRunning());

        QVERIFY(m.IniSave());
        const std::string ini = f.ReadIni();
        QCOMPARE(Value(ini, "FieldsChecked", "Message"), std::string("1"));
        QCOMPARE(Value(ini, "FieldsChecked", "Id"), std::string("0"));
        QCOMPARE(Value(ini, "Setup", "DBFile"), std::string("/srv/ktev/архив.db"));
        QCOMPARE(Value(ini, "Setup", "CtrlRts"), std::string("1"));
        QCOMPARE(Value(ini, "Setup", "CtrlRs485"), std::string("1"));
        QCOMPARE(Value(ini, "Panels", "ToolButtons"), std::string("1"));
    }

    // Every Setup key the program writes comes back from a start and a save as the file had it,
    // away from its default: a key in the table without its control would come back changed.
    void everySetupKeyGoesThroughTheControls() {
        WindowFixture f;
        std::string ini = "[Setup]\n";
        std::vector<std::pair<std::string, std::string>> given;
        for (const TSetupKey& key : SETUP_KEYS) {
            if (!key.written) {
                continue;
            }
            std::string value;
            std::visit(
                [&]<typename T>(T TSetupOptions::*) {
                    if constexpr (std::is_same_v<T, std::string>) {
                        value = "/srv/ktev/архив.db";
                    } else if constexpr (std::is_same_v<T, bool>) {
                        value = key.fallback != 0 ? "0" : "1";
                    } else {
                        // Inside the range and off the default.
                        value = std::to_string(key.min == std::numeric_limits<std::int32_t>::min()
                                                   ? key.fallback - 1
                                                   : key.min + 1);
                    }
                },
                key.value);
            ini += std::string(key.name) + "=" + value + "\n";
            given.emplace_back(key.name, value);
        }
        f.Start(ini);
        QVERIFY(f.main->IniSave());
        const std::string saved = f.ReadIni();
        for (const auto& [name, value] : given) {
            QCOMPARE(Value(saved, "Setup", name), value);
        }
    }

    void aFileSavedAsUtf8WithAByteOrderMarkKeepsItsFirstSection() {
        WindowFixture f;
        PtyPort port(f.PortsDir(), 9);
        std::ofstream(f.IniPath(), std::ios::binary)
            << "\xEF\xBB\xBF[Setup]\r\nComNum=9\r\nIsAutoRun=0\r\nDBFile=/srv/ktev/архив.db\r\n";
        f.Create();
        f.Show();
        QCOMPARE(f.setup->GetComNum(), 9);
        QCOMPARE(f.setup->EditDBFile->text(), QStringLiteral("/srv/ktev/архив.db"));
        QVERIFY(f.main->close());
        // Still UTF-8 with its mark, and one section Setup.
        std::ifstream in(f.IniPath(), std::ios::binary);
        const std::string ini(std::istreambuf_iterator<char>(in), {});
        QVERIFY(ini.starts_with("\xEF\xBB\xBF[Setup]\r\nComNum=9\r\n"));
        QCOMPARE(ini.find("[Setup]", 1), ini.rfind("[Setup]"));
        QCOMPARE(Value(ini, "Setup", "DBFile"), std::string("/srv/ktev/архив.db"));
    }

    void aDamagedFileDoesNoHarm() {
        WindowFixture f;
        f.Start("[Options]\nWindowsWidth=2147483647\nWindowsHeight=-5\nWindowsTop=-2147483648\n"
                "TreeViewWidth=-300\nRichEditHeight=99999999\n[Setup\nComNum=-1\n"
                "[Setup]\nComNum=99999\nShowLines=\nRecordsMask=0xFFFFFFFFF\n\x01\x02garbage\n");
        QVERIFY(f.main->width() <= 8192);
        QCOMPARE(f.setup->GetComNum(), 0);
        QCOMPARE(f.setup->EditShowLines->text(), QStringLiteral("50"));
        QCOMPARE(f.setup->GetRecordsMask(), 0x7FFFFFFF);
        QVERIFY(f.main->IniSave());
    }

    void isLogDebugSurvivesEverySave() {
        WindowFixture f;
        f.WriteIni("[Setup]\r\nIsLogDebug=1\r\nIsAutoRun=0\r\n[Other]\r\nKept=yes\r\n; a note\r\n");
        f.Create();
        f.Show();
        QVERIFY(f.main->GetLog()->IsLogDebug);
        for (int i = 0; i < 3; ++i) {
            QVERIFY(f.main->IniSave());
        }
        const std::string ini = f.ReadIni();
        QCOMPARE(Value(ini, "Setup", "IsLogDebug"), std::string("1"));
        QCOMPARE(Value(ini, "Other", "Kept"), std::string("yes"));
        QVERIFY(ini.find("; a note\r\n") != std::string::npos);
        // The debug lines are on from the load on.
        QVERIFY(f.LogCount("TF_Main::IniSave") == 3);
    }

    void aMaximisedWindowLeavesTheLastNormalGeometry() {
        WindowFixture f;
        const std::string options = "[Options]\r\nWindowsTop=50\r\nWindowsLeft=60\r\n"
                                    "WindowsWidth=700\r\nWindowsHeight=500\r\n"
                                    "TreeViewWidth=150\r\nRichEditHeight=80\r\n";
        f.Start(options + "[Setup]\r\nIsAutoRun=0\r\n");
        f.main->showMaximized();
        QTRY_VERIFY(f.main->isMaximized());
        f.main->Actions().MM_View_ToolButtons->trigger();
        QVERIFY(f.main->close());
        const std::string ini = f.ReadIni();
        QCOMPARE(ini.substr(0, options.size()), options);
        QCOMPARE(Value(ini, "Panels", "ToolButtons"), std::string("0"));

        // The next start is not maximised and has the last normal geometry.
        f.Destroy();
        f.Create();
        f.Show();
        QVERIFY(!f.main->isMaximized());
        QCOMPARE(f.main->geometry(), QRect(60, 50, 700, 500));
    }

    void theOperatorsGeometryComesBackExactlyAtTheNextStart() {
        WindowFixture f;
        f.Start("[Setup]\r\nIsAutoRun=0\r\n");
        f.main->setGeometry(130, 140, 720, 480);
        QTRY_COMPARE(f.main->geometry(), QRect(130, 140, 720, 480));
        QVERIFY(f.main->close());
        f.Destroy();
        f.Create();
        f.Show();
        QCOMPARE(f.main->geometry(), QRect(130, 140, 720, 480));
    }

    void aWindowOffEveryScreenComesBackOntoTheNearestOne() {
        const QList<QRect> screens = {QRect(0, 0, 1600, 1000), QRect(1600, 0, 1024, 768)};
        // On a screen, or partly off it with its menu bar in reach: where it was saved.
        QCOMPARE(PlaceOnScreens(QRect(1700, 100, 800, 600), screens), QRect(1700, 100, 800, 600));
        QCOMPARE(PlaceOnScreens(QRect(-300, 50, 800, 600), screens), QRect(-300, 50, 800, 600));
        // The second screen unplugged, or the window's top above every screen.
        QCOMPARE(PlaceOnScreens(QRect(3000, 100, 800, 600), screens), QRect(1824, 100, 800, 600));
        QCOMPARE(PlaceOnScreens(QRect(200, -15, 800, 600), screens), QRect(200, 0, 800, 600));
        // Larger than the screen it lands on: the screen's size.
        QCOMPARE(PlaceOnScreens(QRect(2000, 900, 1200, 900), screens), QRect(1600, 0, 1024, 768));

        WindowFixture f;
        f.Start("[Options]\r\nWindowsTop=3000\r\nWindowsLeft=5000\r\nWindowsWidth=300\r\n"
                "WindowsHeight=200\r\n[Setup]\r\nIsAutoRun=0\r\n");
        const QRect screen = f.main->screen()->availableGeometry();
        QVERIFY2(screen.contains(f.main->geometry()), qPrintable(QStringLiteral("%1,%2 on %3x%4")
                                                                     .arg(f.main->x())
                                                                     .arg(f.main->y())
                                                                     .arg(screen.width())
                                                                     .arg(screen.height())));
    }

    void shownColumnsGiveTheirWidthsAndAHiddenOneKeepsItsOwn() {
        WindowFixture f;
        f.Start("[FieldsWidth]\nDeviceId=77\n[FieldsChecked]\nDeviceId=0\n[Setup]\nIsAutoRun=0\n");
        // The record list shows the seven checked fields as its columns, in field order.
        QStandardItemModel model(0, RECORD_FIELD_COUNT - 1);
        f.main->GetListView()->setModel(&model);
        QHeaderView* header = f.main->GetListView()->horizontalHeader();
        header->setStretchLastSection(false);
        for (int column = 0; column < model.columnCount(); ++column) {
            header->resizeSection(column, 30 + column);
        }
        QVERIFY(f.main->IniSave());
        const std::string ini = f.ReadIni();
        QCOMPARE(Value(ini, "FieldsWidth", "Id"), std::string("30"));
        QCOMPARE(Value(ini, "FieldsWidth", "DeviceId"), std::string("77"));
        QCOMPARE(Value(ini, "FieldsChecked", "DeviceId"), std::string("0"));
        QCOMPARE(Value(ini, "FieldsWidth", "DateTime"), std::string("31"));
        QCOMPARE(Value(ini, "FieldsWidth", "Message"), std::string("36"));
        f.main->GetListView()->setModel(nullptr);
    }

    void fittedAndDraggedColumnWidthsAreSaved() {
        WindowFixture f;
        f.Start("[FieldsWidth]\nAddress=44\n[Setup]\nIsAutoRun=0\n");
        TF_Main& m = *f.main;
        // A page of one row with every field, as the list's timer makes it.
        const auto page = [&m] {
            TRecordListPage p;
            for (int field = 0; field < RECORD_FIELD_COUNT; ++field) {
                p.fields.push_back(field);
                p.widths.push_back(m.GetFieldWidth(field));
                p.cells.emplace_back("1");
            }
            p.styles.resize(1);
            return p;
        };
        m.GetRecordList()->ShowPage(page());
        QHeaderView* header = m.GetListView()->horizontalHeader();
        const int fitted = header->sectionSize(2);
        QVERIFY(fitted > 60);
        QCOMPARE(header->sectionSize(3), 44);
        header->resizeSection(1, 123); // the operator's hand
        m.GetRecordList()->ShowPage(page());
        QCOMPARE(header->sectionSize(1), 123);
        QVERIFY(m.IniSave());
        const std::string ini = f.ReadIni();
        QCOMPARE(Value(ini, "FieldsWidth", "DeviceId"), std::string("123"));
        QCOMPARE(Value(ini, "FieldsWidth", "DateTime"), std::to_string(fitted));
        QCOMPARE(Value(ini, "FieldsWidth", "Address"), std::string("44"));
    }

    void layoutChangesSaveTenSecondsAfterTheLast() {
        WindowFixture f;
        f.Start("[Setup]\nIsAutoRun=0\nIsLogDebug=1\n");
        f.main->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(f.main.get()));
        QTimer* timer = f.main->GetTimerIniSaveDelay();
        QVERIFY(!timer->isActive());
        f.main->setGeometry(QRect(QPoint(120, 130), f.main->size()));
        const int first = f.LogCount("TF_Main::FormMove");
        f.main->setGeometry(QRect(QPoint(140, 150), f.main->size()));
        QTRY_VERIFY(timer->isActive());
        QCOMPARE(f.LogCount("TF_Main::FormMove"), first + 1);
        QVERIFY(!QFile::exists(QString::fromStdString(f.IniPath())) ||
                Value(f.ReadIni(), "Options", "WindowsLeft") != "140");
        f.main->TimerIniSaveDelayTimer();
        QVERIFY(!timer->isActive());
        QCOMPARE(Value(f.ReadIni(), "Options", "WindowsLeft"), std::string("140"));
        QCOMPARE(Value(f.ReadIni(), "Options", "WindowsTop"), std::string("150"));

        // While the window is disabled (a load runs) its changes are not the operator's.
        timer->stop();
        f.main->setEnabled(false);
        f.main->setGeometry(QRect(QPoint(160, 170), f.main->size()));
        QVERIFY(!timer->isActive());
        f.main->setEnabled(true);
    }

    void anUnwritableFileIsShownAndKeepsTheWindowOpen() {
        WindowFixture f;
        f.Create();
        f.Show();
        // A folder where the file should be: no one can write it, not even root.
        QVERIFY(QDir().mkpath(QString::fromStdString(f.IniPath())));
        QVERIFY(!f.main->IniSave());
        QCOMPARE(f.app.boxes.back(), "Unable to write to " + f.IniPath());

        QVERIFY(!f.main->close());
        QVERIFY(f.main->isVisible());
        QVERIFY(f.main->GetDevice() != nullptr);
        QVERIFY(!f.main->GetDevice()->IsRunning());
        QCOMPARE(f.app.boxes.size(), std::size_t{2});

        QVERIFY(QDir(QString::fromStdString(f.IniPath())).removeRecursively());
        QVERIFY(f.main->close());
        QVERIFY(f.main->GetDevice() == nullptr);
        QVERIFY(QFile::exists(QString::fromStdString(f.IniPath())));
    }
};

QTEST_MAIN(TestSettingsFile)
#include "test_settings_file.moc"
