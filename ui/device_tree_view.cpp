#include "ui/device_tree_view.h"

#include <QAction>
#include <QCursor>
#include <QFontDatabase>
#include <QHeaderView>
#include <QMenu>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTreeView>

#include "device/device.h"
#include "log/log.h"
#include "records/app_control.h"
#include "ui/record_list_style.h"

namespace {

// Wide enough for a device line, so that a narrow pane scrolls sideways rather than cutting it.
constexpr int TREE_LINE_CHARS = 72;

// Stale states are drawn as the tree's "НЕТ" lines.
constexpr TMessageStyle STALE_STYLE{0x808080, 0xFFFFFF};

} // namespace

std::shared_ptr<const TTreeSnapshot>
TDeviceTreeModel::SetSnapshot(std::shared_ptr<const TTreeSnapshot> snapshot) {
    beginResetModel();
    std::swap(snapshot_, snapshot);
    endResetModel();
    return snapshot;
}

QModelIndex TDeviceTreeModel::IndexOf(int id) const {
    if (id < 0 || id >= NodeCount()) {
        return {};
    }
    return createIndex(snapshot_->nodes[static_cast<std::size_t>(id)].row, 0,
                       static_cast<quintptr>(id));
}

int TDeviceTreeModel::IdOf(const QModelIndex& index) const {
    return index.isValid() ? static_cast<int>(index.internalId()) : -1;
}

const TTreeNode* TDeviceTreeModel::Node(const QModelIndex& index) const {
    const int id = IdOf(index);
    return id >= 0 && id < NodeCount() ? &snapshot_->nodes[static_cast<std::size_t>(id)] : nullptr;
}

QModelIndex TDeviceTreeModel::index(int row, int column, const QModelIndex& parent) const {
    if (!snapshot_ || column != 0) {
        return {};
    }
    const int id = snapshot_->Child(IdOf(parent), row);
    return id < 0 ? QModelIndex() : createIndex(row, 0, static_cast<quintptr>(id));
}

QModelIndex TDeviceTreeModel::parent(const QModelIndex& child) const {
    const TTreeNode* node = Node(child);
    return node == nullptr ? QModelIndex() : IndexOf(node->parent);
}

int TDeviceTreeModel::rowCount(const QModelIndex& parent) const {
    if (!snapshot_ || parent.column() > 0) {
        return 0;
    }
    return snapshot_->ChildCount(IdOf(parent));
}

int TDeviceTreeModel::columnCount(const QModelIndex&) const {
    return 1;
}

QVariant TDeviceTreeModel::data(const QModelIndex& index, int role) const {
    const TTreeNode* node = Node(index);
    if (node == nullptr) {
        return {};
    }
    if (role == Qt::DisplayRole) {
        return QString::fromStdString(node->text);
    }
    if (stale_) {
        return StyleData(STALE_STYLE, role);
    }
    if (node->cell == nullptr) {
        return {};
    }
    // Read from the cell at every paint: a new style shows before the next rebuild.
    return StyleData(node->cell->style.Load(), role);
}

Qt::ItemFlags TDeviceTreeModel::flags(const QModelIndex& index) const {
    const TTreeNode* node = Node(index);
    if (node == nullptr) {
        return Qt::NoItemFlags;
    }
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (node->child_count == 0) {
        flags |= Qt::ItemNeverHasChildren;
    }
    return flags;
}

TDeviceTreeUi::TDeviceTreeUi(QTreeView* view, QMenu* popup, TLog* log, TDevice& device,
                             const TRecord& record, TAppControl& app, QObject* parent)
    : QObject(parent), view_(view), log_(log), device_(device), app_(app), popup_(popup),
      tree_(std::make_unique<TDeviceTree>(log, device, record, *this)) {
    view_->setModel(&model_);
    view_->setItemDelegate(
        new TMessageStyleDelegate(TMessageStyleDelegate::TSelected::ViewColours, view_));
    view_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    view_->setHeaderHidden(true);
    view_->setUniformRowHeights(true);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->setSelectionMode(QAbstractItemView::SingleSelection);
    view_->setSelectionBehavior(QAbstractItemView::SelectRows);
    view_->setAllColumnsShowFocus(true);
    view_->header()->setStretchLastSection(true);
    view_->header()->setMinimumSectionSize(view_->fontMetrics().horizontalAdvance('0') *
                                           TREE_LINE_CHARS);
    // The selection stays as visible when the tree loses the focus.
    QPalette palette = view_->palette();
    for (const QPalette::ColorRole role : {QPalette::Highlight, QPalette::HighlightedText}) {
        palette.setColor(QPalette::Inactive, role, palette.color(QPalette::Active, role));
    }
    view_->setPalette(palette);
    view_->viewport()->installEventFilter(this);
    connect(view_, &QTreeView::expanded, this, [this](const QModelIndex& index) {
        const int id = model_.IdOf(index);
        if (id >= 0 && id < static_cast<int>(expanded_.size())) {
            expanded_[static_cast<std::size_t>(id)] = 1;
        }
    });
    connect(view_, &QTreeView::collapsed, this, [this](const QModelIndex& index) {
        const int id = model_.IdOf(index);
        if (id >= 0 && id < static_cast<int>(expanded_.size())) {
            expanded_[static_cast<std::size_t>(id)] = 0;
        }
    });

    // Item i of the menu is bit i of a node's menu mask.
    for (std::size_t i = 0; i < DEVICE_POPUP_ITEMS.size(); ++i) {
        const TDevicePopupItem& item = DEVICE_POPUP_ITEMS[i];
        QAction* action = popup_->addAction(
            QString::fromUtf8(item.caption.data(), static_cast<qsizetype>(item.caption.size())));
        action->setObjectName(
            QString::fromUtf8(item.name.data(), static_cast<qsizetype>(item.name.size())));
        connect(action, &QAction::triggered, this, [this, i] { PopupItemTriggered(i); });
        popup_items_[i] = action;
    }
    // Not a command: offered on every node of a device, also while a command is awaited.
    popup_separator_ = popup_->addSeparator();
    popup_events_ = popup_->addAction(QStringLiteral("События устройства"));
    popup_events_->setObjectName(QStringLiteral("PM_DeviceEvents"));
    connect(popup_events_, &QAction::triggered, this,
            [this] { emit deviceEventsWanted(popup_events_->data().value<std::uint32_t>()); });
}

TDeviceTreeUi::~TDeviceTreeUi() {
    Stop();
}

void TDeviceTreeUi::TreeViewUpdate() {
    tree_->TreeViewUpdate();
}

void TDeviceTreeUi::SetStale(bool stale) {
    if (model_.IsStale() != stale) {
        model_.SetStale(stale);
        view_->viewport()->update();
    }
}

void TDeviceTreeUi::Stop() {
    tree_->Stop();
    popup_cell_ = nullptr;
    // Its items would queue commands for a device service that is about to go.
    if (popup_) {
        popup_->hide();
    }
    model_.SetSnapshot(nullptr);
    expanded_.clear();
}

void TDeviceTreeUi::TreeSnapshotReady() {
    // Queued: the tree thread never waits for the window, and the model changes on its thread.
    QMetaObject::invokeMethod(this, &TDeviceTreeUi::ApplySnapshot, Qt::QueuedConnection);
}

TTreeViewState TDeviceTreeUi::ViewState() const {
    TTreeViewState state;
    state.count = model_.NodeCount();
    const QModelIndexList selected = view_->selectionModel()->selectedIndexes();
    state.selected = selected.isEmpty() ? -1 : model_.IdOf(selected.first());
    for (std::size_t id = 0; id < expanded_.size(); ++id) {
        if (expanded_[id] != 0) {
            state.expanded.push_back(static_cast<int>(id));
        }
    }
    return state;
}

void TDeviceTreeUi::ApplySnapshot() {
    std::shared_ptr<const TTreeSnapshot> snapshot = tree_->TakeSnapshot();
    if (!snapshot) {
        return;
    }
    const TTreeViewState plan = restore_.Plan(ViewState(), snapshot->NodeCount());
    TLog::Add(log_, "+ TreeView BeginUpdate", LOG_TYPE_DEBUG);
    const int scroll = view_->verticalScrollBar()->value();
    view_->setUpdatesEnabled(false);
    std::shared_ptr<const TTreeSnapshot> old = model_.SetSnapshot(std::move(snapshot));
    expanded_.assign(static_cast<std::size_t>(model_.NodeCount()), 0);
    for (const int id : plan.expanded) {
        view_->expand(model_.IndexOf(id));
    }
    // Selected without becoming the current node, which would open its parents.
    if (plan.selected >= 0) {
        view_->selectionModel()->select(model_.IndexOf(plan.selected),
                                        QItemSelectionModel::ClearAndSelect);
    }
    // Laid out now, so that the scroll position the operator had can be put back.
    view_->doItemsLayout();
    view_->verticalScrollBar()->setValue(scroll);
    view_->setUpdatesEnabled(true);
    TLog::Add(log_, "- TreeView EndUpdate", LOG_TYPE_DEBUG);
    tree_->Retire(std::move(old));
}

bool TDeviceTreeUi::eventFilter(QObject* watched, QEvent* event) {
    if (watched == view_->viewport() && event->type() == QEvent::MouseButtonPress) {
        return TreeViewMouseDown(static_cast<const QMouseEvent&>(*event));
    }
    return QObject::eventFilter(watched, event);
}

bool TDeviceTreeUi::TreeViewMouseDown(const QMouseEvent& event) {
    if (event.button() != Qt::RightButton) {
        return false; // the view selects, and opens or closes a node on its arrow
    }
    const QModelIndex index = view_->indexAt(event.position().toPoint());
    const TTreeNode* node = model_.Node(index);
    if (node == nullptr) {
        return true;
    }
    view_->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
    // A line of no command (power, battery...) belongs to the device above it.
    const TDeviceEntry* entry = nullptr;
    for (QModelIndex at = index; at.isValid() && entry == nullptr; at = at.parent()) {
        const TTreeNode* above = model_.Node(at);
        entry = above != nullptr && above->cell != nullptr
                    ? static_cast<TDeviceEntry*>(above->cell->entry)
                    : nullptr;
    }
    if (entry == nullptr) {
        return true;
    }
    const int mask = node->cell != nullptr ? OpenDevicePopup(device_, *node->cell, log_) : 0;
    popup_cell_ = node->cell;
    const int tag = node->cell != nullptr ? static_cast<int>(node->cell->index) : 0;
    for (std::size_t i = 0; i < popup_items_.size(); ++i) {
        popup_items_[i]->setData(tag);
        popup_items_[i]->setVisible(((mask >> i) & 1) != 0);
    }
    popup_separator_->setVisible(mask != 0);
    popup_events_->setData(QVariant::fromValue(entry->record.Get().device_id));
    popup_->popup(QCursor::pos());
    return true;
}

void TDeviceTreeUi::PopupItemTriggered(std::size_t item) {
    const TDevicePopupItem& command = DEVICE_POPUP_ITEMS[item];
    const TDeviceEntry* entry =
        popup_cell_ != nullptr ? static_cast<TDeviceEntry*>(popup_cell_->entry) : nullptr;
    if (entry != nullptr) {
        const std::string question =
            DevicePopupQuestion(static_cast<int>(item), entry->record.Get(), popup_cell_->index);
        if (!question.empty() && !app_.AskQuestion(question)) {
            TLog::Addf(log_, LOG_TYPE_INFO, "Команда \"%s\" не отправлена", command.caption);
            return;
        }
    }
    // With the target the popup opened on: an MQTT command may have taken the slot since.
    if (entry == nullptr ||
        !device_.QueueRemoteCommand(entry->record.Get(), popup_cell_->index, command.command,
                                    command.length, command.value, {})) {
        TLog::Add(log_, "Предыдущая команда ещё не обработана", LOG_TYPE_ERROR);
    }
}
