#include "ui/audit_view.h"

#include "database/sqlite.h"
#include "log/log.h"
#include "records/cell_text.h"
#include "ui/table_cell.h"

#include <QHeaderView>
#include <QMetaObject>

#include <algorithm>
#include <system_error>

namespace {

const char* const COLUMN_CAPTIONS[TAuditModel::COLUMN_COUNT] = {
    "Время", "Оператор", "Действие", "Объект", "Подробности", "Результат"};

} // namespace

void TAuditModel::SetNewest(std::vector<TAuditRow> rows) {
    const auto first =
        rows_.empty() ? rows.end()
                      : std::find_if(rows.begin(), rows.end(), [this](const TAuditRow& r) {
                            return r.id == rows_.front().id && r.utime == rows_.front().utime &&
                                   r.action == rows_.front().action;
                        });
    if (first == rows.end()) {
        beginResetModel();
        complete_ = rows.size() < static_cast<std::size_t>(TAuditViewUi::PAGE_ROWS);
        rows_ = std::move(rows);
        fetching_ = false;
        endResetModel();
        return;
    }
    const int added = static_cast<int>(first - rows.begin());
    if (added == 0) {
        return;
    }
    beginInsertRows(QModelIndex(), 0, added - 1);
    rows_.insert(rows_.begin(), std::make_move_iterator(rows.begin()),
                 std::make_move_iterator(first));
    endInsertRows();
}

void TAuditModel::AddOlder(std::vector<TAuditRow> rows, bool complete) {
    fetching_ = false;
    // Only rows older than the last one shown: a reset in between may have moved the end.
    const std::int64_t last = rows_.empty() ? 0 : rows_.back().id;
    std::erase_if(rows, [last](const TAuditRow& r) { return last != 0 && r.id >= last; });
    complete_ = complete;
    if (rows.empty()) {
        return;
    }
    const int from = static_cast<int>(rows_.size());
    beginInsertRows(QModelIndex(), from, from + static_cast<int>(rows.size()) - 1);
    rows_.insert(rows_.end(), std::make_move_iterator(rows.begin()),
                 std::make_move_iterator(rows.end()));
    endInsertRows();
}

int TAuditModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TAuditModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : COLUMN_COUNT;
}

QVariant TAuditModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= COLUMN_COUNT) {
        return {};
    }
    const TAuditRow& row = rows_[static_cast<std::size_t>(index.row())];
    if (role == Qt::ToolTipRole && index.column() == 4) {
        return OneLineCell(row.detail);
    }
    if (role != Qt::DisplayRole) {
        return {};
    }
    switch (index.column()) {
    case 0:
        return QString::fromStdString(LocalTimeText(static_cast<std::time_t>(row.utime)));
    case 1:
        return OneLineCell(row.user);
    case 2:
        return OneLineCell(row.action);
    case 3:
        return OneLineCell(row.target);
    case 4:
        return OneLineCell(row.detail);
    default:
        return OneLineCell(row.outcome);
    }
}

QVariant TAuditModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= COLUMN_COUNT) {
        return {};
    }
    return QString::fromUtf8(COLUMN_CAPTIONS[section]);
}

bool TAuditModel::canFetchMore(const QModelIndex& parent) const {
    return !parent.isValid() && !complete_ && !fetching_ && !rows_.empty();
}

void TAuditModel::fetchMore(const QModelIndex& parent) {
    if (!canFetchMore(parent)) {
        return;
    }
    fetching_ = true;
    emit olderWanted(rows_.back().id);
}

TAuditViewUi::TAuditViewUi(QTableView* view, TLog* log, TSQLite& sqlite, QObject* parent)
    : QObject(parent), log_(log), sqlite_(sqlite) {
    view->setModel(&model_);
    view->horizontalHeader()->setStretchLastSection(true);
    connect(&model_, &TAuditModel::olderWanted, this,
            [this](qint64 before_id) { Request(before_id); });
    Refresh();
}

TAuditViewUi::~TAuditViewUi() {
    {
        std::lock_guard lock(lock_);
        quit_ = true;
        changed_.notify_all();
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

void TAuditViewUi::Refresh() {
    Request(0);
}

void TAuditViewUi::Request(std::int64_t before_id) {
    std::lock_guard lock(lock_);
    if (before_id == 0) {
        newest_wanted_ = true;
    } else {
        older_wanted_ = before_id;
    }
    changed_.notify_all();
    if (thread_.joinable() || quit_) {
        return;
    }
    try {
        thread_ = std::thread(&TAuditViewUi::ThreadFunction, this);
    } catch (const std::system_error& e) {
        TLog::Addf(log_, LOG_TYPE_ERROR, "TAuditViewUi: %s", e.what());
    }
}

void TAuditViewUi::ThreadFunction() {
    std::unique_lock lock(lock_);
    for (;;) {
        changed_.wait(lock, [this] { return quit_ || newest_wanted_ || older_wanted_; });
        if (quit_) {
            return;
        }
        const std::int64_t before_id = newest_wanted_ ? 0 : *older_wanted_;
        if (newest_wanted_) {
            newest_wanted_ = false;
        } else {
            older_wanted_.reset();
        }
        lock.unlock();
        std::vector<TAuditRow> rows;
        // A closed database has no trail to show yet: no error for that.
        const bool read = sqlite_.IsActive() && sqlite_.SelectAudit(before_id, PAGE_ROWS, rows);
        const bool complete = rows.size() < static_cast<std::size_t>(PAGE_ROWS);
        // Queued on this object: dropped with it when it goes first.
        QMetaObject::invokeMethod(
            this,
            [this, rows = std::move(rows), before_id, read, complete]() mutable {
                if (before_id == 0) {
                    if (read) {
                        model_.SetNewest(std::move(rows));
                    }
                } else {
                    model_.AddOlder(std::move(rows), complete || !read);
                }
            },
            Qt::QueuedConnection);
        lock.lock();
    }
}
