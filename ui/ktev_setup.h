#pragma once

// The settings dialog: five tabs of controls that are the live holders of the service and
// record settings. Every change in a control reaches the thread-safe current settings at once,
// so the service and the record list read what the dialog shows.

#include <QDialog>

#include <array>
#include <utility>

#include "ui/settings/settings_file.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSpinBox;
class QTabWidget;
class TCurrentSettings;
class TF_Main;
struct TPortListEntry;

class TF_Setup final : public QDialog {
    Q_OBJECT

public:
    static constexpr int ClientWidth = 387;
    static constexpr int ClientHeight = 358;

    // Registers itself with the main window, whose parts it uses, and scans the COM ports.
    explicit TF_Setup(TF_Main& main);
    ~TF_Setup() override;
    TF_Setup(const TF_Setup&) = delete;
    TF_Setup& operator=(const TF_Setup&) = delete;

    // Records per page: the edit box read as a decimal number, the default when it is not one.
    int GetShowLines() const;
    // Clamps to the ShowLines range and writes the number into the edit box.
    void SetShowLines(int value);
    // The selected port's number; 0 when none is selected.
    int GetComNum() const;
    // Selects port `number` (in the ComNum range), adding it to the list with what it is now when
    // the last scan did not find it; any other number selects nothing.
    void SetComNum(int number);
    int GetRecordsMask() const;
    void SetRecordsMask(int mask);
    void SetDBFile(const QString& path);

    // Rescans ports 1 to 255 and lists every port there (free, busy, not allowed), the one the
    // service holds and the configured one whatever it is now; the selection stays.
    void ComPortListUpdate();
    // Run on every showing and every closing.
    void FormShow();
    void FormClose();

    // The Setup section of the settings file into the controls and out of them.
    void Load(const TSetupOptions& setup);
    TSetupOptions Collect() const;
    // The Mqtt section likewise; the gateway takes it when the dialog closes.
    void LoadMqtt(const TMqttSettings& mqtt);
    TMqttSettings CollectMqtt() const;

    // The controls, named as the window design names them.
    QTabWidget* PageControl = nullptr;
    QLabel* LabelFile = nullptr;
    QLineEdit* EditDBFile = nullptr;
    QPushButton* ButtonDBFileNew = nullptr;
    QPushButton* ButtonDBFileOpen = nullptr;
    QCheckBox* CheckBoxAutoRun = nullptr;
    // Shows and sets whether the session starts the program (the XDG autostart entry); it
    // writes or removes the entry at once.
    QCheckBox* CheckBoxSessionStart = nullptr;
    // Who the audit trail names; empty: the user the program runs as.
    QLabel* LabelOperatorName = nullptr;
    QLineEdit* EditOperatorName = nullptr;
    QLabel* LabelComNum = nullptr;
    QComboBox* ComboBoxComPort = nullptr;
    // What stands behind the selected port: its path, device, adapter and state.
    QLabel* LabelComInfo = nullptr;
    QPushButton* ButtonComRefresh = nullptr;
    QCheckBox* CheckBoxDtr = nullptr;
    QCheckBox* CheckBoxRts = nullptr;
    QCheckBox* CheckBoxInv = nullptr;
    // The UART driver switches the line itself (the kernel's RS-485 mode) where it can.
    QCheckBox* CheckBoxRs485 = nullptr;
    QLabel* LabelShowLines = nullptr;
    QPushButton* ButtonShowLinesM10 = nullptr;
    QPushButton* ButtonShowLinesM1 = nullptr;
    QLineEdit* EditShowLines = nullptr;
    QPushButton* ButtonShowLinesP1 = nullptr;
    QPushButton* ButtonShowLinesP10 = nullptr;
    QPushButton* ButtonShowLinesDefault = nullptr;
    QLabel* LabelRecordsIsShow = nullptr;
    QListWidget* CheckListBoxRecordsMask = nullptr;
    QPushButton* ButtonRecordsMaskAll = nullptr;
    QCheckBox* CheckBoxIsSound = nullptr;
    QCheckBox* CheckBoxSoundUntilAck = nullptr;
    QLabel* LabelSoundTest = nullptr;
    QPushButton* ButtonSoundTestAlarm = nullptr;
    QPushButton* ButtonSoundTestAttention = nullptr;
    QPushButton* ButtonSoundTestFailure = nullptr;
    QPushButton* ButtonSoundTestStop = nullptr;
    // The MQTT tab: the gateway to a broker.
    QCheckBox* CheckBoxMqttEnabled = nullptr;
    QLineEdit* EditMqttHost = nullptr;
    QSpinBox* SpinMqttPort = nullptr;
    QCheckBox* CheckBoxMqttTls = nullptr;
    QLineEdit* EditMqttCaFile = nullptr;
    QLineEdit* EditMqttUser = nullptr;
    QLineEdit* EditMqttPassword = nullptr;
    QLineEdit* EditMqttClientId = nullptr;
    QLineEdit* EditMqttPrefix = nullptr;
    QCheckBox* CheckBoxMqttCommands = nullptr;
    QCheckBox* CheckBoxMqttDiscovery = nullptr;
    QPushButton* ButtonSave = nullptr;
    QPushButton* ButtonClose = nullptr;

public slots:
    void done(int result) override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    // The check boxes and the Setup flags they hold, in the order they are loaded.
    using TFlagBoxes = std::array<std::pair<QCheckBox*, bool TSetupOptions::*>, 7>;

    TFlagBoxes FlagBoxes() const;
    QWidget* BuildFileTab();
    QWidget* BuildComTab();
    QWidget* BuildRecordsTab();
    QWidget* BuildSoundTab();
    QWidget* BuildMqttTab();
    void ButtonSaveClick();
    void AddPortItem(TPortListEntry entry);
    // The selected port into the settings and its description into the label.
    void ComPortSelected();
    void NormaliseShowLines();
    // Whether the autostart entry is there, into the check box.
    void ShowSessionStart();
    void SessionStartToggled(bool on);
    void StopSound();

    TF_Main& main_;
    TCurrentSettings& settings_;
};
