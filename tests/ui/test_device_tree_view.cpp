// The device tree on its view: the swap of rebuilt trees with expansion and selection put back,
// styles that show before a rebuild, group colours, stale states, and the right-click popup with
// the remote commands and the questions before those that switch protection off.

#include <QAction>
#include <QMenu>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTreeView>

#include <cstring>

#include "buslink/commands.h"
#include "buslink/kordeya32.h"
#include "device/device.h"
#include "records/app_control.h"
#include "ui/device_tree_view.h"
#include "ui/record_list_style.h"
#include "views_fixture.h"

namespace {

constexpr int LINE_MENU = (1 << 1) | (1 << 3) | (1 << 4);

// Keeps the questions asked and gives every one the same answer.
class AnsweringApp : public TAppControl {
public:
    void ShowErrorBox(std::string_view) override {}
    bool AskQuestion(std::string_view text) override {
        questions.emplace_back(text);
        return answer;
    }
    void Terminate() override {}

    std::vector<std::string> questions;
    bool answer = false;
};

} // namespace

class TestDeviceTreeView : public QObject {
    Q_OBJECT

private:
    TDeviceEntry& Add(std::uint32_t id, int address, int lines, int remote) {
        TDeviceRecord d{};
        d.device_id = id;
        d.address = address;
        d.lines = lines;
        d.remote = remote;
        TDeviceEntry& e = *device_->GetItem(device_->AddDevice(d));
        e.online = true;
        e.info_complete = true;
        return e;
    }
    // Asks for a rebuild and waits until it is on screen.
    void Rebuild() {
        const int swaps = parts_->Logged("- TreeView EndUpdate");
        ui_->TreeViewUpdate();
        QTRY_COMPARE(parts_->Logged("- TreeView EndUpdate"), swaps + 1);
    }
    QModelIndex Node(int id) const { return ui_->Model().IndexOf(id); }
    // The id of the node with exactly this text; -1 when there is none.
    int Find(const QString& text) const {
        for (int id = 0; id < ui_->Model().NodeCount(); ++id) {
            if (Node(id).data().toString() == text) {
                return id;
            }
        }
        return -1;
    }
    int FindPrefix(const QString& prefix) const {
        for (int id = 0; id < ui_->Model().NodeCount(); ++id) {
            if (Node(id).data().toString().startsWith(prefix)) {
                return id;
            }
        }
        return -1;
    }
    void Click(int id, Qt::MouseButton button) {
        view_->scrollTo(Node(id));
        QTest::mouseClick(view_->viewport(), button, {}, view_->visualRect(Node(id)).center());
    }
    int Selected() const {
        const QModelIndexList s = view_->selectionModel()->selectedIndexes();
        return s.isEmpty() ? -1 : ui_->Model().IdOf(s.first());
    }
    QStringList VisibleItems() const {
        QStringList shown;
        for (QAction* a : popup_->actions()) {
            if (a->isVisible()) {
                shown << a->text();
            }
        }
        return shown;
    }

    std::unique_ptr<ViewParts> parts_;
    NoViews views_;
    AnsweringApp app_;
    TKordeya32 port_{""};
    std::unique_ptr<TDevice> device_;
    std::unique_ptr<QTreeView> view_;
    QMenu* popup_ = nullptr;
    std::unique_ptr<TDeviceTreeUi> ui_;

private slots:
    void init() {
        parts_ = std::make_unique<ViewParts>();
        device_ = std::make_unique<TDevice>(parts_->log.get(), *parts_->record, *parts_->sqlite,
                                            views_, port_, parts_->settings);
        view_ = std::make_unique<QTreeView>();
        view_->resize(500, 400);
        popup_ = new QMenu(view_.get());
        app_ = AnsweringApp();
        ui_ = std::make_unique<TDeviceTreeUi>(view_.get(), popup_, parts_->log.get(), *device_,
                                              *parts_->record, app_);
        view_->show();
        QVERIFY(QTest::qWaitForWindowExposed(view_.get()));
    }
    void cleanup() {
        ui_.reset();
        view_.reset();
        device_.reset();
        parts_.reset();
    }

    void rebuildsPutBackExpansionAndSelectionByPosition() {
        Add(0x11, 20, 3, 0);
        Add(0x22, 10, 2, 0);
        Rebuild();
        // Sorted by address; display order from the top.
        QVERIFY(Node(0).data().toString().contains(QStringLiteral("( 10)")));
        QCOMPARE(ui_->Model().rowCount(), 2);
        QCOMPARE(parts_->Logged("+ TreeView BeginUpdate"), 1);
        QCOMPARE(parts_->Logged("- TreeView EndUpdate"), 1);
        view_->expand(Node(0));
        const int lines = Find(QStringLiteral("ШС (2)"));
        view_->expand(Node(lines));
        view_->selectionModel()->select(Node(lines + 2), QItemSelectionModel::ClearAndSelect);
        // The second swap after start-up shows everything collapsed; the selection comes back.
        Rebuild();
        QVERIFY(!view_->isExpanded(Node(0)));
        QCOMPARE(Selected(), lines + 2);
        view_->expand(Node(0));
        view_->expand(Node(lines));
        Rebuild();
        QVERIFY(view_->isExpanded(Node(0)));
        QVERIFY(view_->isExpanded(Node(lines)));
        QVERIFY(!view_->isExpanded(Node(FindPrefix(QStringLiteral("Удалённое")))));
        // A new device at the top: positions shift, so the node now at the position is selected,
        // and the count changed, so the next swap shows everything collapsed.
        view_->selectionModel()->select(Node(3), QItemSelectionModel::ClearAndSelect);
        Add(0x33, 5, 0, 0);
        Rebuild();
        QCOMPARE(Selected(), 3);
        QVERIFY(Node(0).data().toString().contains(QStringLiteral("(  5)")));
        Rebuild();
        QVERIFY(!view_->isExpanded(Node(0)));
    }

    void aNewStyleShowsBeforeAnyRebuild() {
        TDeviceEntry& e = Add(0x11, 1, 1, 0);
        Rebuild();
        const int power = FindPrefix(QStringLiteral("Питание:"));
        view_->expand(Node(0));
        TMessageStyle alarm;
        alarm.font_color = 0xFFFFFF;
        alarm.bg_color = 0x0000FF; // red
        alarm.is_bold = true;
        e.power_node.style.Store(alarm);
        QCOMPARE(Node(power).data(Qt::BackgroundRole).value<QColor>(), QColor(Qt::red));
        QVERIFY(Node(power).data(Qt::FontRole).value<QFont>().bold());
        const QImage shot = view_->viewport()->grab().toImage();
        const QRect rect = view_->visualRect(Node(power));
        const QPoint blank(std::min(rect.right(), shot.width() - 1) - 3, rect.center().y());
        QCOMPARE(QColor(shot.pixel(blank)), QColor(Qt::red));
        // Selected, it is drawn in the view's own colours.
        view_->selectionModel()->select(Node(power), QItemSelectionModel::ClearAndSelect);
        const QImage selected = view_->viewport()->grab().toImage();
        QVERIFY(QColor(selected.pixel(blank)) != QColor(Qt::red));
    }

    void rightClickOpensTheNodesCommandsAndItsDeviceEvents() {
        TDeviceEntry& e = Add(0x12345678, 10, 4, 0b1010);
        Rebuild();
        view_->expandAll();
        const int loop3 = FindPrefix(QStringLiteral("ШС3 "));
        const int power = FindPrefix(QStringLiteral("Питание:"));
        // A left click selects and opens nothing.
        Click(loop3, Qt::LeftButton);
        QCOMPARE(Selected(), loop3);
        QVERIFY(!popup_->isVisible());
        // A line without commands: only its device's events, which go to the record filter.
        QSignalSpy events(ui_.get(), &TDeviceTreeUi::deviceEventsWanted);
        Click(power, Qt::RightButton);
        QCOMPARE(Selected(), power);
        QTRY_VERIFY(popup_->isVisible());
        QCOMPARE(VisibleItems(), QStringList({QStringLiteral("События устройства")}));
        popup_->findChild<QAction*>(QStringLiteral("PM_DeviceEvents"))->trigger();
        popup_->hide();
        QCOMPARE(events.size(), 1);
        QCOMPARE(events.front().front().value<std::uint32_t>(), 0x12345678u);
        Click(loop3, Qt::RightButton);
        QCOMPARE(Selected(), loop3);
        QTRY_VERIFY(popup_->isVisible());
        QCOMPARE(VisibleItems(),
                 QStringList({QStringLiteral("Сброс ШС"), QStringLiteral("-- Выключить ШС"),
                              QStringLiteral("+ Включить ШС"), QString(),
                              QStringLiteral("События устройства")}));
        const TRemoteCommand& command = device_->remote_command;
        QCOMPARE(static_cast<int>(e.line[2].state_node.menu_mask), LINE_MENU);
        QCOMPARE(static_cast<std::uint32_t>(command.device_id), 0x12345678u);
        QCOMPARE(static_cast<int>(command.address), 10);
        QCOMPARE(static_cast<int>(command.index), 2);
        popup_->findChild<QAction*>(QStringLiteral("PM_LineOn"))->trigger();
        popup_->hide();
        QVERIFY(command.pending);
        QCOMPARE(static_cast<int>(command.command), int{REMOTE_LINE_STATE});
        QCOMPARE(static_cast<int>(command.length), 3);
        QCOMPARE(static_cast<int>(command.payload[0]), 2);
        QCOMPARE(static_cast<int>(command.payload[1]), 0);
        QCOMPARE(static_cast<int>(command.payload[2]), 1);
        QVERIFY(app_.questions.empty()); // switching protection on goes out at once
        // While it waits for the bus, a right click on another loop offers no command.
        Click(loop3 - 3, Qt::RightButton);
        QCOMPARE(Selected(), loop3 - 3);
        QTRY_VERIFY(popup_->isVisible());
        QCOMPARE(VisibleItems(), QStringList({QStringLiteral("События устройства")}));
        popup_->hide();
        QCOMPARE(static_cast<int>(command.index), 2);
        QCOMPARE(parts_->Logged("Предыдущая команда ещё не обработана"), 1);
    }

    void groupsShowTheirGravestLoopAndAStoppedServiceGreysEverything() {
        TDeviceEntry& e = Add(0x11, 1, 3, 0);
        e.line[1].state = 6; // "Пожар"
        Rebuild();
        TMessageStyle fire;
        std::string text;
        parts_->record->GetRecordMessage(LINE_STATE, MakeRecordValue(1, 0, 6), false, fire, text);
        const QColor red = StyleColor(fire.bg_color);
        // Nothing expanded: the alarm shows on the device line and on its loops' group.
        QVERIFY(!view_->isExpanded(Node(0)));
        QCOMPARE(Node(0).data(Qt::BackgroundRole).value<QColor>(), red);
        QCOMPARE(Node(Find(QStringLiteral("ШС (3)"))).data(Qt::BackgroundRole).value<QColor>(),
                 red);
        QVERIFY(Node(FindPrefix(QStringLiteral("Питание:"))).data(Qt::BackgroundRole) !=
                QVariant(red));

        ui_->SetStale(true);
        for (int id = 0; id < ui_->Model().NodeCount(); ++id) {
            QCOMPARE(Node(id).data(Qt::ForegroundRole).value<QColor>(), StyleColor(0x808080));
            QCOMPARE(Node(id).data(Qt::BackgroundRole).value<QColor>(), QColor(Qt::white));
        }
        ui_->SetStale(false);
        QCOMPARE(Node(0).data(Qt::BackgroundRole).value<QColor>(), red);
    }

    void commandsThatSwitchProtectionOffAskFirst() {
        Add(0x12345678, 10, 4, 0b1011);
        Rebuild();
        view_->expandAll();
        const int loop3 = FindPrefix(QStringLiteral("ШС3 "));
        const TRemoteCommand& command = device_->remote_command;
        QAction* off = popup_->findChild<QAction*>(QStringLiteral("PM_LineOff"));
        Click(loop3, Qt::RightButton);
        QTRY_VERIFY(popup_->isVisible());
        off->trigger();
        popup_->hide();
        QCOMPARE(app_.questions,
                 std::vector<std::string>{"Выключить ШС3 устройства «12345678» (адрес 10)?"});
        QVERIFY(!command.pending);
        QCOMPARE(parts_->Logged("Команда \"-- Выключить ШС\" не отправлена"), 1);

        app_.answer = true;
        Click(loop3, Qt::RightButton);
        QTRY_VERIFY(popup_->isVisible());
        off->trigger();
        popup_->hide();
        QVERIFY(command.pending);
        QCOMPARE(static_cast<int>(command.command), int{REMOTE_LINE_STATE});
        QCOMPARE(static_cast<int>(command.payload[0]), 2);
        QCOMPARE(static_cast<int>(command.payload[2]), 0);
        QCOMPARE(app_.questions.size(), std::size_t{2});
    }

    void stopEmptiesTheViewAndEndsTheThread() {
        Add(0x11, 1, 1, 0);
        Rebuild();
        ui_->Stop();
        QCOMPARE(ui_->Model().NodeCount(), 0);
        ui_->TreeViewUpdate();
        QTest::qWait(50);
        QCOMPARE(ui_->Model().NodeCount(), 0);
    }
};

QTEST_MAIN(TestDeviceTreeView)
#include "test_device_tree_view.moc"
