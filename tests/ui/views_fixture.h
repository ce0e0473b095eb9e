#pragma once

// The parts under the record list and the device tree, without the main window: a log that
// keeps its lines, the current settings, the shipped catalogue, a database in a temporary
// folder, and a window side that ignores the device service's requests.

#include <QTemporaryDir>

#include <memory>
#include <string>
#include <vector>

#include "database/sqlite.h"
#include "device/device_views.h"
#include "log/log.h"
#include "records/record.h"
#include "ui/settings/current_settings.h"

class LinesPane : public TLogPane {
public:
    bool Exists() const override { return true; }
    void BeginUpdate() override {}
    void EndUpdate() override {}
    void AppendLine(std::string_view text, const TMessageStyle&) override {
        lines.emplace_back(text);
    }
    int LineCount() const override { return static_cast<int>(lines.size()); }
    void DeleteFirstLine() override { lines.erase(lines.begin()); }
    void ScrollToEnd() override {}
    void Clear() override { lines.clear(); }

    std::vector<std::string> lines;
};

class NoViews : public TDeviceViews {
public:
    void StatusBarUpdate() override {}
    void TreeViewUpdate() override {}
    void ListViewUpdate() override {}
    void RecordListSetTimer(bool) override {}
    void FileNew() override {}
};

struct ViewParts {
    ViewParts() {
        log->IsLogDebug = true;
        settings.SetShowLines(50);
        TRecordLinks links;
        links.log = log.get();
        links.catalogue_dir = KTEV_SOURCE_DIR;
        links.sqlite = sqlite.get();
        record = std::make_unique<TRecord>(links);
        sqlite->Init(dir.filePath("test.db").toStdString());
    }
    ~ViewParts() { sqlite->Close(); }

    // How many logged lines hold `text`.
    int Logged(const std::string& text) {
        log->Flush();
        int count = 0;
        for (const std::string& line : pane.lines) {
            count += line.find(text) != std::string::npos ? 1 : 0;
        }
        return count;
    }

    QTemporaryDir dir;
    LinesPane pane;
    std::unique_ptr<TLog> log =
        std::make_unique<TLog>(&pane, nullptr, dir.filePath("test.log").toStdString());
    TCurrentSettings settings;
    std::unique_ptr<TSQLite> sqlite = std::make_unique<TSQLite>(log.get(), settings);
    std::unique_ptr<TRecord> record;
};
