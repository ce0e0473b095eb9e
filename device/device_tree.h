#pragma once

// The device tree: every device of the table with its states, remote capabilities, loops and
// relays. A request only counts and wakes the tree thread, which builds the whole tree into a
// snapshot; the window side takes the newest snapshot and swaps it in at once. The snapshot's
// nodes point at the table's display cells, so a style written into a cell shows at the next
// repaint, before any rebuild.

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "device/device_entry.h"

class TDevice;
class TLog;
class TRecord;

struct TTreeNode {
    std::string text; // UTF-8
    const TNodeData* cell = nullptr;
    int parent = -1; // -1: a device line
    int row = 0;     // position among its siblings
    int child_count = 0;
    int children = 0; // where its children's ids start in TTreeSnapshot::children
};

// A built tree. Node ids run in display order: top to bottom through all levels, collapsed
// children included, so an id is also the position the expansion and selection rules use.
struct TTreeSnapshot {
    std::vector<TTreeNode> nodes;
    std::vector<int> children; // the children of every node, grouped per parent
    std::vector<int> roots;    // the device lines

    int NodeCount() const { return static_cast<int>(nodes.size()); }
    // The id of child `row` of `parent` (-1: the device lines); -1 when there is none.
    int Child(int parent, int row) const;
    int ChildCount(int parent) const;
};

// One item of the device popup menu and the command it queues.
struct TDevicePopupItem {
    std::string_view name;
    std::string_view caption;
    std::uint8_t command;
    std::uint8_t length;
    std::uint8_t value;
};

constexpr int DEVICE_POPUP_ITEM_COUNT = 13;
extern const std::array<TDevicePopupItem, DEVICE_POPUP_ITEM_COUNT> DEVICE_POPUP_ITEMS;

// Captions of the ten remote capabilities: bit k of a device's `remote` mask, command 16 + k.
constexpr int REMOTE_CAPABILITY_COUNT = 10;
extern const std::array<std::string_view, REMOTE_CAPABILITY_COUNT> REMOTE_CAPABILITY_CAPTIONS;

// The sibling order of device lines: by the number in the three characters after the first
// " (" of each text. Negative when `a` comes first, 0 when they are equal (no " (", no number,
// or the same number), positive otherwise.
int CompareDeviceLines(std::string_view a, std::string_view b);

// A device as the operator's messages name it: «factory name» (user name, адрес N).
std::string DeviceTargetText(const TDeviceRecord& device);

// The question asked before popup item `item` goes out to element `index` of `device`, naming
// both; empty for the items that go out at once. Switching a loop or a sensor off and resetting
// a device leave the site unguarded for a while: one stray click must not send them.
std::string DevicePopupQuestion(int item, const TDeviceRecord& device, int index);

// A right click on a node with this cell. When the cell offers commands and none is pending,
// stores the target in the pending slot and returns the mask of the popup items to show;
// otherwise returns 0 (a command still pending or awaiting its answer is logged).
int OpenDevicePopup(TDevice& device, const TNodeData& cell, TLog* log);

// A popup item by its name without "PM_" ("LineOff"); -1 when there is none.
int DevicePopupItem(std::string_view name);

// Why popup item `item` may not go to element `index` (zero-based; ignored by the device's own
// items) of the device, checked as the popup offers it: the device online and read in full,
// its `remote` mask offering the item, the element in range. Empty when it may.
std::string DevicePopupRefusal(const TDeviceEntry& entry, int item, int index);

// The expanded and selected nodes of the visible tree, by id.
struct TTreeViewState {
    int count = 0;
    int selected = -1;
    std::vector<int> expanded; // ascending
};

// What a swap puts back. Expansion comes back only when the tree before this swap had as many
// nodes as the tree before the previous one (so the first two swaps show everything collapsed);
// the selection always comes back by position. Ids beyond the new tree are dropped.
class TTreeRestore {
public:
    static constexpr int MAX_EXPANDED = 32767;

    TTreeViewState Plan(const TTreeViewState& before, int new_count);

private:
    int previous_count_ = -1;
};

// Told by the tree thread that a new snapshot waits. It must not wait for the window side.
class TDeviceTreeSink {
public:
    virtual ~TDeviceTreeSink() = default;
    virtual void TreeSnapshotReady() = 0;
};

class TDeviceTree {
public:
    // The tree must be destroyed, and every snapshot dropped, before `device`.
    TDeviceTree(TLog* log, TDevice& device, const TRecord& record, TDeviceTreeSink& sink);
    ~TDeviceTree();
    TDeviceTree(const TDeviceTree&) = delete;
    TDeviceTree& operator=(const TDeviceTree&) = delete;

    // Any thread: asks for a rebuild and returns at once. Requests that arrive during a rebuild
    // give exactly one more. Ignored while the table is empty and after Stop.
    void TreeViewUpdate();
    // Ends and joins the tree thread; later requests are ignored.
    void Stop();

    // The window side: the newest snapshot not yet taken (null when none waits), and the one it
    // replaced, given back so that its memory is freed on the tree thread.
    std::shared_ptr<const TTreeSnapshot> TakeSnapshot();
    void Retire(std::shared_ptr<const TTreeSnapshot> snapshot);

    // One rebuild on the caller's thread: writes the cells' styles and menus and returns the
    // tree sorted by bus address.
    std::shared_ptr<TTreeSnapshot> Build();

    int GetThreadsCount() const;
    int GetThreadsMaxCount() const;
    int GetRebuildCount() const;

    // Cells of the nodes that have none in the device table; none offers a menu. A group line
    // has a cell of its device's and takes the group cell's style while nothing in it is grave.
    const TNodeData& NoNode() const { return no_node_; }
    const TNodeData& YesNode() const { return yes_node_; }
    const TNodeData& GroupNode() const { return group_node_; }
    const TNodeData& OfflineNode() const { return offline_node_; }

private:
    void DeviceThreadTreeFunction();

    TLog* log_;
    TDevice& device_;
    const TRecord& record_;
    TDeviceTreeSink& sink_;

    TNodeData no_node_;
    TNodeData yes_node_;
    TNodeData group_node_;
    TNodeData offline_node_;

    std::mutex request_lock_; // one TreeViewUpdate at a time
    std::thread tree_thread_;

    mutable std::mutex lock_;
    std::condition_variable wake_;
    int ThreadsCount = 0; // requests not yet served
    int ThreadsMaxCount = 0;
    int rebuilds_ = 0;
    bool quit_ = false;
    std::shared_ptr<const TTreeSnapshot> ready_;
    std::vector<std::shared_ptr<const TTreeSnapshot>> retired_;
};
