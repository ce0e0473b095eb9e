#pragma once

// The active alarms' panel on its own: the alarms of a device table without a bus, the tab it
// is one of, the status bar's count and the two commands, over the parts of views_fixture.h.
// The operator's comments are given in turn; none left: the prompt is cancelled.

#include <QAction>
#include <QLabel>
#include <QTabWidget>
#include <QTableView>

#include <cstdio>
#include <deque>
#include <memory>

#include "buslink/kordeya32.h"
#include "device/active_alarms.h"
#include "device/device.h"
#include "ui/active_alarms_view.h"
#include "views_fixture.h"

struct AlarmsPanel {
    AlarmsPanel() {
        tabs.addTab(new QWidget, QStringLiteral("Журнал программы"));
        tabs.addTab(view, QString::fromUtf8(TActiveAlarmsUi::TAB_CAPTION));
        TActiveAlarmsControls controls;
        controls.view = view;
        controls.show_tabs = [this] {
            ++tabs_shown;
            tabs.show();
        };
        controls.tabs = &tabs;
        controls.count_panel = &count;
        controls.acknowledge = &acknowledge;
        controls.acknowledge_all = &acknowledge_all;
        controls.ask_comment = [this](QString& comment) {
            if (comments.empty()) {
                return false;
            }
            comment = comments.front();
            comments.pop_front();
            return true;
        };
        controls.operator_name = [] { return std::string("Иванова"); };
        ui = std::make_unique<TActiveAlarmsUi>(controls, parts.log.get(), alarms);
        TActiveAlarms::THooks hooks;
        hooks.changed = [view = ui.get()] { view->Refresh(); };
        alarms.SetHooks(hooks);
        tabs.resize(900, 400);
    }
    ~AlarmsPanel() {
        ui.reset();
        alarms.SetHooks({});
    }

    // A panel of `lines` loops, online and read in full, on mains, every loop normal.
    TDeviceEntry& AddPanel(std::uint32_t device_id, int address, int lines) {
        TDeviceRecord r{};
        r.device_id = device_id;
        r.address = address;
        std::snprintf(r.const_name, sizeof r.const_name, "ППКОП-%d", address);
        r.lines = static_cast<std::uint16_t>(lines);
        TDeviceEntry& e = *device.GetItem(device.AddDevice(r));
        e.online = true;
        e.info_complete = true;
        e.lines_read = true;
        e.power = 1; // mains on
        return e;
    }

    // The row of `key` in the model, or -1.
    int RowOf(const TAlarmKey& key) const {
        const TActiveAlarmsModel& model = ui->Model();
        for (int row = 0; row < model.rowCount(); ++row) {
            if (model.Row(row)->key == key) {
                return row;
            }
        }
        return -1;
    }

    ViewParts parts;
    NoViews views;
    TKordeya32 port{""};
    TDevice device{parts.log.get(), *parts.record, *parts.sqlite, views, port, parts.settings};
    TActiveAlarms alarms{parts.log.get(), *parts.record, *parts.sqlite};
    QTabWidget tabs;
    QTableView* view = new QTableView;
    QLabel count;
    QAction acknowledge;
    QAction acknowledge_all;
    std::deque<QString> comments;
    int tabs_shown = 0;
    std::unique_ptr<TActiveAlarmsUi> ui;
};
