// What the GUI thread spends on a refresh of 1,000 active alarms (4 panels of 250 loops, every
// loop in alarm), with a tenth of the rows selected so that the selection is put back each time:
// a heartbeat timer of 1 ms measures the longest stall of the event loop while one loop changes
// and the rebuilt list is swapped in and painted. Also the bus thread's share: the scan of the
// panel that changed, with the new snapshot built. Run on the offscreen platform.

#include <QApplication>
#include <QElapsedTimer>
#include <QItemSelectionModel>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "alarms_fixture.h"
#include "buslink/state_codes.h"
#include "qt/heartbeat.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    AlarmsPanel f;
    f.parts.log->IsLogDebug = false;
    constexpr int Panels = 4;
    constexpr int Loops = 250;
    std::vector<TDeviceEntry*> panels;
    for (int d = 0; d < Panels; ++d) {
        TDeviceEntry& panel = f.AddPanel(0x00010001u + static_cast<std::uint32_t>(d), d + 1, Loops);
        for (int n = 0; n < Loops; ++n) {
            panel.line[n].state = n % 2 == 0 ? statecode::LOOP_FIRE : statecode::LOOP_FAULT;
        }
        f.alarms.Scan(panel);
        panels.push_back(&panel);
    }
    f.tabs.resize(1400, 500);
    f.tabs.show();
    int swaps = 0;
    QObject::connect(&f.ui->Model(), &QAbstractItemModel::modelReset, [&] { ++swaps; });
    const auto wait_for_swap = [&](int before) {
        while (swaps == before) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        }
    };
    wait_for_swap(0);
    std::printf("active alarms: %d rows\n", f.ui->Model().rowCount());
    for (int row = 0; row < f.ui->Model().rowCount(); row += 10) {
        f.view->selectionModel()->select(f.ui->Model().index(row, 0),
                                         QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    Heartbeat heartbeat;
    std::vector<double> stalls;
    std::vector<double> scans;
    for (int i = 0; i < 30; ++i) {
        TDeviceEntry& panel = *panels[static_cast<std::size_t>(i) % panels.size()];
        TLineEntry& loop = panel.line[i % Loops];
        loop.state =
            loop.state == statecode::LOOP_FIRE ? statecode::LOOP_ATTENTION : statecode::LOOP_FIRE;
        const int before = swaps;
        heartbeat.Reset();
        QElapsedTimer scan;
        scan.start();
        f.alarms.Scan(panel);
        scans.push_back(static_cast<double>(scan.nsecsElapsed()) / 1e6);
        heartbeat.Reset();
        wait_for_swap(before);
        // The repaint that follows the swap falls inside the measured span.
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < 30) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        }
        stalls.push_back(heartbeat.Longest());
    }
    std::sort(stalls.begin(), stalls.end());
    std::sort(scans.begin(), scans.end());
    std::printf("refresh of %d rows, %d selected: GUI stall median %.1f max %.1f ms; bus-thread "
                "scan median %.2f max %.2f ms (30 refreshes)\n",
                f.ui->Model().rowCount(),
                static_cast<int>(f.view->selectionModel()->selectedRows().size()),
                stalls[stalls.size() / 2], stalls.back(), scans[scans.size() / 2], scans.back());
    return 0;
}
