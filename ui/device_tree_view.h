#pragma once

// The device tree on Qt: an item model over the snapshot the tree thread built, swapped in one
// step on the GUI thread, and the device popup menu with the remote commands.

#include <QAbstractItemModel>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QTreeView>

#include <array>
#include <memory>
#include <vector>

#include "device/device_tree.h"

class QAction;
class QMouseEvent;
class TAppControl;

class TDeviceTreeModel final : public QAbstractItemModel {
    Q_OBJECT

public:
    using QAbstractItemModel::QAbstractItemModel;

    // Shows another tree in one reset and gives back the one it replaced.
    std::shared_ptr<const TTreeSnapshot> SetSnapshot(std::shared_ptr<const TTreeSnapshot> snapshot);
    int NodeCount() const { return snapshot_ ? snapshot_->NodeCount() : 0; }
    // Node ids are positions in display order.
    QModelIndex IndexOf(int id) const;
    int IdOf(const QModelIndex& index) const;
    const TTreeNode* Node(const QModelIndex& index) const;
    // While stale (the service stopped) every node is drawn greyed: its state is only what was
    // last heard.
    void SetStale(bool stale) { stale_ = stale; }
    bool IsStale() const { return stale_; }

    QModelIndex index(int row, int column,
                      const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    std::shared_ptr<const TTreeSnapshot> snapshot_;
    bool stale_ = false;
};

// Binds the tree to its view and runs the tree thread. It must go, or be stopped, before the
// device service: the nodes point into the device table.
class TDeviceTreeUi final : public QObject, public TDeviceTreeSink {
    Q_OBJECT

public:
    // The remote commands are added to `popup`, the window's PopupMenuDevice; those that switch
    // protection off go out only once `app` had the operator say yes.
    TDeviceTreeUi(QTreeView* view, QMenu* popup, TLog* log, TDevice& device, const TRecord& record,
                  TAppControl& app, QObject* parent = nullptr);
    ~TDeviceTreeUi() override;

    // Any thread: asks for a rebuild.
    void TreeViewUpdate();
    // Ends the tree thread and empties the view; requests are ignored afterwards.
    void Stop();
    // The service stopped (true) or runs again.
    void SetStale(bool stale);

    TDeviceTreeModel& Model() { return model_; }
    TDeviceTree& Tree() { return *tree_; }

    // The tree thread: a snapshot waits; the swap is done on the GUI thread.
    void TreeSnapshotReady() override;

signals:
    // "События устройства" was chosen on a node of this device.
    void deviceEventsWanted(std::uint32_t device_id);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ApplySnapshot();
    // A mouse button went down over the tree: select the node; the right button opens the menu.
    bool TreeViewMouseDown(const QMouseEvent& event);
    // Popup item `item` chosen: asks first when the command switches protection off.
    void PopupItemTriggered(std::size_t item);
    TTreeViewState ViewState() const;

    QPointer<QTreeView> view_;
    TLog* log_;
    TDevice& device_;
    TAppControl& app_;
    TDeviceTreeModel model_;
    QPointer<QMenu> popup_;
    std::array<QAction*, DEVICE_POPUP_ITEM_COUNT> popup_items_{};
    QAction* popup_separator_ = nullptr;
    QAction* popup_events_ = nullptr;
    const TNodeData* popup_cell_ = nullptr; // the node the menu was opened on
    TTreeRestore restore_;
    std::vector<char> expanded_; // per node id, kept by the view's expand and collapse signals
    std::unique_ptr<TDeviceTree> tree_;
};
