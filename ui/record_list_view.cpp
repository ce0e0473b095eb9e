#include "ui/record_list_view.h"

#include <QAction>
#include <QEvent>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QScrollBar>
#include <QStyle>
#include <QTableView>
#include <QTimer>

#include <algorithm>
#include <ctime>

#include "common/timer.h"
#include "log/log.h"
#include "records/cell_text.h"
#include "records/record.h"
#include "ui/record_list_style.h"

namespace {

// The names of the fields in the names of the popup's items.
constexpr std::array<const char*, RECORD_FIELD_COUNT> FIELD_NAMES = {
    "Id", "DeviceId", "DateTime", "Address", "ConstName", "UserName", "Type", "Message",
};

constexpr std::array<TPageButton, 4> PAGE_BUTTONS = {TPageButton::First, TPageButton::Prior,
                                                     TPageButton::Next, TPageButton::Last};

// The list's timer on a QTimer of the GUI thread.
class TQtTimer final : public TTimer {
public:
    TQtTimer() {
        QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] {
            if (handler_) {
                handler_();
            }
        });
    }
    void SetHandler(std::function<void()> handler) override { handler_ = std::move(handler); }
    void SetInterval(int ms) override { timer_.setInterval(ms); }
    void SetEnabled(bool on) override {
        if (on) {
            timer_.start();
        } else {
            timer_.stop();
        }
    }
    bool IsEnabled() const override { return timer_.isActive(); }

private:
    QTimer timer_;
    std::function<void()> handler_;
};

QString Text(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

void TRecordListModel::SetPage(const TRecordListPage& page) {
    beginResetModel();
    page_ = page;
    endResetModel();
}

int TRecordListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : page_.RowCount();
}

int TRecordListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(page_.fields.size());
}

QVariant TRecordListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount()) {
        return {};
    }
    if (role == Qt::DisplayRole) {
        return Text(page_.Cell(index.row(), index.column()));
    }
    return StyleData(page_.styles[static_cast<std::size_t>(index.row())], role);
}

QVariant TRecordListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= columnCount()) {
        return {};
    }
    const int field = page_.fields[static_cast<std::size_t>(section)];
    return Text(RECORD_FIELD_CAPTIONS[static_cast<std::size_t>(field)]);
}

TRecordListUi::TRecordListUi(const TRecordListControls& controls, TLog* log, const TRecord& record,
                             TSQLite& sqlite, const TSettings& settings, QObject* parent)
    : QObject(parent), view_(controls.view), controls_(controls), log_(log), record_(record) {
    view_->setModel(&model_);
    view_->setItemDelegate(
        new TMessageStyleDelegate(TMessageStyleDelegate::TSelected::KeepStyle, view_));
    view_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    view_->setSelectionBehavior(QAbstractItemView::SelectRows);
    view_->setSelectionMode(QAbstractItemView::SingleSelection);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->setShowGrid(true);
    view_->setWordWrap(false);
    view_->verticalHeader()->hide();
    view_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view_->verticalHeader()->setDefaultSectionSize(view_->fontMetrics().height() + 4);
    view_->horizontalHeader()->setStretchLastSection(true);
    connect(view_->horizontalHeader(), &QHeaderView::sectionResized, this,
            [this](int column, int, int width) { ColumnResized(column, width); });
    view_->horizontalHeader()->viewport()->installEventFilter(this);
    view_->setContextMenuPolicy(Qt::CustomContextMenu);
    view_->installEventFilter(this);

    for (std::size_t i = 0; i < PAGE_BUTTONS.size(); ++i) {
        connect(controls_.page_buttons[i], &QAction::triggered, this,
                [this, button = PAGE_BUTTONS[i]] { list_->PageButtonClick(button); });
    }
    popup_ = new QMenu(view_);
    popup_->setObjectName("PopupMenuRecord");
    for (int i = 0; i < RECORD_FIELD_COUNT; ++i) {
        const auto at = static_cast<std::size_t>(i);
        QAction* item = controls_.field_items[at];
        connect(item, &QAction::triggered, this, [this, i, item](bool checked) {
            list_->FieldToggled(i, checked, item->text().toStdString());
        });
        QAction* popup_item = popup_->addAction(item->text());
        popup_item->setObjectName(QStringLiteral("PM_") + FIELD_NAMES[at]);
        popup_item->setCheckable(true);
        connect(popup_item, &QAction::triggered, this,
                [this, i](bool checked) { PopupItemTriggered(i, checked); });
        popup_items_[at] = popup_item;
    }
    connect(popup_, &QMenu::aboutToShow, this, &TRecordListUi::PopupMenuRecordPopup);
    connect(view_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { popup_->popup(view_->viewport()->mapToGlobal(at)); });

    list_ = std::make_unique<TRecordList>(log, record, sqlite, settings, *this,
                                          std::make_unique<TQtTimer>());
}

TRecordListUi::~TRecordListUi() {
    // The list joins its loads before the model it fills goes.
    list_.reset();
}

void TRecordListUi::RecordListSetTimer(bool on) {
    if (on) {
        list_->SetPageOffset(0);
    }
    list_->SetTimer(on);
}

bool TRecordListUi::FieldShown(int field) const {
    return controls_.field_items[static_cast<std::size_t>(field)]->isChecked();
}

int TRecordListUi::FieldWidth(int field) const {
    return controls_.field_width(field);
}

void TRecordListUi::ShowPage(const TRecordListPage& page) {
    if (!view_) {
        return;
    }
    // Painting waits until columns, widths and rows are all in place.
    view_->setUpdatesEnabled(false);
    showing_page_ = true;
    model_.SetPage(page);
    for (std::size_t k = 0; k < page.widths.size(); ++k) {
        const int column = static_cast<int>(k);
        const int width = page.widths[k];
        view_->setColumnWidth(
            column, width == RECORD_FIELD_WIDTH_FIT ? FitWidth(column, page.fields[k]) : width);
    }
    showing_page_ = false;
    // The newest row of the page is its first: a load never leaves it scrolled out of sight.
    view_->verticalScrollBar()->setValue(0);
    view_->setUpdatesEnabled(true);
}

int TRecordListUi::FitWidth(int column, int field) const {
    // Measured bold, as an alarm row is drawn.
    QFont bold = view_->font();
    bold.setBold(true);
    const QFontMetrics metrics(bold);
    int value = 0;
    switch (field) {
    case 0: // a record id and a device id: eight digits
    case 1:
        value = metrics.horizontalAdvance(QStringLiteral("00000000"));
        break;
    case 2:
        value =
            metrics.horizontalAdvance(QString::fromStdString(LocalTimeText(std::time(nullptr))));
        break;
    case 3:
        value = metrics.horizontalAdvance(QStringLiteral("255"));
        break;
    case 4: // a whole device name
    case 5:
        value = metrics.horizontalAdvance(QString(DeviceNameLength, QChar(u'Ш')));
        break;
    case 6:
        for (int type = 0; type < RECORD_TYPE_COUNT; ++type) {
            value = std::max(value, metrics.horizontalAdvance(
                                        QString::fromStdString(record_.GetTypeName(type))));
        }
        break;
    default: // the message takes the rest of the width
        break;
    }
    // The item's own margins on both sides, and the grid line.
    const int margin = view_->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view_);
    return std::max(view_->horizontalHeader()->sectionSizeHint(column), value + 2 * margin + 3);
}

void TRecordListUi::ColumnResized(int column, int width) {
    const std::vector<int>& fields = model_.Page().fields;
    // The last column follows the list's width, not the operator's hand.
    if (!view_ || showing_page_ || view_->model() != &model_ || column < 0 ||
        column + 1 >= static_cast<int>(fields.size())) {
        return;
    }
    controls_.set_field_width(fields[static_cast<std::size_t>(column)], width);
    column_dragged_ = true;
}

void TRecordListUi::SetPageButtons(const TPageButtons& buttons) {
    controls_.page_buttons[0]->setEnabled(buttons.first);
    controls_.page_buttons[1]->setEnabled(buttons.prior);
    controls_.page_buttons[2]->setEnabled(buttons.next);
    controls_.page_buttons[3]->setEnabled(buttons.last);
}

void TRecordListUi::ShowPosition(const TListPosition& position) {
    if (controls_.position == nullptr) {
        return;
    }
    controls_.position->setText(position.page == 0 ? QString()
                                                   : QStringLiteral("Записей: %1, стр. %2 из %3")
                                                         .arg(position.count)
                                                         .arg(position.page)
                                                         .arg(position.pages));
}

void TRecordListUi::PopupItemTriggered(int field, bool checked) {
    const auto at = static_cast<std::size_t>(field);
    list_->FieldToggled(field, checked, popup_items_[at]->text().toStdString());
    for (std::size_t i = 0; i < controls_.field_items.size(); ++i) {
        controls_.field_items[i]->setChecked(popup_items_[i]->isChecked());
    }
}

void TRecordListUi::PopupMenuRecordPopup() {
    for (std::size_t i = 0; i < controls_.field_items.size(); ++i) {
        popup_items_[i]->setText(controls_.field_items[i]->text());
        popup_items_[i]->setChecked(controls_.field_items[i]->isChecked());
        popup_items_[i]->setEnabled(controls_.field_items[i]->isEnabled());
    }
}

bool TRecordListUi::eventFilter(QObject* watched, QEvent* event) {
    // A column dragged to its new width is saved a little later, once, not at every step.
    if (view_ && watched == view_->horizontalHeader()->viewport() &&
        event->type() == QEvent::MouseButtonRelease && column_dragged_) {
        column_dragged_ = false;
        if (on_layout_changed) {
            on_layout_changed();
        }
    }
    if (watched == view_ && event->type() == QEvent::Resize) {
        const QWidget* window = view_->window();
        if (window->isActiveWindow() && window->isEnabled()) {
            // The first resize comes from the window being laid out, not from the operator.
            if (resize_noted_) {
                TLog::Add(log_, "TF_Main::ListViewResize", LOG_TYPE_DEBUG);
                if (on_layout_changed) {
                    on_layout_changed();
                }
            }
            resize_noted_ = true;
        }
    }
    return QObject::eventFilter(watched, event);
}
