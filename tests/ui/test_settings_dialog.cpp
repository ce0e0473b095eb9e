// The settings dialog: its controls as the live settings, the records-per-page buttons, the
// port list, the records mask with Save and Close, the session's autostart entry, and the sound
// tests.

#include "window_fixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScopeGuard>
#include <QSoundEffect>
#include <QSpinBox>
#include <QTabWidget>

#include <cstdlib>

#include "audio/sound.h"
#include "buslink/comp32.h"
#include "records/record.h"
#include "ui/sound_output_qt.h"

class TestSettingsDialog : public QObject {
    Q_OBJECT

private:
    // A shown window with the dialog open (not modal, so the test goes on).
    static void Open(WindowFixture& f) {
        f.Start("[Setup]\nIsAutoRun=0\n");
        f.setup->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.setup.get()));
    }

    static int Ticked(const TF_Setup& setup) {
        int ticked = 0;
        for (int i = 0; i < setup.CheckListBoxRecordsMask->count(); ++i) {
            ticked += setup.CheckListBoxRecordsMask->item(i)->checkState() == Qt::Checked ? 1 : 0;
        }
        return ticked;
    }

private slots:
    void aNewDialogHoldsTheInitialValues() {
        WindowFixture f;
        f.Create();
        TF_Setup& s = *f.setup;
        QCOMPARE(s.windowTitle(), QStringLiteral("Настройки"));
        QCOMPARE(s.PageControl->count(), 5);
        QCOMPARE(s.PageControl->currentIndex(), 0);
        QCOMPARE(s.GetRecordsMask(), 0x7FFFFFFF);
        QVERIFY(s.EditDBFile->text().isEmpty());
        QVERIFY(s.EditShowLines->text().isEmpty());
        QVERIFY(!s.CheckBoxIsSound->isChecked() && !s.CheckBoxAutoRun->isChecked());
        // Not resizable, at least the design's client area.
        QCOMPARE(s.minimumSize(), s.maximumSize());
        QVERIFY(s.width() >= TF_Setup::ClientWidth && s.height() >= TF_Setup::ClientHeight);
        QVERIFY(f.LogHasInOrder({"----- Запуск приложения -----", "COM портов найдено: "}));
    }

    void opensCentredOnTheMainWindowWithoutMinimiseOrMaximise() {
        WindowFixture f;
        f.Start("[Options]\nWindowsLeft=150\nWindowsTop=120\nWindowsWidth=1000\n"
                "WindowsHeight=700\n[Setup]\nIsAutoRun=0\n");
        TF_Setup& s = *f.setup;
        QVERIFY(!(s.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
        QVERIFY(s.windowFlags() & Qt::WindowCloseButtonHint);
        s.show();
        QVERIFY(QTest::qWaitForWindowExposed(&s));
        // Qt leaves room for a title bar it cannot see: within 50 pixels of the centre.
        const QPoint off = s.frameGeometry().center() - f.main->frameGeometry().center();
        QVERIFY2(std::abs(off.x()) <= 50 && std::abs(off.y()) <= 50,
                 qPrintable(QStringLiteral("%1, %2").arg(off.x()).arg(off.y())));
    }

    void recordsPerPageButtonsStayInRange() {
        WindowFixture f;
        Open(f);
        TF_Setup& s = *f.setup;
        s.EditShowLines->setText(QStringLiteral("15"));
        s.ButtonShowLinesM10->click();
        QCOMPARE(s.EditShowLines->text(), QStringLiteral("10"));
        s.ButtonShowLinesM1->click();
        QCOMPARE(s.EditShowLines->text(), QStringLiteral("10"));
        s.EditShowLines->setText(QStringLiteral("295"));
        s.ButtonShowLinesP10->click();
        QCOMPARE(s.EditShowLines->text(), QStringLiteral("300"));
        s.EditShowLines->setText(QStringLiteral("abc"));
        QCOMPARE(s.GetShowLines(), 50);
        QCOMPARE(f.main->GetSettings().GetShowLines(), 50);
        s.ButtonShowLinesP1->click();
        QCOMPARE(s.EditShowLines->text(), QStringLiteral("51"));
        s.ButtonShowLinesDefault->click();
        QCOMPARE(s.EditShowLines->text(), QStringLiteral("50"));

        // A typed value is held as typed until the dialog closes.
        s.EditShowLines->setText(QStringLiteral("1000"));
        QCOMPARE(f.main->GetSettings().GetShowLines(), 1000);
        s.ButtonClose->click();
        QVERIFY(!s.isVisible());
        QCOMPARE(s.EditShowLines->text(), QStringLiteral("300"));
        QCOMPARE(f.main->GetSettings().GetShowLines(), 300);
    }

    void theControlsAreTheSettings() {
        WindowFixture f;
        Open(f);
        TF_Setup& s = *f.setup;
        const TCurrentSettings& c = f.main->GetSettings();
        s.CheckBoxDtr->click();
        s.CheckBoxInv->click();
        s.CheckBoxRs485->click();
        s.CheckBoxIsSound->click();
        s.CheckBoxAutoRun->click();
        QVERIFY(c.GetCtrlDtr() && !c.GetCtrlRts() && c.GetCtrlInv() && c.GetCtrlRs485());
        QVERIFY(!c.GetIsSound());
        QVERIFY(c.GetIsAutoRun());
        QTest::keyClicks(s.EditDBFile, QStringLiteral("x"));
        QCOMPARE(c.GetDBFile(), s.EditDBFile->text().toStdString());
        // "Закрыть" keeps them, and the next save of any kind writes them.
        s.ButtonClose->click();
        QVERIFY(c.GetCtrlDtr());
        QVERIFY(f.main->IniSave());
        const std::string ini = f.ReadIni();
        QVERIFY(ini.find("CtrlDtr=1") != std::string::npos);
        QVERIFY(ini.find("CtrlRs485=1") != std::string::npos);
        QVERIFY(ini.find("IsSound=0") != std::string::npos);
    }

    void thePortListHoldsThePortsThereAndTheConfiguredOne() {
        WindowFixture f;
        PtyPort com3(f.PortsDir(), 3);
        auto com200 = std::make_unique<PtyPort>(f.PortsDir(), 200);
        PtyPort com5(f.PortsDir(), 5);
        Open(f);
        TF_Setup& s = *f.setup;
        QComboBox& list = *s.ComboBoxComPort;
        TComp32 other(f.port.PortsDir()); // another program holds COM5
        QVERIFY(other.Open(5, 9600));
        s.ButtonComRefresh->click();
        QVERIFY(list.findData(3) >= 0);
        QVERIFY(list.findData(200) >= 0);
        QVERIFY(list.findData(4) < 0);
        // Each item says what stands behind the number and whether it is free.
        const QString busy = list.itemText(list.findData(5));
        QVERIFY(busy.startsWith(QStringLiteral("COM5: /dev/pts/")));
        QVERIFY(busy.endsWith(QStringLiteral(" — занят другой программой")));
        QVERIFY(list.itemText(list.findData(3)).endsWith(QStringLiteral(" — свободен")));
        QVERIFY(!list.isEditable());
        QCOMPARE(s.GetComNum(), 0); // the file names no port

        // A port the scan did not find is still the configured one, listed as what it is.
        s.SetComNum(7);
        QCOMPARE(s.GetComNum(), 7);
        QCOMPARE(list.currentText(), QStringLiteral("COM7: /dev/ttyS6 — нет устройства"));
        QCOMPARE(s.LabelComInfo->text(), QStringLiteral("COM7: нет устройства\n/dev/ttyS6"));
        QCOMPARE(f.main->GetSettings().GetComNum(), 7);
        s.SetComNum(200);
        QCOMPARE(s.GetComNum(), 200);
        QCOMPARE(f.main->GetSettings().GetComNum(), 200);
        list.setCurrentIndex(list.findData(3));
        QCOMPARE(f.main->GetSettings().GetComNum(), 3);
        s.SetComNum(0);
        QCOMPARE(s.GetComNum(), 0);
        QCOMPARE(list.currentIndex(), -1);

        // A rescan keeps the selected port, there or gone, and lists it as it is now.
        s.SetComNum(3);
        s.ButtonComRefresh->click();
        QCOMPARE(s.GetComNum(), 3);
        QVERIFY(s.ButtonComRefresh->isEnabled());
        s.SetComNum(200);
        com200.reset();
        s.ButtonComRefresh->click();
        QCOMPARE(s.GetComNum(), 200);
        QCOMPARE(f.main->GetSettings().GetComNum(), 200);
        QCOMPARE(list.currentText(), QStringLiteral("COM200 — нет устройства"));
        // An absent port is listed only while it is configured.
        QVERIFY(list.findData(7) < 0);
        // Saved as configured.
        QVERIFY(f.main->IniSave());
        QVERIFY(f.ReadIni().find("ComNum=200") != std::string::npos);
    }

    void theMaskChangesOnlyBySave() {
        WindowFixture f;
        Open(f);
        TF_Setup& s = *f.setup;
        QCOMPARE(s.CheckListBoxRecordsMask->count(), RECORD_TYPE_COUNT);
        QCOMPARE(s.CheckListBoxRecordsMask->item(3)->text(),
                 QString::fromStdString(f.main->GetRecord()->GetTypeName(3)));
        QVERIFY(!s.CheckListBoxRecordsMask->item(27)->text().isEmpty());
        QCOMPARE(Ticked(s), RECORD_TYPE_COUNT);

        // Unticked and closed: the mask stays, the ticks are back at the next opening.
        s.CheckListBoxRecordsMask->item(2)->setCheckState(Qt::Unchecked);
        s.CheckListBoxRecordsMask->item(9)->setCheckState(Qt::Unchecked);
        s.ButtonClose->click();
        QCOMPARE(s.GetRecordsMask(), 0x7FFFFFFF);
        s.show();
        QCOMPARE(Ticked(s), RECORD_TYPE_COUNT);

        // Unticked and saved: the mask has exactly the ticked types, bits 28 to 31 clear.
        s.CheckListBoxRecordsMask->item(2)->setCheckState(Qt::Unchecked);
        s.ButtonSave->click();
        QVERIFY(!s.isVisible());
        QCOMPARE(s.GetRecordsMask(), 0x0FFFFFFB);
        QCOMPARE(f.main->GetSettings().GetRecordsMask(), 0x0FFFFFFB);
        QVERIFY(f.ReadIni().find("RecordsMask=268435451") != std::string::npos);

        s.show();
        QCOMPARE(Ticked(s), RECORD_TYPE_COUNT - 1);
        s.ButtonRecordsMaskAll->click();
        s.ButtonSave->click();
        QCOMPARE(s.GetRecordsMask(), 268435455);
        QVERIFY(f.ReadIni().find("RecordsMask=268435455") != std::string::npos);
    }

    void mqttTabLoadsAndSavesItsSection() {
        WindowFixture f;
        // Enabled towards a port where nothing listens: the gateway runs and says so.
        f.Start("[Setup]\nIsAutoRun=0\n[Mqtt]\nEnabled=1\nHost=127.0.0.1\nPort=1\nTls=1\n"
                "CaFile=/etc/ca.pem\nUser=guard\nPassword=s3cret;x\nClientId=post-1\n"
                "Prefix=site/a\nCommands=1\n");
        TF_Setup& s = *f.setup;
        QCOMPARE(s.PageControl->tabText(4), QStringLiteral("MQTT"));
        QVERIFY(s.CheckBoxMqttEnabled->isChecked());
        QCOMPARE(s.EditMqttHost->text(), QStringLiteral("127.0.0.1"));
        QCOMPARE(s.SpinMqttPort->value(), 1);
        QVERIFY(s.CheckBoxMqttTls->isChecked() && s.CheckBoxMqttCommands->isChecked());
        QVERIFY(!s.CheckBoxMqttDiscovery->isChecked());
        QCOMPARE(s.EditMqttCaFile->text(), QStringLiteral("/etc/ca.pem"));
        QCOMPARE(s.EditMqttUser->text(), QStringLiteral("guard"));
        QCOMPARE(s.EditMqttPassword->text(), QStringLiteral("s3cret;x"));
        QCOMPARE(s.EditMqttPassword->echoMode(), QLineEdit::Password);
        QCOMPARE(s.EditMqttClientId->text(), QStringLiteral("post-1"));
        QCOMPARE(s.EditMqttPrefix->text(), QStringLiteral("site/a"));

        QTRY_VERIFY(f.LogHasInOrder({"MQTT: брокер 127.0.0.1:1 недоступен"}));
        for (const std::string& text : f.LogTexts()) {
            QVERIFY2(text.find("s3cret") == std::string::npos, text.c_str());
        }

        s.show();
        s.CheckBoxMqttEnabled->setChecked(false);
        s.SpinMqttPort->setValue(1884);
        s.CheckBoxMqttDiscovery->setChecked(true);
        s.ButtonSave->click();
        const std::string ini = f.ReadIni();
        for (const char* line : {"[Mqtt]", "Enabled=0", "Host=127.0.0.1", "Port=1884",
                                 "Password=s3cret;x", "Prefix=site/a", "Discovery=1"}) {
            QVERIFY2(ini.find(line) != std::string::npos, line);
        }
    }

    void saveThatCannotWriteKeepsTheDialogOpen() {
        WindowFixture f;
        Open(f);
        QVERIFY(QFile::remove(QString::fromStdString(f.IniPath())));
        QVERIFY(QDir().mkpath(QString::fromStdString(f.IniPath())));
        f.setup->ButtonSave->click();
        QVERIFY(f.setup->isVisible());
        QCOMPARE(f.app.boxes.back(), "Unable to write to " + f.IniPath());
        f.setup->ButtonClose->click();
        QVERIFY(!f.setup->isVisible());
    }

    void fileButtonsRunTheMainWindowsCommands() {
        WindowFixture f;
        Open(f);
        const QString chosen = f.dir.filePath(QStringLiteral("new.db"));
        f.answers = {chosen};
        f.setup->ButtonDBFileNew->click();
        QCOMPARE(f.setup->EditDBFile->text(), chosen);
        f.answers = {QString()};
        f.setup->ButtonDBFileOpen->click();
        QCOMPARE(f.setup->EditDBFile->text(), chosen);
        QVERIFY(
            f.LogHasInOrder({"Создание нового файла", "Файл: ", "Выбор файла", "Файл не выбран"}));
    }

    void sessionStartWritesAndRemovesTheAutostartEntry() {
        WindowFixture f;
        const QByteArray config = f.dir.filePath(QStringLiteral("config")).toLocal8Bit();
        const QByteArray before = qgetenv("XDG_CONFIG_HOME");
        const auto restore = qScopeGuard([&] { qputenv("XDG_CONFIG_HOME", before); });
        qputenv("XDG_CONFIG_HOME", config);
        const QString entry = QString::fromLocal8Bit(config) + "/autostart/ktev.desktop";
        Open(f);
        QCheckBox* box = f.setup->CheckBoxSessionStart;
        QCOMPARE(box->text(), QStringLiteral("Запускать при входе в систему"));
        QVERIFY(!box->isChecked());

        box->click();
        QFile file(entry);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(file.readAll());
        QVERIFY2(text.contains(QStringLiteral("\nName=Кордея-ТЛ\n")), qPrintable(text));
        QVERIFY2(text.contains(" --home " + QString::fromStdString(f.main->GetProgramDir()) + "\n"),
                 qPrintable(text));
        QCOMPARE(QDir(QFileInfo(entry).path()).entryList(QDir::Files), QStringList{"ktev.desktop"});
        // The box shows what is there, whoever made or removed it.
        f.setup->hide();
        f.setup->show();
        QVERIFY(box->isChecked());

        box->click();
        QVERIFY(!QFile::exists(entry));
        QVERIFY(!box->isChecked());

        // A folder that takes no file: the box stays clear and the log says why.
        QVERIFY(QDir().rmdir(QFileInfo(entry).path()));
        QVERIFY(QFile(QFileInfo(entry).path()).open(QIODevice::WriteOnly));
        box->click();
        QVERIFY(!box->isChecked());
        QVERIFY(f.LogHasInOrder(
            {"Запуск при входе в систему выключен", "Запуск при входе в систему не включён: "}));
    }

    void soundTestsFollowTheSoundSetting() {
        WindowFixture f;
        Open(f);
        QDir::setCurrent(QStringLiteral(KTEV_SOURCE_DIR));
        TF_Setup& s = *f.setup;
        TQtSoundOutput& output = *f.main->GetSoundOutput();
        s.CheckBoxIsSound->setChecked(false);
        s.ButtonSoundTestAlarm->click();
        QTest::qWait(300);
        QVERIFY(output.findChildren<QSoundEffect*>().isEmpty());
        QCOMPARE(TSound::GetSound(f.main->GetSound()), SOUND_OFF);

        s.CheckBoxIsSound->setChecked(true);
        s.ButtonSoundTestAttention->click();
        QTRY_VERIFY(!output.findChildren<QSoundEffect*>().isEmpty());
        QSoundEffect* effect = output.findChildren<QSoundEffect*>().constFirst();
        QVERIFY(effect->source().toString().endsWith(QLatin1String("attention.wav")));
        QTRY_VERIFY(effect->isPlaying());
        // "СТОП" stops what plays and leaves the level as it was.
        s.ButtonSoundTestStop->click();
        QTRY_VERIFY(!effect->isPlaying());
        QCOMPARE(TSound::GetSound(f.main->GetSound()), SOUND_ATTENTION);

        // Closing the dialog stops a test sound too.
        s.ButtonSoundTestFailure->click();
        QTRY_VERIFY(output.findChildren<QSoundEffect*>().size() == 2);
        QSoundEffect* failure = nullptr;
        for (QSoundEffect* e : output.findChildren<QSoundEffect*>()) {
            failure = e->source().toString().endsWith(QLatin1String("failure.wav")) ? e : failure;
        }
        QVERIFY(failure != nullptr);
        QTRY_VERIFY(failure->isPlaying());
        s.ButtonClose->click();
        QTRY_VERIFY(!failure->isPlaying());
    }
};

QTEST_MAIN(TestSettingsDialog)
#include "test_settings_dialog.moc"
