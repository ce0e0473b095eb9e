#include "device/device_tree.h"

#include <algorithm>
#include <charconv>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "buslink/commands.h"
#include "common/text.h"
#include "device/device.h"
#include "log/log.h"
#include "records/alarm_class.h"
#include "records/cell_text.h"
#include "records/record.h"

const std::array<TDevicePopupItem, DEVICE_POPUP_ITEM_COUNT> DEVICE_POPUP_ITEMS = {{
    {"PM_DeviceReset", "Сброс устройства", REMOTE_RESET_DEVICE, 0, 0},
    {"PM_LineReset", "Сброс ШС", REMOTE_RESET_LINE, 2, 0},
    {"PM_SensorReset", "Сброс АПИ", REMOTE_RESET_SENSOR, 2, 0},
    {"PM_LineOff", "-- Выключить ШС", REMOTE_LINE_STATE, 3, 0},
    {"PM_LineOn", "+ Включить ШС", REMOTE_LINE_STATE, 3, 1},
    {"PM_SensorOff", "-- Выключить АПИ", REMOTE_SENSOR_STATE, 3, 0},
    {"PM_SensorOn", "+ Включить АПИ", REMOTE_SENSOR_STATE, 3, 1},
    {"PM_RelayOff", "-- Выключить РЕЛЕ", REMOTE_RELAY_STATE, 3, 0},
    {"PM_RelayOn", "+ Включить РЕЛЕ", REMOTE_RELAY_STATE, 3, 1},
    {"PM_RelayControlOff", "-- Выключить КЦЦ РЕЛЕ", REMOTE_RELAY_CONTROL, 3, 0},
    {"PM_RelayControlOn", "+ Включить КЦЦ РЕЛЕ", REMOTE_RELAY_CONTROL, 3, 1},
    {"PM_RelayModeManual", "Ручной режим работы РЕЛЕ", REMOTE_RELAY_MODE, 3, 0},
    {"PM_RelayModeAuto", "Автоматический режим работы РЕЛЕ", REMOTE_RELAY_MODE, 3, 1},
}};

const std::array<std::string_view, REMOTE_CAPABILITY_COUNT> REMOTE_CAPABILITY_CAPTIONS = {
    "Сброс устройства",      "Сброс ШС",          "Сброс АПИ",
    "Управление ШС",         "Управление АПИ",    "Управление РЕЛЕ",
    "Контроль цепи РЕЛЕ",    "Режим работы РЕЛЕ", "Чтение архива",
    "Синхронизация времени",
};

namespace {

// Popup items that ask first.
constexpr int ITEM_DEVICE_RESET = 0;
constexpr int ITEM_LINE_OFF = 3;
constexpr int ITEM_SENSOR_OFF = 5;

constexpr int MENU_DEVICE_RESET = 1 << 0;
constexpr int MENU_LINE_RESET = 1 << 1;
constexpr int MENU_LINE_OFF_ON = (1 << 3) | (1 << 4);
constexpr int MENU_RELAY_OFF_ON = (1 << 7) | (1 << 8);
constexpr int MENU_RELAY_CONTROL = (1 << 9) | (1 << 10);
constexpr int MENU_RELAY_MODE = (1 << 11) | (1 << 12);
constexpr int MENU_ALL = (1 << DEVICE_POPUP_ITEM_COUNT) - 1;

// The bus address in a device line: the three characters after its first " (", trimmed.
bool AddressIn(std::string_view text, int& address) {
    const std::size_t at = text.find(" (");
    if (at == std::string_view::npos) {
        return false;
    }
    const std::string_view digits = TrimView(text.substr(at + 2, 3));
    const char* end = digits.data() + digits.size();
    return !digits.empty() && std::from_chars(digits.data(), end, address).ptr == end;
}

bool Bit(int mask, int k) {
    return ((mask >> k) & 1) != 0;
}

// The popup items a device's `remote` mask offers on its own lines, on a loop and on a relay.
int DeviceMenu(int remote) {
    return Bit(remote, 0) ? MENU_DEVICE_RESET : 0;
}
int LineMenu(int remote) {
    return (Bit(remote, 1) ? MENU_LINE_RESET : 0) | (Bit(remote, 3) ? MENU_LINE_OFF_ON : 0);
}
int RelayMenu(int remote) {
    return (Bit(remote, 5) ? MENU_RELAY_OFF_ON : 0) | (Bit(remote, 6) ? MENU_RELAY_CONTROL : 0) |
           (Bit(remote, 7) ? MENU_RELAY_MODE : 0);
}

// The menu of a cell that can carry commands: none while the device cannot take them, its
// device all the same (its events are offered). The target is written before the mask, so a
// right click never sees a mask without its device.
void SetMenu(TNodeData& cell, bool commandable, int mask, int index, TDeviceEntry& entry) {
    cell.index = index;
    cell.entry = &entry;
    cell.menu_mask = commandable ? mask : 0;
}

// The value of a loop's or relay's record: its zero-based number and a code.
std::int32_t ElementValue(int i, std::uint8_t code) {
    return MakeRecordValue(static_cast<std::uint16_t>(i), 0, code);
}

std::string Format(std::string_view format, const auto&... args) {
    std::string text;
    SafeSprintf(text, format, args...);
    return text;
}

// A device's factory name, or its id when it has none.
std::string DeviceName(const TDeviceRecord& device) {
    return device.const_name[0] != '\0' ? DeviceNameText(device.const_name)
                                        : DeviceIdText(device.device_id);
}

// A device as one rebuild sees it: its table entry read once.
struct TDeviceLine {
    TDeviceEntry* entry;
    TDeviceRecord record;
    bool online;
    std::string text;
    // Its own summary state first, then every state below it.
    TWorstState worst;
};

class TTreeBuilder {
public:
    TTreeBuilder(const TRecord& record, const TDeviceTree& tree, TTreeSnapshot& out)
        : record_(record), tree_(tree), out_(out) {}

    TDeviceLine DeviceLine(TDeviceEntry& entry);
    void AddDevice(TDeviceLine& line);
    // Groups the children of every node once all nodes are in.
    void Finish();

private:
    struct TMessage {
        std::string text;
        TMessageStyle style;
        TAlarmClass alarm_class = TAlarmClass::Normal;
    };

    int Add(int parent, std::string text, const TNodeData* cell);
    // A line of one state: `format` filled with its tree text, on the state's cell; the state
    // is noted in `worst`.
    int AddState(int parent, std::string_view format, std::uint8_t type, std::int32_t value,
                 TNodeData& cell, TWorstState& worst);
    // A loop or relay line, `format` filled with its number and state, and its "Состояние"
    // child, both on its state cell.
    int AddElement(int group, std::string_view format, int i, std::uint8_t type, std::uint8_t state,
                   TNodeData& cell, TWorstState& worst);
    // The tree text of a state into the cell's style. The tree form depends on the type and the
    // code byte alone, so each pair is formatted once per rebuild.
    const TMessage& Message(std::uint8_t type, std::int32_t value, TNodeData& cell);
    // The "ШС" and "РЕЛЕ" groups; each is drawn as the gravest state inside it, which is noted
    // in `worst` as well.
    void AddLines(int top, TDeviceLine& line, bool commandable, TWorstState& worst);
    void AddRelays(int top, TDeviceLine& line, bool commandable, TWorstState& worst);
    // A group line is drawn as the constant group cell unless something inside it is graver
    // than normal.
    void StoreGroupStyle(TNodeData& cell, const TWorstState& inside, TWorstState& device);

    const TRecord& record_;
    const TDeviceTree& tree_;
    TTreeSnapshot& out_;
    std::unordered_map<int, TMessage> messages_;
};

const TTreeBuilder::TMessage& TTreeBuilder::Message(std::uint8_t type, std::int32_t value,
                                                    TNodeData& cell) {
    const int key = type * 256 + RecordCode(value);
    auto it = messages_.find(key);
    if (it == messages_.end()) {
        TMessage message;
        record_.GetRecordMessage(type, value, false, message.style, message.text);
        message.alarm_class = record_.GetAlarmClass(type, value);
        it = messages_.emplace(key, std::move(message)).first;
    }
    cell.style.Store(it->second.style);
    return it->second;
}

int TTreeBuilder::Add(int parent, std::string text, const TNodeData* cell) {
    const int id = out_.NodeCount();
    TTreeNode& node = out_.nodes.emplace_back();
    node.text = std::move(text);
    node.cell = cell;
    node.parent = parent;
    if (parent < 0) {
        node.row = static_cast<int>(out_.roots.size());
        out_.roots.push_back(id);
    } else {
        node.row = out_.nodes[static_cast<std::size_t>(parent)].child_count++;
    }
    return id;
}

int TTreeBuilder::AddState(int parent, std::string_view format, std::uint8_t type,
                           std::int32_t value, TNodeData& cell, TWorstState& worst) {
    const TMessage& message = Message(type, value, cell);
    worst.Note(message.alarm_class, message.style);
    return Add(parent, Format(format, message.text), &cell);
}

int TTreeBuilder::AddElement(int group, std::string_view format, int i, std::uint8_t type,
                             std::uint8_t state, TNodeData& cell, TWorstState& worst) {
    const TMessage& message = Message(type, ElementValue(i, state), cell);
    worst.Note(message.alarm_class, message.style);
    const int node = Add(group, Format(format, i + 1, message.text), &cell);
    Add(node, Format("Состояние: %s", message.text), &cell);
    return node;
}

TDeviceLine TTreeBuilder::DeviceLine(TDeviceEntry& entry) {
    TDeviceLine line{&entry, entry.record.Get(), entry.online, {}, {}};
    const TDeviceRecord& r = line.record;
    const std::string name = DeviceName(r);
    const std::string user = r.user_name[0] != '\0' ? DeviceNameText(r.user_name) : " ";
    const TMessage& state = Message(MAX_STATE, entry.max_state, entry.device_node);
    line.worst.Note(state.alarm_class, state.style);
    line.text = Format("%-18s (%3d) %-18s [ %s ]", name, r.address, user, state.text);
    return line;
}

void TTreeBuilder::AddDevice(TDeviceLine& line) {
    TDeviceEntry& e = *line.entry;
    const TDeviceRecord& r = line.record;
    const bool commandable = line.online && e.info_complete;
    const int device_menu = DeviceMenu(r.remote);
    if (line.online) {
        SetMenu(e.device_node, commandable, device_menu, 0, e);
    }
    SetMenu(e.state_node, commandable, device_menu, 0, e);

    const int top =
        Add(-1, std::move(line.text), line.online ? &e.device_node : &tree_.OfflineNode());
    TWorstState& worst = line.worst;
    AddState(top, "Состояние: %s", DEVICE_STATE, e.state, e.state_node, worst);
    AddState(top, "Питание: %s", DEVICE_POWER, e.power, e.power_node, worst);
    AddState(top, "Аккумулятор: %s", DEVICE_BATTERY, e.battery, e.battery_node, worst);
    const int remote = Add(top, "Удалённое управление", &tree_.NoNode());
    for (int k = 0; k < REMOTE_CAPABILITY_COUNT; ++k) {
        const bool yes = Bit(r.remote, k);
        Add(remote,
            Format("%s: %s", REMOTE_CAPABILITY_CAPTIONS[static_cast<std::size_t>(k)],
                   yes ? "ДА" : "НЕТ"),
            yes ? &tree_.YesNode() : &tree_.NoNode());
    }
    Add(top, Format("Архивных сообщений: %d", r.archives), &tree_.NoNode());
    AddLines(top, line, commandable, worst);
    AddRelays(top, line, commandable, worst);
    // A loop in alarm shows on the device line without opening anything. An offline device
    // keeps its own line.
    e.device_node.style.Store(worst.Style());
}

void TTreeBuilder::AddLines(int top, TDeviceLine& line, bool commandable, TWorstState& worst) {
    const int count = std::clamp(line.record.lines, 0, TDeviceEntry::MAX_LINES);
    if (count == 0) {
        return;
    }
    const int menu = LineMenu(line.record.remote);
    TNodeData& group_cell = line.entry->lines_node;
    const int group = Add(top, Format("ШС (%d)", count), &group_cell);
    TWorstState inside;
    for (int i = 0; i < count; ++i) {
        TLineEntry& l = line.entry->line[i];
        SetMenu(l.state_node, commandable, menu, i, *line.entry);
        const int node =
            AddElement(group, "ШС%-2d [ %s ]", i, LINE_STATE, l.state, l.state_node, inside);
        AddState(node, "Тип: %s", LINE_TYPE, ElementValue(i, l.type), l.type_node, inside);
    }
    StoreGroupStyle(group_cell, inside, worst);
}

void TTreeBuilder::AddRelays(int top, TDeviceLine& line, bool commandable, TWorstState& worst) {
    const int count = std::clamp(line.record.relays, 0, TDeviceEntry::MAX_RELAYS);
    if (count == 0) {
        return;
    }
    const int menu = RelayMenu(line.record.remote);
    TNodeData& group_cell = line.entry->relays_node;
    const int group = Add(top, Format("РЕЛЕ (%d)", count), &group_cell);
    TWorstState inside;
    for (int k = 0; k < count; ++k) {
        TRelayEntry& r = line.entry->relay[k];
        SetMenu(r.state_node, commandable, menu, k, *line.entry);
        const int node =
            AddElement(group, "РЕЛЕ%-2d [ %s ]", k, RELAY_STATE, r.state, r.state_node, inside);
        AddState(node, "Контроль цепи: %s", RELAY_CONTROL, ElementValue(k, r.control),
                 r.control_node, inside);
        AddState(node, "Тип: %s", RELAY_TYPE, ElementValue(k, r.type), r.type_node, inside);
        AddState(node, "Режим работы: %s", RELAY_MODE, ElementValue(k, r.mode), r.mode_node,
                 inside);
    }
    StoreGroupStyle(group_cell, inside, worst);
}

void TTreeBuilder::StoreGroupStyle(TNodeData& cell, const TWorstState& inside,
                                   TWorstState& device) {
    cell.style.Store(inside.Grave() ? inside.Style() : tree_.GroupNode().style.Load());
    device.Note(inside.Class(), inside.Style());
}

void TTreeBuilder::Finish() {
    int next = 0;
    for (TTreeNode& node : out_.nodes) {
        node.children = next;
        next += node.child_count;
    }
    out_.children.resize(static_cast<std::size_t>(next));
    for (int id = 0; id < out_.NodeCount(); ++id) {
        const TTreeNode& node = out_.nodes[static_cast<std::size_t>(id)];
        if (node.parent >= 0) {
            const TTreeNode& parent = out_.nodes[static_cast<std::size_t>(node.parent)];
            out_.children[static_cast<std::size_t>(parent.children + node.row)] = id;
        }
    }
}

// Nodes a device adds, for reserving room.
std::size_t NodesOf(const TDeviceEntry& entry) {
    const TDeviceRecord r = entry.record.Get();
    const int lines = std::clamp(r.lines, 0, TDeviceEntry::MAX_LINES);
    const int relays = std::clamp(r.relays, 0, TDeviceEntry::MAX_RELAYS);
    return static_cast<std::size_t>(6 + REMOTE_CAPABILITY_COUNT + (lines > 0 ? 1 + 3 * lines : 0) +
                                    (relays > 0 ? 1 + 5 * relays : 0));
}

} // namespace

int TTreeSnapshot::Child(int parent, int row) const {
    if (row < 0 || row >= ChildCount(parent)) {
        return -1;
    }
    if (parent < 0) {
        return roots[static_cast<std::size_t>(row)];
    }
    return children[static_cast<std::size_t>(nodes[static_cast<std::size_t>(parent)].children +
                                             row)];
}

int TTreeSnapshot::ChildCount(int parent) const {
    if (parent < 0) {
        return static_cast<int>(roots.size());
    }
    return parent < NodeCount() ? nodes[static_cast<std::size_t>(parent)].child_count : 0;
}

int CompareDeviceLines(std::string_view a, std::string_view b) {
    int x = 0;
    int y = 0;
    if (!AddressIn(a, x) || !AddressIn(b, y) || x == y) {
        return 0;
    }
    return x < y ? -1 : 1;
}

std::string DeviceTargetText(const TDeviceRecord& device) {
    const std::string name = DeviceName(device);
    return device.user_name[0] != '\0' ? Format("«%s» (%s, адрес %d)", name,
                                                DeviceNameText(device.user_name), device.address)
                                       : Format("«%s» (адрес %d)", name, device.address);
}

std::string DevicePopupQuestion(int item, const TDeviceRecord& device, int index) {
    const std::string target = DeviceTargetText(device);
    switch (item) {
    case ITEM_DEVICE_RESET:
        return Format("Сбросить устройство %s?", target);
    case ITEM_LINE_OFF:
        return Format("Выключить ШС%d устройства %s?", index + 1, target);
    case ITEM_SENSOR_OFF:
        return Format("Выключить АПИ %d устройства %s?", index + 1, target);
    default:
        return {};
    }
}

int OpenDevicePopup(TDevice& device, const TNodeData& cell, TLog* log) {
    const int mask = cell.menu_mask & MENU_ALL;
    const TDeviceEntry* entry = cell.entry;
    if (mask == 0 || entry == nullptr) {
        return 0;
    }
    if (!device.SetCommandTarget(entry->record.Get(), static_cast<int>(cell.index))) {
        TLog::Add(log, "Предыдущая команда ещё не обработана", LOG_TYPE_ERROR);
        return 0;
    }
    return mask;
}

int DevicePopupItem(std::string_view name) {
    for (std::size_t i = 0; i < DEVICE_POPUP_ITEMS.size(); ++i) {
        if (DEVICE_POPUP_ITEMS[i].name.substr(3) == name) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::string DevicePopupRefusal(const TDeviceEntry& entry, int item, int index) {
    if (item < 0 || item >= DEVICE_POPUP_ITEM_COUNT) {
        return "неизвестная команда";
    }
    if (!entry.online || !entry.info_complete) {
        return "устройство не на связи или не прочитано";
    }
    const TDeviceRecord r = entry.record.Get();
    const int bit = 1 << item;
    int count = 1; // the device itself
    if ((DeviceMenu(r.remote) & bit) != 0) {
        index = 0;
    } else if ((LineMenu(r.remote) & bit) != 0) {
        count = std::clamp(r.lines, 0, TDeviceEntry::MAX_LINES);
    } else if ((RelayMenu(r.remote) & bit) != 0) {
        count = std::clamp(r.relays, 0, TDeviceEntry::MAX_RELAYS);
    } else {
        return "команда не разрешена устройством";
    }
    if (index < 0 || index >= count) {
        return "нет элемента с номером " + std::to_string(index + 1);
    }
    return {};
}

TTreeViewState TTreeRestore::Plan(const TTreeViewState& before, int new_count) {
    TTreeViewState plan;
    plan.count = new_count;
    if (before.count == previous_count_) {
        const std::size_t remembered =
            std::min(before.expanded.size(), static_cast<std::size_t>(MAX_EXPANDED));
        for (std::size_t i = 0; i < remembered; ++i) {
            const int id = before.expanded[i];
            if (id >= 0 && id < new_count) {
                plan.expanded.push_back(id);
            }
        }
    }
    previous_count_ = before.count;
    plan.selected = before.selected >= 0 && before.selected < new_count ? before.selected : -1;
    return plan;
}

TDeviceTree::TDeviceTree(TLog* log, TDevice& device, const TRecord& record, TDeviceTreeSink& sink)
    : log_(log), device_(device), record_(record), sink_(sink) {
    TMessageStyle grey;
    grey.font_color = 0x808080;
    no_node_.style.Store(grey);
    TMessageStyle offline;
    offline.bg_color = 0x0080FFFF;
    offline.is_strikeout = true;
    offline_node_.style.Store(offline);
}

TDeviceTree::~TDeviceTree() {
    Stop();
    TLog::Addf(log_, LOG_TYPE_DEBUG, "%s, ThreadsCount: %d, ThreadsMaxCount: %d",
               "TDeviceTree::~TDeviceTree", GetThreadsCount(), GetThreadsMaxCount());
}

void TDeviceTree::TreeViewUpdate() {
    TLog::Add(log_, "TDevice::TreeViewUpdate", LOG_TYPE_DEBUG);
    std::lock_guard request(request_lock_);
    if (device_.GetCount() == 0) {
        return;
    }
    std::lock_guard lock(lock_);
    if (quit_) {
        return;
    }
    if (!tree_thread_.joinable()) {
        try {
            tree_thread_ = std::thread(&TDeviceTree::DeviceThreadTreeFunction, this);
        } catch (const std::system_error&) {
            TLog::Add(log_, "Ошибка запуска дерева устройств", LOG_TYPE_ERROR);
            return;
        }
    }
    ++ThreadsCount;
    ThreadsMaxCount = std::max(ThreadsMaxCount, ThreadsCount);
    wake_.notify_one();
}

void TDeviceTree::Stop() {
    std::lock_guard request(request_lock_);
    {
        std::lock_guard lock(lock_);
        quit_ = true;
    }
    wake_.notify_one();
    if (tree_thread_.joinable()) {
        tree_thread_.join();
    }
    std::lock_guard lock(lock_);
    ready_.reset();
    retired_.clear();
}

void TDeviceTree::DeviceThreadTreeFunction() {
    std::unique_lock lock(lock_);
    for (;;) {
        wake_.wait(lock, [this] { return quit_ || ThreadsCount > 0 || !retired_.empty(); });
        if (quit_) {
            return;
        }
        // Old snapshots are freed here, away from the window thread.
        auto retired = std::exchange(retired_, {});
        bool again = ThreadsCount > 0;
        lock.unlock();
        retired.clear();
        while (again) {
            TLog::Add(log_, "+ DeviceThreadTreeFunction", LOG_TYPE_DEBUG);
            std::shared_ptr<const TTreeSnapshot> replaced = Build();
            lock.lock();
            ++rebuilds_;
            std::swap(replaced, ready_);
            lock.unlock();
            // A snapshot the window side has not taken yet is simply replaced by the newer one.
            if (!replaced) {
                sink_.TreeSnapshotReady();
            }
            replaced.reset();
            lock.lock();
            --ThreadsCount;
            again = ThreadsCount > 0 && !quit_;
            if (again) {
                ThreadsCount = 1;
            }
            // Requests may keep this loop going for as long as the bus is busy: the trees the
            // window side gave back meanwhile are freed now, not when the loop ends.
            retired = std::exchange(retired_, {});
            lock.unlock();
            retired.clear();
            TLog::Add(log_, again ? "* DeviceThreadTreeFunction" : "- DeviceThreadTreeFunction",
                      LOG_TYPE_DEBUG);
        }
        lock.lock();
    }
}

std::shared_ptr<TTreeSnapshot> TDeviceTree::Build() {
    auto snapshot = std::make_shared<TTreeSnapshot>();
    TTreeBuilder builder(record_, *this, *snapshot);
    const int count = device_.GetCount();
    std::vector<TDeviceLine> lines;
    lines.reserve(static_cast<std::size_t>(count));
    std::size_t nodes = 0;
    for (int i = 0; i < count; ++i) {
        TDeviceEntry* entry = device_.GetItem(i);
        lines.push_back(builder.DeviceLine(*entry));
        nodes += NodesOf(*entry);
    }
    // Device lines by bus address, equal ones in table order. An insertion sort stays defined
    // for lines without an address, which compare equal to every other line.
    for (std::size_t i = 1; i < lines.size(); ++i) {
        for (std::size_t j = i; j > 0 && CompareDeviceLines(lines[j].text, lines[j - 1].text) < 0;
             --j) {
            std::swap(lines[j], lines[j - 1]);
        }
    }
    snapshot->nodes.reserve(nodes);
    for (TDeviceLine& line : lines) {
        builder.AddDevice(line);
    }
    builder.Finish();
    return snapshot;
}

std::shared_ptr<const TTreeSnapshot> TDeviceTree::TakeSnapshot() {
    std::lock_guard lock(lock_);
    return std::exchange(ready_, nullptr);
}

void TDeviceTree::Retire(std::shared_ptr<const TTreeSnapshot> snapshot) {
    if (!snapshot) {
        return;
    }
    {
        std::lock_guard lock(lock_);
        if (quit_) {
            return; // freed here: the thread has ended
        }
        retired_.push_back(std::move(snapshot));
    }
    wake_.notify_one();
}

int TDeviceTree::GetThreadsCount() const {
    std::lock_guard lock(lock_);
    return ThreadsCount;
}

int TDeviceTree::GetThreadsMaxCount() const {
    std::lock_guard lock(lock_);
    return ThreadsMaxCount;
}

int TDeviceTree::GetRebuildCount() const {
    std::lock_guard lock(lock_);
    return rebuilds_;
}
