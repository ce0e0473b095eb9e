#include "ui/ktev_setup.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include <unistd.h>

#include <algorithm>
#include <vector>

#include "audio/sound.h"
#include "buslink/kordeya32.h"
#include "buslink/port_list.h"
#include "common/autostart_entry.h"
#include "common/program_path.h"
#include "device/device.h"
#include "log/log.h"
#include "records/audit.h"
#include "records/record.h"
#include "ui/ktev_main.h"
#include "ui/settings/current_settings.h"
#include "ui/sound_output_qt.h"

namespace {

QPushButton* Button(const char* name, const char* caption) {
    auto* button = new QPushButton(QString::fromUtf8(caption));
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    return button;
}

QCheckBox* CheckBox(const char* name, const char* caption) {
    auto* box = new QCheckBox(QString::fromUtf8(caption));
    box->setObjectName(QString::fromLatin1(name));
    return box;
}

QLabel* Label(const char* name, const char* caption) {
    auto* label = new QLabel(QString::fromUtf8(caption));
    label->setObjectName(QString::fromLatin1(name));
    return label;
}

} // namespace

TF_Setup::TF_Setup(TF_Main& main)
    // A title and a close button only, whatever a window manager would add; shown, it is
    // centred on the main window, its parent.
    : QDialog(&main, Qt::Dialog | Qt::CustomizeWindowHint | Qt::MSWindowsFixedSizeDialogHint |
                         Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowCloseButtonHint),
      main_(main), settings_(main.GetSettings()) {
    setObjectName(QStringLiteral("F_Setup"));
    setWindowTitle(QStringLiteral("Настройки"));
    setModal(true);

    PageControl = new QTabWidget;
    PageControl->setObjectName(QStringLiteral("PageControl"));
    PageControl->addTab(BuildFileTab(), QStringLiteral("Файл"));
    PageControl->addTab(BuildComTab(), QStringLiteral("COM порт"));
    PageControl->addTab(BuildRecordsTab(), QStringLiteral("Записи"));
    PageControl->addTab(BuildSoundTab(), QStringLiteral("Звук"));
    PageControl->addTab(BuildMqttTab(), QStringLiteral("MQTT"));

    ButtonSave = Button("ButtonSave", "Сохранить");
    ButtonClose = Button("ButtonClose", "Закрыть");
    connect(ButtonSave, &QPushButton::clicked, this, &TF_Setup::ButtonSaveClick);
    connect(ButtonClose, &QPushButton::clicked, this, &QDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ButtonSave);
    buttons->addWidget(ButtonClose);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(PageControl, 1);
    layout->addLayout(buttons);
    // The design's client area, grown only where the system font needs more room.
    setFixedSize(layout->minimumSize().expandedTo(QSize(ClientWidth, ClientHeight)));

    PageControl->setCurrentIndex(0);
    SetRecordsMask(RECORDS_MASK_KEY.fallback);
    EditDBFile->clear();
    EditShowLines->clear();
    main_.SetSetup(this);
    ComPortListUpdate();
}

TF_Setup::~TF_Setup() {
    main_.SetSetup(nullptr);
}

QWidget* TF_Setup::BuildFileTab() {
    auto* tab = new QWidget;
    LabelFile = Label("LabelFile", "Путь к файлу");
    EditDBFile = new QLineEdit;
    EditDBFile->setObjectName(QStringLiteral("EditDBFile"));
    connect(EditDBFile, &QLineEdit::textChanged, this,
            [this](const QString& text) { settings_.SetDBFile(text.toStdString()); });
    ButtonDBFileNew = Button("ButtonDBFileNew", "Новый");
    ButtonDBFileOpen = Button("ButtonDBFileOpen", "Открыть...");
    connect(ButtonDBFileNew, &QPushButton::clicked, &main_, &TF_Main::MM_File_NewClick);
    connect(ButtonDBFileOpen, &QPushButton::clicked, &main_, &TF_Main::MM_File_OpenClick);
    CheckBoxAutoRun = CheckBox("CheckBoxAutoRun", "Автозапуск при старте");
    connect(CheckBoxAutoRun, &QCheckBox::toggled, this,
            [this](bool on) { settings_.SetIsAutoRun(on); });
    CheckBoxSessionStart = CheckBox("CheckBoxSessionStart", "Запускать при входе в систему");
    connect(CheckBoxSessionStart, &QCheckBox::toggled, this, &TF_Setup::SessionStartToggled);

    LabelOperatorName = Label("LabelOperatorName", "Оператор");
    EditOperatorName = new QLineEdit;
    EditOperatorName->setObjectName(QStringLiteral("EditOperatorName"));
    EditOperatorName->setPlaceholderText(QString::fromStdString(TAudit::GetSystemUser()));

    auto* files = new QHBoxLayout;
    files->addWidget(ButtonDBFileNew);
    files->addWidget(ButtonDBFileOpen);
    files->addStretch(1);
    auto* layout = new QVBoxLayout(tab);
    layout->addWidget(LabelFile);
    layout->addWidget(EditDBFile);
    layout->addLayout(files);
    layout->addSpacing(8);
    layout->addWidget(CheckBoxAutoRun);
    layout->addWidget(CheckBoxSessionStart);
    layout->addSpacing(8);
    layout->addWidget(LabelOperatorName);
    layout->addWidget(EditOperatorName);
    layout->addStretch(1);
    return tab;
}

QWidget* TF_Setup::BuildComTab() {
    auto* tab = new QWidget;
    LabelComNum = Label("LabelComNum", "COM порт");
    ComboBoxComPort = new QComboBox;
    ComboBoxComPort->setObjectName(QStringLiteral("ComboBoxComPort"));
    ComboBoxComPort->setEditable(false);
    // The items say what stands behind each port: the box keeps the dialog's width, the
    // drop-down list shows them whole, and the label below tells the selected one at length.
    ComboBoxComPort->setMinimumContentsLength(7);
    ComboBoxComPort->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    ComboBoxComPort->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    LabelComInfo = Label("LabelComInfo", "");
    LabelComInfo->setWordWrap(true);
    LabelComInfo->setTextInteractionFlags(Qt::TextSelectableByMouse);
    connect(ComboBoxComPort, &QComboBox::currentIndexChanged, this, &TF_Setup::ComPortSelected);
    ButtonComRefresh = Button("ButtonComRefresh", "Обновить");
    connect(ButtonComRefresh, &QPushButton::clicked, this, &TF_Setup::ComPortListUpdate);
    CheckBoxDtr = CheckBox("CheckBoxDtr", "Управление переключением DTR");
    CheckBoxRts = CheckBox("CheckBoxRts", "Управление переключением RTS");
    CheckBoxInv = CheckBox("CheckBoxInv", "Инвертирование управление переключением");
    CheckBoxRs485 = CheckBox("CheckBoxRs485", "Переключение драйвером порта (RS-485 ядра)");
    CheckBoxRs485->setToolTip(QStringLiteral(
        "Драйвер порта сам переключает линию RTS вокруг каждой передачи (TIOCSRS485), "
        "если он это умеет; иначе линию переключают DTR/RTS, отмеченные выше"));
    connect(CheckBoxDtr, &QCheckBox::toggled, this, [this](bool on) { settings_.SetCtrlDtr(on); });
    connect(CheckBoxRts, &QCheckBox::toggled, this, [this](bool on) { settings_.SetCtrlRts(on); });
    connect(CheckBoxInv, &QCheckBox::toggled, this, [this](bool on) { settings_.SetCtrlInv(on); });
    connect(CheckBoxRs485, &QCheckBox::toggled, this,
            [this](bool on) { settings_.SetCtrlRs485(on); });

    auto* port = new QHBoxLayout;
    port->addWidget(LabelComNum);
    port->addWidget(ComboBoxComPort, 1);
    port->addWidget(ButtonComRefresh);
    auto* layout = new QVBoxLayout(tab);
    layout->addLayout(port);
    layout->addWidget(LabelComInfo);
    layout->addSpacing(8);
    layout->addWidget(CheckBoxDtr);
    layout->addWidget(CheckBoxRts);
    layout->addWidget(CheckBoxInv);
    layout->addWidget(CheckBoxRs485);
    layout->addStretch(1);
    return tab;
}

QWidget* TF_Setup::BuildRecordsTab() {
    auto* tab = new QWidget;
    LabelShowLines = Label("LabelShowLines", "");
    LabelShowLines->setText(QStringLiteral("Количество выводимых сообшений (%1...%2)")
                                .arg(SHOW_LINES_KEY.min)
                                .arg(SHOW_LINES_KEY.max));
    ButtonShowLinesM10 = Button("ButtonShowLinesM10", "-10");
    ButtonShowLinesM1 = Button("ButtonShowLinesM1", "-1");
    EditShowLines = new QLineEdit;
    EditShowLines->setObjectName(QStringLiteral("EditShowLines"));
    EditShowLines->setMaximumWidth(EditShowLines->fontMetrics().horizontalAdvance(u'0') * 8);
    connect(EditShowLines, &QLineEdit::textChanged, this,
            [this](const QString& text) { settings_.SetShowLinesText(text.toStdString()); });
    ButtonShowLinesP1 = Button("ButtonShowLinesP1", "+1");
    ButtonShowLinesP10 = Button("ButtonShowLinesP10", "+10");
    ButtonShowLinesDefault = Button("ButtonShowLinesDefault", "Default");
    const std::pair<QPushButton*, int> steps[] = {{ButtonShowLinesM10, -10},
                                                  {ButtonShowLinesM1, -1},
                                                  {ButtonShowLinesP1, 1},
                                                  {ButtonShowLinesP10, 10}};
    for (const auto& [button, step] : steps) {
        connect(button, &QPushButton::clicked, this,
                [this, step = step] { SetShowLines(GetShowLines() + step); });
    }
    connect(ButtonShowLinesDefault, &QPushButton::clicked, this,
            [this] { EditShowLines->setText(QString::number(SHOW_LINES_KEY.fallback)); });
    LabelRecordsIsShow = Label("LabelRecordsIsShow", "Показывать записи (Маскирование записей):");
    CheckListBoxRecordsMask = new QListWidget;
    CheckListBoxRecordsMask->setObjectName(QStringLiteral("CheckListBoxRecordsMask"));
    ButtonRecordsMaskAll = Button("ButtonRecordsMaskAll", "Все включить");
    connect(ButtonRecordsMaskAll, &QPushButton::clicked, this, [this] {
        for (int i = 0; i < CheckListBoxRecordsMask->count(); ++i) {
            CheckListBoxRecordsMask->item(i)->setCheckState(Qt::Checked);
        }
    });

    auto* row = new QHBoxLayout;
    for (QWidget* w :
         std::initializer_list<QWidget*>{ButtonShowLinesM10, ButtonShowLinesM1, EditShowLines,
                                         ButtonShowLinesP1, ButtonShowLinesP10}) {
        row->addWidget(w);
    }
    row->addStretch(1);
    row->addWidget(ButtonShowLinesDefault);
    for (QPushButton* b :
         {ButtonShowLinesM10, ButtonShowLinesM1, ButtonShowLinesP1, ButtonShowLinesP10}) {
        b->setMaximumWidth(b->fontMetrics().horizontalAdvance(b->text()) + 20);
    }
    auto* all = new QHBoxLayout;
    all->addStretch(1);
    all->addWidget(ButtonRecordsMaskAll);
    auto* layout = new QVBoxLayout(tab);
    layout->addWidget(LabelShowLines);
    layout->addLayout(row);
    layout->addWidget(LabelRecordsIsShow);
    layout->addWidget(CheckListBoxRecordsMask, 1);
    layout->addLayout(all);
    return tab;
}

QWidget* TF_Setup::BuildSoundTab() {
    auto* tab = new QWidget;
    CheckBoxIsSound = CheckBox("CheckBoxIsSound", "Разрешить звук событий");
    connect(CheckBoxIsSound, &QCheckBox::toggled, this,
            [this](bool on) { settings_.SetIsSound(on); });
    CheckBoxSoundUntilAck = CheckBox("CheckBoxSoundUntilAck", "Звук до квитирования");
    connect(CheckBoxSoundUntilAck, &QCheckBox::toggled, this,
            [this](bool on) { settings_.SetSoundUntilAck(on); });
    LabelSoundTest = Label("LabelSoundTest", "Тест звука");
    ButtonSoundTestAlarm = Button("ButtonSoundTestAlarm", "Тревога");
    ButtonSoundTestAttention = Button("ButtonSoundTestAttention", "Внимание");
    ButtonSoundTestFailure = Button("ButtonSoundTestFailure", "Неисправность");
    ButtonSoundTestStop = Button("ButtonSoundTestStop", "СТОП");
    const std::pair<QPushButton*, TSoundLevel> tests[] = {
        {ButtonSoundTestAlarm, SOUND_ALARM},
        {ButtonSoundTestAttention, SOUND_ATTENTION},
        {ButtonSoundTestFailure, SOUND_FAILURE}};
    for (const auto& [button, level] : tests) {
        connect(button, &QPushButton::clicked, this, [this, level = level] {
            TSound::SetSound(main_.GetSound(), level, TSoundRequest::Operator);
        });
    }
    connect(ButtonSoundTestStop, &QPushButton::clicked, this, &TF_Setup::StopSound);

    auto* row = new QHBoxLayout;
    row->addWidget(ButtonSoundTestAlarm);
    row->addWidget(ButtonSoundTestAttention);
    row->addWidget(ButtonSoundTestFailure);
    auto* layout = new QVBoxLayout(tab);
    layout->addWidget(CheckBoxIsSound);
    layout->addWidget(CheckBoxSoundUntilAck);
    layout->addSpacing(8);
    layout->addWidget(LabelSoundTest);
    layout->addLayout(row);
    layout->addWidget(ButtonSoundTestStop);
    layout->addStretch(1);
    return tab;
}

QWidget* TF_Setup::BuildMqttTab() {
    auto* tab = new QWidget;
    const auto edit = [](const char* name) {
        auto* e = new QLineEdit;
        e->setObjectName(QString::fromLatin1(name));
        return e;
    };
    CheckBoxMqttEnabled = CheckBox("CheckBoxMqttEnabled", "Публиковать события и состояния");
    EditMqttHost = edit("EditMqttHost");
    SpinMqttPort = new QSpinBox;
    SpinMqttPort->setObjectName(QStringLiteral("SpinMqttPort"));
    SpinMqttPort->setRange(1, 65535);
    CheckBoxMqttTls = CheckBox("CheckBoxMqttTls", "TLS");
    EditMqttCaFile = edit("EditMqttCaFile");
    EditMqttCaFile->setPlaceholderText(QStringLiteral("/etc/ssl/certs"));
    EditMqttUser = edit("EditMqttUser");
    EditMqttPassword = edit("EditMqttPassword");
    EditMqttPassword->setEchoMode(QLineEdit::Password);
    EditMqttClientId = edit("EditMqttClientId");
    EditMqttPrefix = edit("EditMqttPrefix");
    CheckBoxMqttCommands = CheckBox("CheckBoxMqttCommands", "Принимать команды");
    CheckBoxMqttDiscovery = CheckBox("CheckBoxMqttDiscovery", "Обнаружение Home Assistant");

    auto* grid = new QGridLayout;
    const auto row = [grid](int at, const char* name, const char* caption, QWidget* field) {
        grid->addWidget(Label(name, caption), at, 0);
        grid->addWidget(field, at, 1);
    };
    row(0, "LabelMqttHost", "Брокер", EditMqttHost);
    row(1, "LabelMqttPort", "Порт", SpinMqttPort);
    row(2, "LabelMqttCaFile", "Файл CA", EditMqttCaFile);
    row(3, "LabelMqttUser", "Пользователь", EditMqttUser);
    row(4, "LabelMqttPassword", "Пароль", EditMqttPassword);
    row(5, "LabelMqttClientId", "Код клиента", EditMqttClientId);
    row(6, "LabelMqttPrefix", "Префикс тем", EditMqttPrefix);
    auto* layout = new QVBoxLayout(tab);
    layout->addWidget(CheckBoxMqttEnabled);
    layout->addLayout(grid);
    layout->addWidget(CheckBoxMqttTls);
    layout->addWidget(CheckBoxMqttCommands);
    layout->addWidget(CheckBoxMqttDiscovery);
    layout->addStretch(1);
    return tab;
}

int TF_Setup::GetShowLines() const {
    return settings_.GetShowLines();
}

void TF_Setup::SetShowLines(int value) {
    EditShowLines->setText(QString::number(Clamped(SHOW_LINES_KEY, value)));
}

void TF_Setup::NormaliseShowLines() {
    SetShowLines(GetShowLines());
}

int TF_Setup::GetComNum() const {
    // Each item carries its number; its text says more than "COM<n>".
    const int index = ComboBoxComPort->currentIndex();
    return index >= 0 ? ComboBoxComPort->itemData(index).toInt() : 0;
}

void TF_Setup::SetComNum(int number) {
    int index = ComboBoxComPort->findData(number);
    if (index < 0 && InRange(COM_NUM_KEY, number)) {
        // The configured port stays the selected one whatever a scan found: listed with what
        // it is now (absent, busy), as the service waits for it.
        TComp32 probe(main_.GetPort().PortsDir());
        AddPortItem(DescribePort(probe, number, main_.GetPort().HeldPort()));
        index = ComboBoxComPort->findData(number);
    }
    ComboBoxComPort->setCurrentIndex(index);
    ComPortSelected();
}

void TF_Setup::ComPortSelected() {
    settings_.SetComNum(GetComNum());
    LabelComInfo->setText(ComboBoxComPort->currentData(Qt::ToolTipRole).toString());
}

void TF_Setup::AddPortItem(TPortListEntry entry) {
    // The port the service holds is not probed: the service says what its driver did.
    if (const TDevice* device = main_.GetDevice(); entry.held && device != nullptr) {
        switch (device->GetPortStatus().kernel) {
        case TRs485::TKernelMode::On:
            entry.kernel_rs485 = 2;
            break;
        case TRs485::TKernelMode::Refused:
            entry.kernel_rs485 = 0;
            break;
        case TRs485::TKernelMode::Off:
            break;
        }
    }
    // In number order.
    int at = 0;
    while (at < ComboBoxComPort->count() && ComboBoxComPort->itemData(at).toInt() < entry.number) {
        ++at;
    }
    const QSignalBlocker blocker(ComboBoxComPort);
    const int selected = ComboBoxComPort->currentIndex();
    ComboBoxComPort->insertItem(at, QString::fromStdString(PortListText(entry)), entry.number);
    ComboBoxComPort->setItemData(at, QString::fromStdString(PortInfoText(entry)), Qt::ToolTipRole);
    ComboBoxComPort->setCurrentIndex(selected >= at ? selected + 1 : selected);
    // The drop-down list is as wide as its longest item.
    const int width =
        ComboBoxComPort->fontMetrics().horizontalAdvance(ComboBoxComPort->itemText(at));
    ComboBoxComPort->view()->setMinimumWidth(
        std::max(ComboBoxComPort->view()->minimumWidth(), width + 32));
}

int TF_Setup::GetRecordsMask() const {
    return settings_.GetRecordsMask();
}

void TF_Setup::SetRecordsMask(int mask) {
    settings_.SetRecordsMask(mask);
}

void TF_Setup::SetDBFile(const QString& path) {
    EditDBFile->setText(path);
}

void TF_Setup::ComPortListUpdate() {
    ButtonComRefresh->setEnabled(false);
    // The configured port, listed or not.
    const int remembered = settings_.GetComNum();
    TComp32 probe(main_.GetPort().PortsDir());
    // The port the running service holds cannot be probed, but it is there and it is ours.
    const std::vector<TPortListEntry> entries =
        ScanPorts(probe, main_.GetPort().HeldPort(), remembered);
    std::vector<int> ports;
    {
        // The list is refilled as a whole; the selection is set once, below.
        const QSignalBlocker blocker(ComboBoxComPort);
        ComboBoxComPort->clear();
        for (const TPortListEntry& entry : entries) {
            AddPortItem(entry);
            if (entry.state != TPortState::Absent) {
                ports.push_back(entry.number);
            }
        }
        ComboBoxComPort->setCurrentIndex(-1);
    }
    settings_.SetComPorts(ports);
    TLog::Addf(main_.GetLog(), LOG_TYPE_INFO, "COM портов найдено: %d",
               static_cast<int>(ports.size()));
    SetComNum(remembered);
    ButtonComRefresh->setEnabled(true);
}

void TF_Setup::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    FormShow();
}

void TF_Setup::FormShow() {
    NormaliseShowLines();
    ShowSessionStart();
    if (const TAudit* audit = main_.GetAudit()) {
        EditOperatorName->setText(QString::fromStdString(audit->GetOperatorName()));
    }
    CheckListBoxRecordsMask->clear();
    const int mask = GetRecordsMask();
    const TRecord* record = main_.GetRecord();
    for (int type = 0; type < RECORD_TYPE_COUNT; ++type) {
        const std::string name = record != nullptr ? record->GetTypeName(type) : std::string();
        auto* item = new QListWidgetItem(QString::fromStdString(name), CheckListBoxRecordsMask);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState((mask >> type) & 1 ? Qt::Checked : Qt::Unchecked);
    }
}

void TF_Setup::ShowSessionStart() {
    const QSignalBlocker quiet(CheckBoxSessionStart);
    CheckBoxSessionStart->setChecked(TAutostartEntry().Exists());
}

void TF_Setup::SessionStartToggled(bool on) {
    // The installed launcher, where there is one, also starts the simulated bus as the menu's
    // entry does; the home is named so that the session starts this very workstation.
    const std::string launcher = ProgramDir() + "/ktev-workstation";
    const std::string program = ::access(launcher.c_str(), X_OK) == 0 ? launcher : ProgramPath();
    const TAutostartEntry entry;
    std::string error;
    const bool done =
        on ? entry.Write({program, "--home", main_.GetProgramDir()}, error) : entry.Remove(error);
    if (done) {
        TLog::Addf(main_.GetLog(), LOG_TYPE_INFO, "Запуск при входе в систему %s: %s",
                   on ? "включён" : "выключен", entry.Path());
        return;
    }
    TLog::Addf(main_.GetLog(), LOG_TYPE_ERROR, "Запуск при входе в систему не %s: %s",
               on ? "включён" : "выключен", error);
    ShowSessionStart();
}

void TF_Setup::done(int result) {
    FormClose();
    QDialog::done(result);
}

void TF_Setup::FormClose() {
    NormaliseShowLines();
    StopSound();
}

void TF_Setup::StopSound() {
    // Stops what plays now; the player's level is left as it is.
    if (TQtSoundOutput* output = main_.GetSoundOutput()) {
        output->Stop();
    }
}

void TF_Setup::ButtonSaveClick() {
    NormaliseShowLines();
    int mask = 0;
    for (int type = 0; type < CheckListBoxRecordsMask->count() && type < RECORD_TYPE_COUNT;
         ++type) {
        if (CheckListBoxRecordsMask->item(type)->checkState() == Qt::Checked) {
            mask |= 1 << type;
        }
    }
    SetRecordsMask(mask);
    if (TAudit* audit = main_.GetAudit()) {
        audit->SetOperatorName(EditOperatorName->text().trimmed().toStdString());
    }
    if (!main_.IniSave()) {
        return;
    }
    accept();
}

void TF_Setup::Load(const TSetupOptions& setup) {
    SetDBFile(QString::fromStdString(setup.db_file));
    SetShowLines(setup.show_lines);
    SetComNum(setup.com_num);
    for (const auto& [box, flag] : FlagBoxes()) {
        box->setChecked(setup.*flag);
    }
    SetRecordsMask(setup.records_mask);
}

TSetupOptions TF_Setup::Collect() const {
    TSetupOptions setup;
    setup.db_file = EditDBFile->text().toStdString();
    setup.show_lines = GetShowLines();
    setup.com_num = GetComNum();
    for (const auto& [box, flag] : FlagBoxes()) {
        setup.*flag = box->isChecked();
    }
    setup.records_mask = GetRecordsMask();
    return setup;
}

void TF_Setup::LoadMqtt(const TMqttSettings& mqtt) {
    CheckBoxMqttEnabled->setChecked(mqtt.enabled);
    EditMqttHost->setText(QString::fromStdString(mqtt.host));
    SpinMqttPort->setValue(mqtt.port);
    CheckBoxMqttTls->setChecked(mqtt.tls);
    EditMqttCaFile->setText(QString::fromStdString(mqtt.ca_file));
    EditMqttUser->setText(QString::fromStdString(mqtt.user));
    EditMqttPassword->setText(QString::fromStdString(mqtt.password));
    EditMqttClientId->setText(QString::fromStdString(mqtt.client_id));
    EditMqttPrefix->setText(QString::fromStdString(mqtt.prefix));
    CheckBoxMqttCommands->setChecked(mqtt.commands);
    CheckBoxMqttDiscovery->setChecked(mqtt.discovery);
}

TMqttSettings TF_Setup::CollectMqtt() const {
    TMqttSettings mqtt;
    mqtt.enabled = CheckBoxMqttEnabled->isChecked();
    mqtt.host = EditMqttHost->text().trimmed().toStdString();
    mqtt.port = SpinMqttPort->value();
    mqtt.tls = CheckBoxMqttTls->isChecked();
    mqtt.ca_file = EditMqttCaFile->text().trimmed().toStdString();
    mqtt.user = EditMqttUser->text().toStdString();
    mqtt.password = EditMqttPassword->text().toStdString();
    mqtt.client_id = EditMqttClientId->text().trimmed().toStdString();
    mqtt.prefix = EditMqttPrefix->text().trimmed().toStdString();
    mqtt.commands = CheckBoxMqttCommands->isChecked();
    mqtt.discovery = CheckBoxMqttDiscovery->isChecked();
    return mqtt;
}

TF_Setup::TFlagBoxes TF_Setup::FlagBoxes() const {
    return {{{CheckBoxDtr, &TSetupOptions::ctrl_dtr},
             {CheckBoxRts, &TSetupOptions::ctrl_rts},
             {CheckBoxInv, &TSetupOptions::ctrl_inv},
             {CheckBoxRs485, &TSetupOptions::ctrl_rs485},
             {CheckBoxIsSound, &TSetupOptions::is_sound},
             {CheckBoxSoundUntilAck, &TSetupOptions::sound_until_ack},
             {CheckBoxAutoRun, &TSetupOptions::is_auto_run}}};
}
