#pragma once

// The operator's audit trail on Qt: the tab "Журнал действий", newest row first. Pages are read
// on a thread of the view's own, so the GUI thread never waits for the database, however long
// the trail; scrolling to the end reads the next older page.

#include <QAbstractTableModel>
#include <QObject>
#include <QTableView>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "database/audit_row.h"

class TLog;
class TSQLite;

class TAuditModel final : public QAbstractTableModel {
    Q_OBJECT

public:
    static constexpr int COLUMN_COUNT = 6;

    using QAbstractTableModel::QAbstractTableModel;

    // The newest page: rows above the first one shown are put on top; a page that does not
    // reach the first row shown (another database, or more new rows than a page) replaces all.
    void SetNewest(std::vector<TAuditRow> rows);
    // An older page read for the end of the list; `complete`: nothing older is left.
    void AddOlder(std::vector<TAuditRow> rows, bool complete);
    const std::vector<TAuditRow>& Rows() const { return rows_; }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

signals:
    // The view reached the end: the rows older than `before_id` are wanted.
    void olderWanted(qint64 before_id);

private:
    std::vector<TAuditRow> rows_;
    bool complete_ = true;
    bool fetching_ = false;
};

// Binds the trail to its table view. Refresh may be called from any thread; the rest runs on
// the GUI thread. The view's thread is joined when the object goes, before the database does.
class TAuditViewUi final : public QObject {
    Q_OBJECT

public:
    static constexpr int PAGE_ROWS = 200;

    // `log` may be null; `sqlite` outlives the object.
    TAuditViewUi(QTableView* view, TLog* log, TSQLite& sqlite, QObject* parent = nullptr);
    ~TAuditViewUi() override;
    TAuditViewUi(const TAuditViewUi&) = delete;
    TAuditViewUi& operator=(const TAuditViewUi&) = delete;

    // Reads the newest page again (a row was stored, the database changed).
    void Refresh();
    TAuditModel& Model() { return model_; }

private:
    // 0: the newest page; otherwise the page older than that row.
    void Request(std::int64_t before_id);
    void ThreadFunction();

    TAuditModel model_;
    TLog* log_;
    TSQLite& sqlite_;
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool quit_ = false;
    bool newest_wanted_ = false;
    std::optional<std::int64_t> older_wanted_;
};
