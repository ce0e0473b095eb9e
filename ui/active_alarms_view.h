#pragma once

// The active alarms on Qt: the tab "Активные тревоги" under the lists, its two commands
// "Квитировать" and "Квитировать все", and the count of unacknowledged alarms in the status
// bar. A refresh swaps in the snapshot the bus thread built; acknowledgements are written on a
// thread of the view's own, so the GUI thread never waits for the database.

#include <QAbstractTableModel>
#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/active_alarms.h"

class QAction;
class QLabel;
class QTabWidget;
class QTableView;
class TLog;

class TActiveAlarmsModel final : public QAbstractTableModel {
    Q_OBJECT

public:
    static constexpr int COLUMN_COUNT = 7;
    // The state column, drawn in the catalogue's colours.
    static constexpr int STATE_COLUMN = 4;

    using QAbstractTableModel::QAbstractTableModel;

    void SetSnapshot(std::shared_ptr<const TAlarmSnapshot> snapshot);
    const TAlarmSnapshot& Snapshot() const { return *snapshot_; }
    const TAlarmRow* Row(int row) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    std::shared_ptr<const TAlarmSnapshot> snapshot_ = std::make_shared<const TAlarmSnapshot>();
};

// What the panel is given; every pointer is required and outlives it.
struct TActiveAlarmsControls {
    // One of `tabs`: its caption carries the count, and a new alarm brings it forward.
    QTableView* view = nullptr;
    QTabWidget* tabs = nullptr;
    // Shows the tabs when the operator has hidden them; a new alarm calls it.
    std::function<void()> show_tabs;
    QLabel* count_panel = nullptr;
    QAction* acknowledge = nullptr;
    QAction* acknowledge_all = nullptr;
    // The operator's comment, asked before an acknowledgement; false: the operator cancelled.
    std::function<bool(QString& comment)> ask_comment;
    // Who acknowledges: the operator's name from the settings or the user the program runs as.
    std::function<std::string()> operator_name;
};

class TActiveAlarmsUi final : public QObject {
    Q_OBJECT

public:
    static constexpr const char* TAB_CAPTION = "Активные тревоги";

    // `log` may be null; `alarms` outlives the object.
    TActiveAlarmsUi(const TActiveAlarmsControls& controls, TLog* log, TActiveAlarms& alarms,
                    QObject* parent = nullptr);
    ~TActiveAlarmsUi() override;
    TActiveAlarmsUi(const TActiveAlarmsUi&) = delete;
    TActiveAlarmsUi& operator=(const TActiveAlarmsUi&) = delete;

    // The alarms changed: any thread; requests made before the GUI thread takes one up merge.
    void Refresh();
    // The commands, as their actions run them.
    void AcknowledgeSelected();
    void AcknowledgeAll();

    TActiveAlarmsModel& Model() { return model_; }
    // Acknowledgements asked for and not yet written (tests wait for none).
    int Pending() const;

private:
    // On the GUI thread: the snapshot in, the selection, caption and count put back.
    void RefreshNow();
    void ShowCount(int unacknowledged);
    void Enqueue(std::function<void()> work);
    void ThreadFunction();

    TActiveAlarmsControls controls_;
    TLog* log_;
    TActiveAlarms& alarms_;
    TActiveAlarmsModel model_;
    std::atomic<bool> refresh_pending_{false};
    int shown_unacknowledged_ = 0;

    std::thread thread_;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> work_;
    int running_ = 0;
    bool quit_ = false;
};
