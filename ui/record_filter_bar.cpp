#include "ui/record_filter_bar.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QResizeEvent>
#include <QToolButton>

#include "common/settings.h"
#include "database/record_types.h"
#include "records/cell_text.h"

namespace {

// A period's ends are whole minutes: the end takes its minute in.
constexpr int MINUTE_SECONDS = 60;

QDateTimeEdit* PeriodEdit(const char* name, const QDateTime& start) {
    auto* edit = new QDateTimeEdit(start);
    edit->setObjectName(QLatin1String(name));
    edit->setDisplayFormat(QStringLiteral("dd.MM.yyyy HH:mm"));
    edit->setCalendarPopup(true);
    edit->setEnabled(false);
    return edit;
}

} // namespace

TRecordFilterBar::TRecordFilterBar(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("FilterBar"));
    // The list below takes every pixel of height the bar does not need.
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    rows_ = new QBoxLayout(QBoxLayout::LeftToRight, this);
    rows_->setContentsMargins(2, 2, 2, 2);
    device_row_ = new QHBoxLayout;
    period_row_ = new QHBoxLayout;
    rows_->addLayout(device_row_);
    rows_->addLayout(period_row_, 1);

    device_ = new QComboBox;
    device_->setObjectName(QStringLiteral("FilterDevice"));
    // Wide enough for "ППКОП-16 «Склад №1» (адрес 1)"; longer names show in the drop-down.
    device_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    device_->setMinimumContentsLength(28);
    device_->addItem(QStringLiteral("Все устройства"));
    connect(device_, &QComboBox::currentIndexChanged, this, [this] { Apply(); });

    const QDate today = QDate::currentDate();
    from_on_ = new QCheckBox(QStringLiteral("с"));
    from_on_->setObjectName(QStringLiteral("FilterFromOn"));
    from_ = PeriodEdit("FilterFrom", QDateTime(today, QTime(0, 0)));
    to_on_ = new QCheckBox(QStringLiteral("по"));
    to_on_->setObjectName(QStringLiteral("FilterToOn"));
    to_ = PeriodEdit("FilterTo", QDateTime(today, QTime(23, 59)));
    for (auto [check, edit] : {std::pair{from_on_, from_}, std::pair{to_on_, to_}}) {
        connect(check, &QCheckBox::toggled, edit, &QWidget::setEnabled);
        connect(check, &QCheckBox::toggled, this, [this] { Apply(); });
        connect(edit, &QDateTimeEdit::dateTimeChanged, this, [this] { Apply(); });
    }

    types_menu_ = new QMenu(this);
    types_menu_->setObjectName(QStringLiteral("FilterTypesMenu"));
    connect(types_menu_, &QMenu::aboutToShow, this, &TRecordFilterBar::FillTypesMenu);
    types_ = new QToolButton;
    types_->setObjectName(QStringLiteral("FilterTypes"));
    types_->setText(QStringLiteral("Типы записей"));
    types_->setMenu(types_menu_);
    types_->setPopupMode(QToolButton::InstantPopup);

    auto* clear = new QToolButton;
    clear->setObjectName(QStringLiteral("FilterClear"));
    clear->setText(QStringLiteral("Сбросить"));
    clear->setToolTip(QStringLiteral("Показать все записи"));
    connect(clear, &QToolButton::clicked, this, &TRecordFilterBar::Clear);

    error_ = new QLabel;
    error_->setObjectName(QStringLiteral("FilterError"));
    error_->setStyleSheet(QStringLiteral("color: #c62828; font-weight: bold"));

    device_row_->addWidget(new QLabel(QStringLiteral("Устройство:")));
    device_row_->addWidget(device_);
    device_row_->addWidget(types_);
    device_row_->addWidget(clear);
    period_row_->addWidget(from_on_);
    period_row_->addWidget(from_);
    period_row_->addWidget(to_on_);
    period_row_->addWidget(to_);
    period_row_->addWidget(error_, 1);
}

void TRecordFilterBar::resizeEvent(QResizeEvent* event) {
    // One row where it fits; on a narrow list the period goes under the device.
    const int wide = device_row_->sizeHint().width() + period_row_->sizeHint().width() +
                     rows_->spacing() + rows_->contentsMargins().left() +
                     rows_->contentsMargins().right();
    rows_->setDirection(event->size().width() < wide ? QBoxLayout::TopToBottom
                                                     : QBoxLayout::LeftToRight);
    QWidget::resizeEvent(event);
}

void TRecordFilterBar::SetTypeSource(std::function<std::string(int type)> type_name,
                                     std::function<int()> settings_mask) {
    type_name_ = std::move(type_name);
    settings_mask_ = std::move(settings_mask);
}

void TRecordFilterBar::SetDevices(const std::vector<TDeviceChoice>& devices) {
    // Most table changes are states: the list offered stays, and with it an open drop-down.
    bool same = device_->count() == static_cast<int>(devices.size()) + 1;
    for (std::size_t i = 0; same && i < devices.size(); ++i) {
        const int at = static_cast<int>(i) + 1;
        same = device_->itemData(at).value<std::uint32_t>() == devices[i].device_id &&
               device_->itemText(at) == devices[i].text;
    }
    if (same) {
        return;
    }
    const QVariant chosen = device_->currentData();
    filling_ = true;
    while (device_->count() > 1) {
        device_->removeItem(1);
    }
    for (const TDeviceChoice& device : devices) {
        device_->addItem(device.text, QVariant::fromValue(device.device_id));
    }
    filling_ = false;
    if (chosen.isValid()) {
        ShowDevice(chosen.value<std::uint32_t>());
    }
}

void TRecordFilterBar::ShowDevice(std::uint32_t device_id) {
    int at = device_->findData(QVariant::fromValue(device_id));
    if (at < 0) {
        // Not on the bus now: its records are still there to see.
        filling_ = true;
        device_->addItem(QString::fromStdString(DeviceIdText(device_id)),
                         QVariant::fromValue(device_id));
        filling_ = false;
        at = device_->count() - 1;
    }
    device_->setCurrentIndex(at);
    Apply();
}

void TRecordFilterBar::Clear() {
    filling_ = true;
    device_->setCurrentIndex(0);
    from_on_->setChecked(false);
    to_on_->setChecked(false);
    mask_.reset();
    filling_ = false;
    Apply();
}

QString TRecordFilterBar::ErrorText() const {
    return error_->text();
}

void TRecordFilterBar::FillTypesMenu() {
    types_menu_->clear();
    if (!type_name_ || !settings_mask_) {
        return;
    }
    const int mask = mask_.value_or(settings_mask_());
    for (int type = 0; type < RECORD_TYPE_COUNT; ++type) {
        QAction* item = types_menu_->addAction(QString::fromStdString(type_name_(type)));
        item->setCheckable(true);
        item->setData(type);
        // Type 0 is always listed.
        item->setChecked(type == 0 || ((mask >> type) & 1) != 0);
        item->setEnabled(type != 0);
        connect(item, &QAction::toggled, this, [this] {
            mask_ = ChosenMask();
            Apply();
        });
    }
    types_menu_->addSeparator();
    connect(types_menu_->addAction(QStringLiteral("Все типы")), &QAction::triggered, this, [this] {
        mask_ = RECORDS_MASK_ALL;
        Apply();
    });
    connect(types_menu_->addAction(QStringLiteral("Как в настройках")), &QAction::triggered, this,
            [this] {
                mask_.reset();
                Apply();
            });
}

int TRecordFilterBar::ChosenMask() const {
    int mask = 0;
    for (const QAction* item : types_menu_->actions()) {
        if (item->isCheckable() && item->isChecked()) {
            mask |= 1 << item->data().toInt();
        }
    }
    return mask;
}

void TRecordFilterBar::Apply() {
    if (filling_) {
        return;
    }
    TRecordFilter filter;
    if (const QVariant device = device_->currentData(); device.isValid()) {
        filter.device_id = device.value<std::uint32_t>();
    }
    if (from_on_->isChecked()) {
        filter.from = from_->dateTime().toSecsSinceEpoch();
    }
    if (to_on_->isChecked()) {
        filter.to = to_->dateTime().toSecsSinceEpoch() + MINUTE_SECONDS - 1;
    }
    filter.records_mask = mask_;
    if (!RecordFilterError(filter).empty()) {
        error_->setText(QStringLiteral("Конец периода раньше начала"));
        return;
    }
    error_->clear();
    types_->setText(mask_ ? QStringLiteral("Типы записей*") : QStringLiteral("Типы записей"));
    if (filter != filter_) {
        filter_ = filter;
        emit filterChanged();
    }
}
