#pragma once

// The main window's side of the settings file: what the file holds moves into the controls at
// the start and back out at every save, and a change of the layout saves it after a while.

#include <QRect>

#include <array>
#include <functional>
#include <string>

#include "records/record_types.h"

class QMainWindow;
class QTimer;
class QWidget;
class TF_Setup;
class TMainParts;
struct TMainWindowWidgets;
struct TSettingsFileValues;

// The delayed save: every change starts the wait anew, and the settings are saved once the
// changes have stopped for DelayMs. A move or a resize of the window counts only while the
// window is active and enabled, and not the first one, which is the window settling.
class TSaveDelay final {
public:
    static constexpr int DelayMs = 10000;

    // `save` writes the settings file; `parts` give the log.
    TSaveDelay(QWidget& window, const TMainParts& parts, std::function<void()> save);

    void Start();
    void Stop();
    // The wait is over.
    void Expire();
    void Moved();
    void Resized();
    QTimer* GetTimer() const { return timer_; }

private:
    // The copy of the geometry each handler compares with, and whether it saw a change yet.
    struct TGeometryWatch {
        QRect last;
        bool seen = false;
    };

    void GeometryChanged(TGeometryWatch& watch, const char* name);

    QWidget& window_;
    const TMainParts& parts_;
    std::function<void()> save_;
    QTimer* timer_;
    TGeometryWatch resize_watch_;
    TGeometryWatch move_watch_;
};

// The settings file's values in the window's controls: the geometry, the View ticks and the
// panes they show, the record fields' columns, and the settings dialog's Setup section. It keeps
// the sizes the file holds for a pane or a field while it is hidden.
class TMainWindowSettings final {
public:
    TMainWindowSettings(QMainWindow& window, const TMainWindowWidgets& widgets,
                        const TMainParts& parts, TSaveDelay& save_delay);

    // Reads the file into the controls, and the dialog's when there is one; `default_db_file`
    // when the file names no database.
    void Load(const std::string& path, const std::string& default_db_file, TF_Setup* setup);
    // False when the file could not be written. The last normal geometry stays in the file while
    // the window is maximised or minimised.
    bool Save(const std::string& path, const TF_Setup* setup);
    // The View ticks onto the panes, which get their kept sizes back; `save` starts the delayed
    // save.
    void ShowPanelsUpdate(bool save);
    // The width of a record field's column: loaded from and saved to the file, taken back from
    // the shown columns at every save.
    int GetFieldWidth(int field) const;
    void SetFieldWidth(int field, int width);

private:
    void Apply(const TSettingsFileValues& values, TF_Setup* setup);
    TSettingsFileValues Collect(const TF_Setup* setup);
    int TreeViewWidth() const;
    int RichEditHeight() const;
    int LogTabBarHeight() const;

    QMainWindow& window_;
    const TMainWindowWidgets& widgets_;
    const TMainParts& parts_;
    TSaveDelay& save_delay_;
    std::array<int, RECORD_FIELD_COUNT> field_widths_{};
    int tree_view_width_ = 0;
    int rich_edit_height_ = 0;
};
