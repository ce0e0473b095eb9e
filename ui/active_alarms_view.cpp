#include "ui/active_alarms_view.h"

#include "log/log.h"
#include "records/cell_text.h"
#include "ui/record_list_style.h"
#include "ui/table_cell.h"

#include <QAction>
#include <QFont>
#include <QFontMetrics>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMetaObject>
#include <QPalette>
#include <QTabWidget>
#include <QTableView>

#include <algorithm>
#include <set>
#include <system_error>

namespace {

const char* const COLUMN_CAPTIONS[TActiveAlarmsModel::COLUMN_COUNT] = {
    "Время", "Адрес", "Устройство", "Элемент", "Состояние", "Квитировал", "Комментарий"};
// What the columns are made wide enough for; the comment takes the rest of the row.
const char* const COLUMN_SAMPLES[TActiveAlarmsModel::COLUMN_COUNT - 1] = {
    "00/00/0000 00:00:00",
    "Адрес",
    "ППКОП-16 «Офис, 2 этаж»",
    "Сводное состояние",
    "Сводное состояние: Неисправность",
    "Оператор, 00/00/0000 00:00:00"};

QString TimeCell(std::int64_t utime) {
    return QString::fromStdString(LocalTimeText(static_cast<std::time_t>(utime)));
}

QString DisplayText(const TAlarmRow& row, int column) {
    switch (column) {
    case 0:
        return TimeCell(row.since);
    case 1:
        return QString::number(row.address);
    case 2:
        return OneLineCell(row.device);
    case 3:
        return OneLineCell(row.item);
    case TActiveAlarmsModel::STATE_COLUMN:
        // Returned to normal and waiting for the operator: what it was, and that it is over.
        return row.active ? OneLineCell(row.state)
                          : OneLineCell(row.state) + QStringLiteral(" (в норме)");
    case 5:
        return row.acknowledged
                   ? OneLineCell(row.ack_user) + QStringLiteral(", ") + TimeCell(row.ack_time)
                   : QString();
    default:
        return OneLineCell(row.ack_comment);
    }
}

} // namespace

void TActiveAlarmsModel::SetSnapshot(std::shared_ptr<const TAlarmSnapshot> snapshot) {
    beginResetModel();
    snapshot_ = std::move(snapshot);
    endResetModel();
}

const TAlarmRow* TActiveAlarmsModel::Row(int row) const {
    return row >= 0 && row < rowCount() ? &snapshot_->rows[static_cast<std::size_t>(row)] : nullptr;
}

int TActiveAlarmsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(snapshot_->rows.size());
}

int TActiveAlarmsModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : COLUMN_COUNT;
}

QVariant TActiveAlarmsModel::data(const QModelIndex& index, int role) const {
    const TAlarmRow* row = index.isValid() ? Row(index.row()) : nullptr;
    if (row == nullptr || index.column() >= COLUMN_COUNT) {
        return {};
    }
    const bool coloured = index.column() == STATE_COLUMN && row->active;
    switch (role) {
    case Qt::DisplayRole:
        return DisplayText(*row, index.column());
    case Qt::ToolTipRole:
        return index.column() == 6 ? OneLineCell(row->ack_comment) : QVariant();
    case Qt::FontRole: {
        // Unacknowledged rows stand out whatever their colours.
        QFont font = coloured ? StyleData(row->style, role).value<QFont>() : QFont();
        font.setBold(!row->acknowledged || (coloured && row->style.is_bold));
        font.setItalic(!row->active || (coloured && row->style.is_italic));
        return font;
    }
    case Qt::ForegroundRole:
    case Qt::BackgroundRole:
        return coloured ? StyleData(row->style, role) : QVariant();
    default:
        return {};
    }
}

QVariant TActiveAlarmsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= COLUMN_COUNT) {
        return {};
    }
    return QString::fromUtf8(COLUMN_CAPTIONS[section]);
}

TActiveAlarmsUi::TActiveAlarmsUi(const TActiveAlarmsControls& controls, TLog* log,
                                 TActiveAlarms& alarms, QObject* parent)
    : QObject(parent), controls_(controls), log_(log), alarms_(alarms) {
    QTableView* view = controls_.view;
    view->setModel(&model_);
    view->setItemDelegate(
        new TMessageStyleDelegate(TMessageStyleDelegate::TSelected::KeepStyle, view));
    view->horizontalHeader()->setStretchLastSection(true);
    // Bold, as the unacknowledged rows are drawn.
    QFont bold = view->font();
    bold.setBold(true);
    const QFontMetrics metrics(bold);
    for (int column = 0; column + 1 < TActiveAlarmsModel::COLUMN_COUNT; ++column) {
        view->horizontalHeader()->resizeSection(
            column, metrics.horizontalAdvance(QString::fromUtf8(COLUMN_SAMPLES[column])) + 12);
    }
    connect(controls_.acknowledge, &QAction::triggered, this,
            &TActiveAlarmsUi::AcknowledgeSelected);
    connect(controls_.acknowledge_all, &QAction::triggered, this, &TActiveAlarmsUi::AcknowledgeAll);
    RefreshNow();
}

TActiveAlarmsUi::~TActiveAlarmsUi() {
    {
        std::lock_guard lock(lock_);
        quit_ = true;
        wake_.notify_all();
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

void TActiveAlarmsUi::Refresh() {
    if (!refresh_pending_.exchange(true)) {
        // Queued on this object: dropped with it when it goes first.
        QMetaObject::invokeMethod(
            this,
            [this] {
                refresh_pending_ = false;
                RefreshNow();
            },
            Qt::QueuedConnection);
    }
}

void TActiveAlarmsUi::RefreshNow() {
    QTableView* view = controls_.view;
    // The operator's selection follows its rows, wherever the new snapshot puts them.
    std::set<TAlarmKey> selected;
    const QModelIndexList rows = view->selectionModel()->selectedRows();
    for (const QModelIndex& index : rows) {
        if (const TAlarmRow* row = model_.Row(index.row())) {
            selected.insert(row->key);
        }
    }
    const TAlarmRow* current = model_.Row(view->currentIndex().row());
    const bool has_current = current != nullptr;
    const TAlarmKey current_key = has_current ? current->key : TAlarmKey{};
    model_.SetSnapshot(alarms_.Snapshot());
    QItemSelection selection;
    for (int i = 0; i < model_.rowCount(); ++i) {
        const TAlarmKey& key = model_.Row(i)->key;
        if (selected.contains(key)) {
            selection.select(model_.index(i, 0),
                             model_.index(i, TActiveAlarmsModel::COLUMN_COUNT - 1));
        }
        if (has_current && current_key == key) {
            view->selectionModel()->setCurrentIndex(model_.index(i, 0),
                                                    QItemSelectionModel::NoUpdate);
        }
    }
    view->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    ShowCount(model_.Snapshot().unacknowledged);
}

void TActiveAlarmsUi::ShowCount(int unacknowledged) {
    QTabWidget* tabs = controls_.tabs;
    const int tab = tabs->indexOf(controls_.view);
    const QString caption = QString::fromUtf8(TAB_CAPTION);
    tabs->setTabText(tab, unacknowledged > 0 ? caption + QStringLiteral(" (%1)").arg(unacknowledged)
                                             : caption);
    // A new alarm is put before the operator's eyes, whatever tab was looked at.
    if (unacknowledged > shown_unacknowledged_) {
        tabs->setCurrentIndex(tab);
        if (tabs->isHidden()) {
            controls_.show_tabs();
        }
    }
    shown_unacknowledged_ = unacknowledged;

    QLabel* panel = controls_.count_panel;
    panel->setText(QStringLiteral("Не квитировано: %1").arg(unacknowledged));
    // In the colours of the gravest alarm waiting.
    const TAlarmRow* gravest = nullptr;
    for (const TAlarmRow& row : model_.Snapshot().rows) {
        if (!row.acknowledged && row.active && (gravest == nullptr || row.level > gravest->level)) {
            gravest = &row;
        }
    }
    // Roles left unset are the bar's own.
    QPalette palette;
    if (gravest != nullptr) {
        palette.setColor(QPalette::Window, StyleColor(gravest->style.bg_color));
        palette.setColor(QPalette::WindowText, StyleColor(gravest->style.font_color));
    }
    panel->setAutoFillBackground(gravest != nullptr);
    panel->setPalette(palette);
    QFont font = panel->font();
    font.setBold(unacknowledged > 0);
    panel->setFont(font);
    controls_.acknowledge_all->setEnabled(unacknowledged > 0);
}

void TActiveAlarmsUi::AcknowledgeSelected() {
    std::vector<TAlarmKey> keys;
    for (const QModelIndex& index : controls_.view->selectionModel()->selectedRows()) {
        const TAlarmRow* row = model_.Row(index.row());
        if (row != nullptr && !row->acknowledged) {
            keys.push_back(row->key);
        }
    }
    if (keys.empty()) {
        TLog::Add(log_, "Квитирование: не выбрано ни одной неквитированной тревоги", LOG_TYPE_INFO);
        return;
    }
    QString comment;
    if (!controls_.ask_comment(comment)) {
        return;
    }
    Enqueue([this, keys = std::move(keys), user = controls_.operator_name(),
             comment = comment.toStdString()] {
        for (const TAlarmKey& key : keys) {
            alarms_.Acknowledge(key, user, comment);
        }
    });
}

void TActiveAlarmsUi::AcknowledgeAll() {
    if (model_.Snapshot().unacknowledged == 0) {
        return;
    }
    QString comment;
    if (!controls_.ask_comment(comment)) {
        return;
    }
    Enqueue([this, user = controls_.operator_name(), comment = comment.toStdString()] {
        alarms_.AcknowledgeAll(user, comment);
    });
}

int TActiveAlarmsUi::Pending() const {
    std::lock_guard lock(lock_);
    return static_cast<int>(work_.size()) + running_;
}

void TActiveAlarmsUi::Enqueue(std::function<void()> work) {
    std::lock_guard lock(lock_);
    work_.push_back(std::move(work));
    wake_.notify_all();
    if (thread_.joinable() || quit_) {
        return;
    }
    try {
        thread_ = std::thread(&TActiveAlarmsUi::ThreadFunction, this);
    } catch (const std::system_error& e) {
        work_.clear();
        TLog::Addf(log_, LOG_TYPE_ERROR, "TActiveAlarmsUi: %s", e.what());
    }
}

void TActiveAlarmsUi::ThreadFunction() {
    std::unique_lock lock(lock_);
    for (;;) {
        wake_.wait(lock, [this] { return quit_ || !work_.empty(); });
        // What the operator asked for is written before the view goes.
        if (work_.empty()) {
            return;
        }
        std::function<void()> work = std::move(work_.front());
        work_.pop_front();
        ++running_;
        lock.unlock();
        work();
        lock.lock();
        --running_;
    }
}
