// The device tree: node texts, cells and menus of a rebuild, the sort, the restore rules, the
// request counter of the tree thread and a popup command that reaches a simulated panel.
#include "device/device_tree.h"

#include "buslink/commands.h"
#include "common/text.h"
#include "sim/bus_sim.h"
#include "support/device_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Counts the snapshots announced; can hold the tree thread inside a rebuild.
class HoldingSink : public TDeviceTreeSink {
public:
    void TreeSnapshotReady() override {
        std::unique_lock lock(mutex);
        if (on_ready) {
            on_ready();
        }
        ++ready;
        changed.notify_all();
        changed.wait(lock, [this] { return !hold; });
    }
    void Release() {
        std::lock_guard lock(mutex);
        hold = false;
        changed.notify_all();
    }
    bool WaitReady(int count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 5s, [&] { return ready >= count; });
    }

    std::mutex mutex;
    std::condition_variable changed;
    int ready = 0;
    bool hold = false;
    std::function<void()> on_ready; // runs on the tree thread, under `mutex`
};

TDeviceRecord Device(std::uint32_t id, int address, const char* name = "", int lines = 0,
                     int relays = 0, int remote = 0) {
    TDeviceRecord d{};
    d.device_id = id;
    d.address = address;
    std::strncpy(d.const_name, Utf8ToCp1251(name).c_str(), DeviceNameLength);
    d.lines = lines;
    d.relays = relays;
    d.remote = remote;
    d.archives = 12;
    return d;
}

class DeviceTree : public ::testing::Test, public DeviceFixture {
protected:
    // Appends a device as the bus cycle would; online and fully read unless told otherwise.
    TDeviceEntry& Add(const TDeviceRecord& d, bool online = true, bool complete = true) {
        TDeviceEntry& e = *device->GetItem(device->AddDevice(d));
        e.online = online;
        e.info_complete = complete;
        return e;
    }
    std::shared_ptr<TTreeSnapshot> Build() { return tree.Build(); }
    // The texts of the children of a node.
    static std::vector<std::string> Children(const TTreeSnapshot& s, int node) {
        std::vector<std::string> texts;
        for (int row = 0; row < s.ChildCount(node); ++row) {
            texts.push_back(s.nodes[static_cast<std::size_t>(s.Child(node, row))].text);
        }
        return texts;
    }
    // The id of the child whose text starts with `prefix`; -1 when there is none.
    static int Find(const TTreeSnapshot& s, int parent, const std::string& prefix) {
        for (int row = 0; row < s.ChildCount(parent); ++row) {
            const int id = s.Child(parent, row);
            if (s.nodes[static_cast<std::size_t>(id)].text.rfind(prefix, 0) == 0) {
                return id;
            }
        }
        return -1;
    }
    static int Mask(const TTreeSnapshot& s, int id) {
        return s.nodes[static_cast<std::size_t>(id)].cell->menu_mask;
    }
    // The tree form of a state, as the catalogue gives it.
    std::string Text(std::uint8_t type, std::int32_t value, TMessageStyle* style = nullptr) {
        TMessageStyle s;
        std::string text;
        record->GetRecordMessage(type, value, false, s, text);
        if (style != nullptr) {
            *style = s;
        }
        return text;
    }

    HoldingSink sink;
    TDeviceTree tree{log.get(), *device, *record, sink};
};

constexpr int LINE_MENU_RESET = 1 << 1;
constexpr int LINE_MENU_OFF_ON = (1 << 3) | (1 << 4);

} // namespace

TEST_F(DeviceTree, DeviceLineAndItsFiveFixedChildren) {
    TDeviceEntry& e = Add(Device(0x0012ABCD, 5, "", 0, 0, 0b1000000101));
    e.max_state = 4;
    const auto s = Build();
    ASSERT_EQ(s->ChildCount(-1), 1);
    TMessageStyle alarm;
    const std::string state = Text(MAX_STATE, 4, &alarm);
    const int top = s->Child(-1, 0);
    EXPECT_EQ(s->nodes[0].text, "0012ABCD           (  5)                    [ " + state + " ]");
    EXPECT_EQ(s->nodes[0].cell, &e.device_node);
    EXPECT_EQ(e.device_node.style.Load(), alarm);
    EXPECT_NE(alarm, TMessageStyle{});
    EXPECT_EQ(Children(*s, top),
              (std::vector<std::string>{"Состояние: " + Text(DEVICE_STATE, 0),
                                        "Питание: " + Text(DEVICE_POWER, 0),
                                        "Аккумулятор: " + Text(DEVICE_BATTERY, 0),
                                        "Удалённое управление", "Архивных сообщений: 12"}));
    const int remote = Find(*s, top, "Удалённое управление");
    const std::vector<std::string> capabilities = Children(*s, remote);
    ASSERT_EQ(capabilities.size(), 10u);
    for (int k = 0; k < 10; ++k) {
        const bool yes = k == 0 || k == 2 || k == 9;
        EXPECT_EQ(capabilities[static_cast<std::size_t>(k)],
                  std::string(REMOTE_CAPABILITY_CAPTIONS[static_cast<std::size_t>(k)]) + ": " +
                      (yes ? "ДА" : "НЕТ"));
        EXPECT_EQ(s->nodes[static_cast<std::size_t>(s->Child(remote, k))].cell,
                  yes ? &tree.YesNode() : &tree.NoNode());
    }
    EXPECT_EQ(s->nodes[static_cast<std::size_t>(remote)].cell, &tree.NoNode());
    EXPECT_EQ(s->NodeCount(), 16);
    // Display order: every node's id is its position top to bottom.
    for (int id = 0; id < s->NodeCount(); ++id) {
        const TTreeNode& n = s->nodes[static_cast<std::size_t>(id)];
        EXPECT_EQ(s->Child(n.parent, n.row), id);
    }
}

TEST_F(DeviceTree, ConstantCells) {
    EXPECT_EQ(tree.NoNode().style.Load(), (TMessageStyle{0x808080, 0xFFFFFF}));
    EXPECT_EQ(tree.YesNode().style.Load(), TMessageStyle{});
    EXPECT_EQ(tree.GroupNode().style.Load(), TMessageStyle{});
    TMessageStyle offline;
    offline.bg_color = 0x80FFFF;
    offline.is_strikeout = true;
    EXPECT_EQ(tree.OfflineNode().style.Load(), offline);
    for (const TNodeData* c :
         {&tree.NoNode(), &tree.YesNode(), &tree.GroupNode(), &tree.OfflineNode()}) {
        EXPECT_EQ(c->menu_mask, 0);
        EXPECT_EQ(static_cast<TDeviceEntry*>(c->entry), nullptr);
    }
}

TEST_F(DeviceTree, NamesLoopsAndRelays) {
    TDeviceRecord d = Device(0x01020304, 17, "Прибор-1", 12, 3, 0);
    std::strcpy(d.user_name, Utf8ToCp1251("Этаж").c_str());
    TDeviceEntry& e = Add(d);
    e.line[0].state = 0x0E; // loop 1: type 1, state 6
    e.line[0].type = 1;
    e.relay[2].state = 1;
    e.relay[2].control = 2;
    e.relay[2].mode = 1;
    const auto s = Build();
    EXPECT_EQ(s->nodes[0].text,
              "Прибор-1           ( 17) Этаж               [ " + Text(MAX_STATE, 0) + " ]");
    const int lines = Find(*s, 0, "ШС (");
    const int relays = Find(*s, 0, "РЕЛЕ (");
    EXPECT_EQ(s->nodes[static_cast<std::size_t>(lines)].text, "ШС (12)");
    EXPECT_EQ(s->nodes[static_cast<std::size_t>(relays)].text, "РЕЛЕ (3)");
    EXPECT_EQ(s->nodes[static_cast<std::size_t>(lines)].cell, &e.lines_node);
    EXPECT_EQ(s->nodes[static_cast<std::size_t>(relays)].cell, &e.relays_node);
    ASSERT_EQ(s->ChildCount(lines), 12);
    ASSERT_EQ(s->ChildCount(relays), 3);
    TMessageStyle fire;
    const std::string loop1 = Text(LINE_STATE, 0x0E, &fire);
    const int first = s->Child(lines, 0);
    EXPECT_EQ(s->nodes[static_cast<std::size_t>(first)].text, "ШС1  [ " + loop1 + " ]");
    EXPECT_EQ(s->nodes[static_cast<std::size_t>(first)].cell, &e.line[0].state_node);
    EXPECT_EQ(e.line[0].state_node.style.Load(), fire);
    EXPECT_EQ(Children(*s, first),
              (std::vector<std::string>{"Состояние: " + loop1, "Тип: " + Text(LINE_TYPE, 1)}));
    EXPECT_EQ(s->nodes[static_cast<std::size_t>(s->Child(first, 1))].cell, &e.line[0].type_node);
    EXPECT_EQ(s->nodes[static_cast<std::size_t>(s->Child(lines, 11))].text,
              "ШС12 [ " + Text(LINE_STATE, 0) + " ]");
    const int relay3 = s->Child(relays, 2);
    EXPECT_EQ(s->nodes[static_cast<std::size_t>(relay3)].text,
              "РЕЛЕ3  [ " + Text(RELAY_STATE, 1) + " ]");
    EXPECT_EQ(Children(*s, relay3),
              (std::vector<std::string>{
                  "Состояние: " + Text(RELAY_STATE, 1), "Контроль цепи: " + Text(RELAY_CONTROL, 2),
                  "Тип: " + Text(RELAY_TYPE, 0), "Режим работы: " + Text(RELAY_MODE, 1)}));
    EXPECT_EQ(s->nodes[static_cast<std::size_t>(s->Child(relay3, 3))].cell, &e.relay[2].mode_node);
    EXPECT_EQ(s->NodeCount(), 1 + 5 + 10 + 1 + 12 * 3 + 1 + 3 * 5);
}

TEST_F(DeviceTree, DevicesAreSortedByTheAddressInTheirLines) {
    TDeviceEntry& twelve = Add(Device(0xA, 12, "Двенадцать"));
    TDeviceEntry& seven = Add(Device(0xB, 7, "Семь"));
    TDeviceEntry& also_twelve = Add(Device(0xC, 12, "Тоже 12"));
    TDeviceEntry& named_one = Add(Device(0xD, 3, "Щит (1"));
    const auto s = Build();
    std::vector<const TNodeData*> order;
    for (const int id : s->roots) {
        order.push_back(s->nodes[static_cast<std::size_t>(id)].cell);
    }
    // The " (1" inside its name places the last device first; equal addresses keep table order.
    EXPECT_EQ(order,
              (std::vector<const TNodeData*>{&named_one.device_node, &seven.device_node,
                                             &twelve.device_node, &also_twelve.device_node}));
    EXPECT_LT(CompareDeviceLines("A (  7) x", "B ( 12) y"), 0);
    EXPECT_GT(CompareDeviceLines("A ( 12) x", "B (  7) y"), 0);
    EXPECT_EQ(CompareDeviceLines("A ( 12) x", "B ( 12) y"), 0);
    EXPECT_EQ(CompareDeviceLines("A (abc) x", "B (  7) y"), 0);
    EXPECT_EQ(CompareDeviceLines("no parenthesis", "B (  7) y"), 0);
    EXPECT_EQ(CompareDeviceLines("A (", "B (  7) y"), 0);
    EXPECT_LT(CompareDeviceLines("A (5", "B (  7) y"), 0);
}

TEST_F(DeviceTree, MenusOnlyOnCommandableDevices) {
    // Remote bits 0, 1, 5, 6, 7: device reset, loop reset, relay on/off, control and mode.
    const int remote = 0b11100011;
    TDeviceEntry& ok = Add(Device(1, 1, "A", 2, 1, remote));
    TDeviceEntry& offline = Add(Device(2, 2, "B", 2, 1, remote), false, true);
    TDeviceEntry& incomplete = Add(Device(3, 3, "C", 2, 1, remote), true, false);
    // Menus a device had while it could be commanded go when it goes offline.
    offline.online = true;
    Build();
    offline.online = false;
    const auto s = Build();

    EXPECT_EQ(Mask(*s, s->roots[0]), 1);
    EXPECT_EQ(ok.state_node.menu_mask, 1);
    EXPECT_EQ(static_cast<TDeviceEntry*>(ok.state_node.entry), &ok);
    EXPECT_EQ(ok.line[1].state_node.menu_mask, LINE_MENU_RESET);
    EXPECT_EQ(ok.line[1].state_node.index, 1);
    EXPECT_EQ(static_cast<TDeviceEntry*>(ok.line[1].state_node.entry), &ok);
    EXPECT_EQ(ok.relay[0].state_node.menu_mask, 0b1111110000000);
    for (const TNodeData* c :
         {&ok.power_node, &ok.battery_node, &ok.line[0].type_node, &ok.relay[0].control_node,
          &ok.relay[0].type_node, &ok.relay[0].mode_node}) {
        EXPECT_EQ(c->menu_mask, 0);
    }
    // The offline device's line carries the offline cell; none of its lines opens a menu.
    EXPECT_EQ(s->nodes[static_cast<std::size_t>(s->roots[1])].cell, &tree.OfflineNode());
    for (TDeviceEntry* e : {&offline, &incomplete}) {
        EXPECT_EQ(e->state_node.menu_mask, 0);
        EXPECT_EQ(e->line[0].state_node.menu_mask, 0);
        EXPECT_EQ(e->relay[0].state_node.menu_mask, 0);
    }
    EXPECT_EQ(incomplete.device_node.menu_mask, 0);
    EXPECT_EQ(Mask(*s, s->roots[2]), 0);

    // Loop menus by remote bits 1 and 3.
    TDeviceEntry& both = Add(Device(4, 4, "D", 1, 0, 0b1010));
    TDeviceEntry& off_on = Add(Device(5, 5, "E", 1, 0, 0b1000));
    Build();
    EXPECT_EQ(both.line[0].state_node.menu_mask, LINE_MENU_RESET | LINE_MENU_OFF_ON);
    EXPECT_EQ(off_on.line[0].state_node.menu_mask, LINE_MENU_OFF_ON);
    EXPECT_EQ(both.device_node.menu_mask, 0);
}

TEST_F(DeviceTree, GroupAndDeviceLinesTakeTheGravestStateInside) {
    TDeviceEntry& e = Add(Device(1, 1, "A", 4, 2));
    e.power = 1; // mains on: nothing grave
    const auto style = [&](std::uint8_t type, std::int32_t value) {
        TMessageStyle s;
        Text(type, value, &s);
        return s;
    };
    const TMessageStyle own = style(MAX_STATE, 0);
    Build();
    // Nothing grave: plain groups, the device in its own summary state.
    EXPECT_EQ(e.lines_node.style.Load(), tree.GroupNode().style.Load());
    EXPECT_EQ(e.relays_node.style.Load(), tree.GroupNode().style.Load());
    EXPECT_EQ(e.device_node.style.Load(), own);

    e.line[0].state = 3;    // "Обрыв": a fault
    e.line[1].state = 5;    // "Внимание"
    e.relay[1].control = 2; // the relay's circuit broken: a fault
    Build();
    const TMessageStyle attention = style(LINE_STATE, MakeRecordValue(1, 0, 5));
    const TMessageStyle fault = style(RELAY_CONTROL, MakeRecordValue(1, 0, 2));
    ASSERT_NE(attention, fault);
    EXPECT_EQ(e.lines_node.style.Load(), attention);
    EXPECT_EQ(e.relays_node.style.Load(), fault);
    EXPECT_EQ(e.device_node.style.Load(), attention);

    e.line[3].state = 6; // "Пожар"
    e.battery = 3;       // a faulty battery does not outrank it
    Build();
    const TMessageStyle fire = style(LINE_STATE, MakeRecordValue(3, 0, 6));
    ASSERT_NE(fire, attention);
    EXPECT_EQ(e.lines_node.style.Load(), fire);
    EXPECT_EQ(e.device_node.style.Load(), fire);
}

TEST_F(DeviceTree, OnlyCommandsThatSwitchProtectionOffAsk) {
    TDeviceRecord d = Device(0x12345678, 10, "ППКОП-16", 4);
    EXPECT_EQ(DevicePopupQuestion(0, d, 0), "Сбросить устройство «ППКОП-16» (адрес 10)?");
    EXPECT_EQ(DevicePopupQuestion(3, d, 2), "Выключить ШС3 устройства «ППКОП-16» (адрес 10)?");
    EXPECT_EQ(DevicePopupQuestion(5, d, 0), "Выключить АПИ 1 устройства «ППКОП-16» (адрес 10)?");
    std::strcpy(d.user_name, Utf8ToCp1251("Склад").c_str());
    d.const_name[0] = '\0';
    EXPECT_EQ(DevicePopupQuestion(3, d, 0),
              "Выключить ШС1 устройства «12345678» (Склад, адрес 10)?");
    for (const int item : {1, 4, 7, 8, 9, 10, 11, 12}) {
        EXPECT_EQ(DevicePopupQuestion(item, d, 0), "")
            << DEVICE_POPUP_ITEMS[static_cast<std::size_t>(item)].caption;
    }
}

TEST_F(DeviceTree, PopupStoresTheTargetUnlessACommandIsPending) {
    TDeviceEntry& e = Add(Device(0x12345678, 10, "A", 3, 0, 0b1010));
    Build();
    EXPECT_EQ(OpenDevicePopup(*device, e.power_node, log.get()), 0);
    EXPECT_EQ(OpenDevicePopup(*device, tree.NoNode(), log.get()), 0);
    ASSERT_EQ(OpenDevicePopup(*device, e.line[2].state_node, log.get()),
              LINE_MENU_RESET | LINE_MENU_OFF_ON);
    EXPECT_EQ(device->remote_command.device_id, 0x12345678u);
    EXPECT_EQ(device->remote_command.address, 10);
    EXPECT_EQ(device->remote_command.index, 2);
    const TDevicePopupItem& on = DEVICE_POPUP_ITEMS[4];
    EXPECT_EQ(on.caption, "+ Включить ШС");
    device->SetRemoteCommand(on.command, on.length, on.value);
    EXPECT_EQ(device->remote_command.command, REMOTE_LINE_STATE);
    EXPECT_EQ(device->remote_command.payload[0], 2);
    EXPECT_EQ(device->remote_command.payload[2], 1);
    // While it waits for the bus, another right click changes nothing.
    EXPECT_EQ(OpenDevicePopup(*device, e.line[0].state_node, log.get()), 0);
    EXPECT_EQ(device->remote_command.index, 2);
    const auto errors = LogLines(LOG_TYPE_ERROR);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("Предыдущая команда ещё не обработана"), std::string::npos);
}

TEST(DeviceTreeRestore, ExpansionComesBackOnlyAfterARebuildThatKeptTheCount) {
    TTreeRestore restore;
    // Start-up: the empty tree, then the first tree; both swaps show everything collapsed.
    EXPECT_TRUE(restore.Plan({0, -1, {}}, 100).expanded.empty());
    EXPECT_TRUE(restore.Plan({100, 5, {0, 7}}, 100).expanded.empty());
    TTreeViewState plan = restore.Plan({100, 5, {0, 7}}, 100);
    EXPECT_EQ(plan.expanded, (std::vector<int>{0, 7}));
    EXPECT_EQ(plan.selected, 5);
    // Nodes inserted above the selection: the node now at its position is selected.
    plan = restore.Plan({100, 5, {0, 7}}, 130);
    EXPECT_EQ(plan.expanded, (std::vector<int>{0, 7}));
    EXPECT_EQ(plan.selected, 5);
    // The count changed before this swap: collapsed; the selection still comes back.
    plan = restore.Plan({130, 120, {0}}, 130);
    EXPECT_TRUE(plan.expanded.empty());
    EXPECT_EQ(plan.selected, 120);
    // Positions beyond a smaller new tree are dropped.
    plan = restore.Plan({130, 120, {3, 60, 129}}, 50);
    EXPECT_EQ(plan.expanded, (std::vector<int>{3}));
    EXPECT_EQ(plan.selected, -1);
    // At most 32767 expanded nodes are remembered.
    TTreeRestore big;
    std::vector<int> many(40000);
    for (int i = 0; i < 40000; ++i) {
        many[static_cast<std::size_t>(i)] = i;
    }
    big.Plan({50000, -1, {}}, 50000);
    EXPECT_EQ(big.Plan({50000, -1, many}, 50000).expanded.size(), 32767u);
}

TEST_F(DeviceTree, AnEmptyTableStartsNoThread) {
    tree.TreeViewUpdate();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(tree.GetThreadsMaxCount(), 0);
    EXPECT_EQ(sink.ready, 0);
    EXPECT_EQ(tree.TakeSnapshot(), nullptr);
}

TEST_F(DeviceTree, TenRequestsDuringARebuildGiveExactlyOneMore) {
    Add(Device(1, 1, "A", 4, 2, 0xFF));
    sink.hold = true;
    tree.TreeViewUpdate();
    ASSERT_TRUE(sink.WaitReady(1));
    for (int i = 0; i < 10; ++i) {
        tree.TreeViewUpdate();
    }
    EXPECT_EQ(tree.GetThreadsCount(), 11);
    sink.Release();
    for (int i = 0; i < 200 && tree.GetThreadsCount() > 0; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(tree.GetRebuildCount(), 2);
    EXPECT_EQ(tree.GetThreadsCount(), 0);
    EXPECT_EQ(tree.GetThreadsMaxCount(), 11);
    // The window side had not taken the first tree: only the newest one waits.
    EXPECT_EQ(sink.ready, 1);
    const auto s = tree.TakeSnapshot();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(tree.TakeSnapshot(), nullptr);
    tree.Retire(s);
}

// Requests that keep the tree thread rebuilding (a busy bus) must not keep the trees the window
// side gave back: with 64 full panels each one holds megabytes.
TEST_F(DeviceTree, GivenBackTreesAreFreedWhileRebuildsGoOn) {
    Add(Device(1, 1, "A", 4, 2, 0xFF));
    sink.hold = true;
    tree.TreeViewUpdate();
    ASSERT_TRUE(sink.WaitReady(1));
    // The thread waits inside its first announcement; one more request keeps it rebuilding.
    tree.TreeViewUpdate();
    std::weak_ptr<const TTreeSnapshot> given_back;
    {
        std::shared_ptr<const TTreeSnapshot> shown = tree.TakeSnapshot();
        ASSERT_NE(shown, nullptr);
        given_back = shown;
        tree.Retire(std::move(shown));
    }
    bool freed_before_next = false;
    {
        std::lock_guard lock(sink.mutex);
        sink.on_ready = [&] { freed_before_next = given_back.expired(); };
    }
    sink.Release();
    ASSERT_TRUE(sink.WaitReady(2));
    std::lock_guard lock(sink.mutex);
    EXPECT_TRUE(freed_before_next);
    sink.on_ready = nullptr; // it refers to this test's locals
}

// Requests from several threads while the table changes: the tree built after the last request
// shows the last change, so no request was lost between a rebuild and the thread's sleep.
TEST_F(DeviceTree, NoRequestIsLost) {
    TDeviceEntry& e = Add(Device(1, 1, "A"));
    for (int round = 1; round <= 30; ++round) {
        std::vector<std::thread> callers;
        for (int t = 0; t < 3; ++t) {
            callers.emplace_back([&] {
                for (int i = 0; i < 3; ++i) {
                    tree.TreeViewUpdate();
                }
            });
        }
        for (std::thread& t : callers) {
            t.join();
        }
        e.record.Set(Device(1, round, "A"));
        tree.TreeViewUpdate();
        std::string expected;
        SafeSprintf(expected, "A                  (%3d)", round);
        std::shared_ptr<const TTreeSnapshot> shown;
        for (int i = 0; i < 500; ++i) {
            if (auto s = tree.TakeSnapshot()) {
                tree.Retire(std::exchange(shown, s));
            }
            if (shown && shown->nodes[0].text.rfind(expected, 0) == 0) {
                break;
            }
            std::this_thread::sleep_for(2ms);
        }
        ASSERT_NE(shown, nullptr);
        ASSERT_EQ(shown->nodes[0].text.substr(0, expected.size()), expected) << round;
    }
}

TEST_F(DeviceTree, StopJoinsTheThreadAndLaterRequestsAreIgnored) {
    Add(Device(1, 1, "A", 256, 128, 0xFF));
    for (int i = 0; i < 5; ++i) {
        tree.TreeViewUpdate();
    }
    tree.Stop();
    const int rebuilds = tree.GetRebuildCount();
    tree.TreeViewUpdate();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(tree.GetRebuildCount(), rebuilds);
    EXPECT_EQ(tree.TakeSnapshot(), nullptr);
}

namespace {

constexpr int COM = 11;

class DeviceTreeOnTheBus : public DeviceTree {
protected:
    void SetUp() override {
        settings.com_num = COM;
        TSimDeviceConfig panel;
        panel.key = 1;
        panel.address = 10;
        panel.id = 0x12345678;
        panel.factory_name = "Прибор";
        panel.lines = 4;
        panel.remote = 0b1010; // loop reset and loop on/off
        panel.state = 1;
        scenario.devices = {panel};
        TSimOptions options;
        options.ports_dir = dir.path();
        options.com = COM;
        options.pace = TSimPace::Fast;
        std::string error;
        ASSERT_TRUE(sim.Start(options, scenario, error)) << error;
    }
    void TearDown() override {
        device->SetService(false);
        sim.Stop();
    }

    TSimScenario scenario;
    TBusSim sim;
};

} // namespace

// "+ Включить ШС" on loop 3 of the panel: the popup stores the target from the tree's cell, the
// item queues its command, and the next turn of the PC carries it to the panel.
TEST_F(DeviceTreeOnTheBus, PopupCommandReachesThePanel) {
    device->SetService(true);
    ASSERT_TRUE(device->IsRunning());
    const TDeviceEntry* e = nullptr;
    for (int i = 0; i < 1000 && (e == nullptr || !e->info_complete); ++i) {
        std::this_thread::sleep_for(20ms);
        e = device->GetCount() > 0 ? device->GetItem(0) : nullptr;
    }
    ASSERT_TRUE(e != nullptr && e->info_complete);
    const auto s = Build();
    const int loop3 = s->Child(Find(*s, 0, "ШС ("), 2);
    const TNodeData& cell = *s->nodes[static_cast<std::size_t>(loop3)].cell;
    const int mask = OpenDevicePopup(*device, cell, log.get());
    ASSERT_EQ(mask, LINE_MENU_RESET | LINE_MENU_OFF_ON);
    const std::uint64_t mark = sim.Journal().LastSeq();
    const TDevicePopupItem& item = DEVICE_POPUP_ITEMS[4];
    device->SetRemoteCommand(item.command, item.length, item.value);
    TSimJournalEntry got;
    ASSERT_TRUE(sim.Journal().WaitForCommand(REMOTE_LINE_STATE, 10000, &got, mark));
    ASSERT_GE(got.bytes.size(), 18u);
    EXPECT_EQ(got.bytes[4], 10) << "destination address";
    EXPECT_EQ(TBytes(got.bytes.begin() + 15, got.bytes.begin() + 18), (TBytes{0x02, 0x00, 0x01}));
    EXPECT_TRUE(got.answered);
}
