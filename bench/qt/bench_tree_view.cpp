// What the GUI thread spends on the largest device tree (64 panels of 256 loops and 128 relays,
// 91,264 nodes): a heartbeat timer of 1 ms measures the longest stall of the event loop while
// rebuilt trees are swapped in, with expansion put back and the view painted. Run on the
// offscreen platform; prints the median and the largest stall of each case.

#include <QApplication>
#include <QElapsedTimer>
#include <QMenu>
#include <QTimer>
#include <QTreeView>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "buslink/kordeya32.h"
#include "full_tree.h"
#include "qt/heartbeat.h"
#include "ui/app_control_qt.h"
#include "ui/device_tree_view.h"
#include "views_fixture.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ViewParts parts;
    parts.log->IsLogDebug = false;
    NoViews views;
    TKordeya32 port("");
    TDevice device(parts.log.get(), *parts.record, *parts.sqlite, views, port, parts.settings);
    FillFullTable(device);

    QTreeView view;
    view.resize(420, 700);
    QMenu popup;
    TQtAppControl app_control(&view, QStringLiteral("bench_tree_view"));
    TDeviceTreeUi ui(&view, &popup, parts.log.get(), device, *parts.record, app_control);
    view.show();
    int swaps = 0;
    QObject::connect(&ui.Model(), &QAbstractItemModel::modelReset, [&] { ++swaps; });
    // The swap proper: from the model's reset to the end of the event that does it (the
    // expansion put back and the layout included, the paint not).
    QElapsedTimer swap_clock;
    double swap_ms = 0;
    QObject::connect(&ui.Model(), &QAbstractItemModel::modelAboutToBeReset, [&] {
        swap_clock.start();
        QTimer::singleShot(0,
                           [&] { swap_ms = static_cast<double>(swap_clock.nsecsElapsed()) / 1e6; });
    });
    Heartbeat heartbeat;

    // One refresh: a request, the rebuild on the tree thread, the swap and the paint after it.
    const auto refresh = [&] {
        const int before = swaps;
        heartbeat.Reset();
        ui.TreeViewUpdate();
        while (swaps == before) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        }
        // Let the repaint that follows the swap happen inside the measured span.
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < 30) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        }
        return std::make_pair(heartbeat.Longest(), swap_ms);
    };
    const auto shown_rows = [&] {
        int rows = 0;
        for (QModelIndex i = ui.Model().index(0, 0); i.isValid(); i = view.indexBelow(i)) {
            ++rows;
        }
        return rows;
    };
    const auto run = [&](const char* name, int rounds) {
        std::vector<double> stalls;
        std::vector<double> swaps_ms;
        for (int i = 0; i < rounds; ++i) {
            const auto [stall, swap] = refresh();
            stalls.push_back(stall);
            swaps_ms.push_back(swap);
        }
        std::sort(stalls.begin(), stalls.end());
        std::sort(swaps_ms.begin(), swaps_ms.end());
        std::printf("%-42s rows shown %6d  swap median %5.1f max %5.1f ms  stall median %5.1f "
                    "max %5.1f ms\n",
                    name, shown_rows(), swaps_ms[swaps_ms.size() / 2], swaps_ms.back(),
                    stalls[stalls.size() / 2], stalls.back());
    };

    // What the event loop stalls for anyway on this machine, with no tree work at all.
    heartbeat.Reset();
    QElapsedTimer idle;
    idle.start();
    while (idle.elapsed() < 1000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    std::printf("idle event loop: longest stall %.1f ms\n", heartbeat.Longest());
    // The first two swaps show everything collapsed; later ones put expansion back.
    refresh();
    refresh();
    std::printf("tree of %d nodes\n", ui.Model().NodeCount());
    run("collapsed", 15);
    for (int d = 0; d < ui.Model().rowCount(); ++d) {
        const QModelIndex device_index = ui.Model().index(d, 0);
        view.expand(device_index);
        for (int g = 0; g < ui.Model().rowCount(device_index); ++g) {
            view.expand(ui.Model().index(g, 0, device_index));
        }
    }
    run("devices and their groups open (192 nodes)", 15);
    view.expandAll();
    run("everything open (24,832 nodes)", 15);
    ui.Stop();
    return 0;
}
