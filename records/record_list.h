#pragma once

// The paged record list: the newest records first, one page at a time, filtered by the records
// mask, or by a filter of a device, a period and types that the window sets. A request never waits
// for the database: a load thread reads the page into a buffer of its own and hands it to the row
// cache under a short lock; a timer on the GUI thread turns the cache into the rows shown, at most
// once per tick.

#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/settings.h"
#include "common/style.h"
#include "database/event_record.h"
#include "database/record_filter.h"
#include "records/record_types.h"

class TLog;
class TRecord;
class TSQLite;
class TTimer;

constexpr int RECORD_LIST_INTERVAL_MS = 250;

// Captions of the field menu items, in field order; the message field cannot be hidden.
constexpr std::array<std::string_view, RECORD_FIELD_COUNT> RECORD_FIELD_MENU_CAPTIONS = {
    "ID", "Device ID", "Дата / Время", "Адрес", "Имя", "Описание", "Тип", "Сообщение",
};

// What the GUI shows after a fill: the shown fields with their widths, then the rows' cell
// texts (UTF-8, row after row, one per shown field) and each row's style.
struct TRecordListPage {
    std::vector<int> fields;
    std::vector<int> widths;
    std::vector<std::string> cells;
    std::vector<TMessageStyle> styles;

    int RowCount() const { return static_cast<int>(styles.size()); }
    const std::string& Cell(int row, int column) const {
        return cells[static_cast<std::size_t>(row) * fields.size() +
                     static_cast<std::size_t>(column)];
    }
};

struct TPageButtons {
    bool first = false;
    bool prior = false;
    bool next = false;
    bool last = false;

    friend bool operator==(const TPageButtons&, const TPageButtons&) = default;
};

enum class TPageButton { First, Prior, Next, Last };

// Where the page shown stands among the listed records ("стр. k из n"): page 1 is the newest.
// All zero while the list is switched off.
struct TListPosition {
    int count = 0; // the records listed
    int page = 0;
    int pages = 0;

    friend bool operator==(const TListPosition&, const TListPosition&) = default;
};

// The record list control as the list sees it. Called on the GUI thread only.
class TRecordListView {
public:
    virtual ~TRecordListView() = default;

    // A field is shown while its menu item is checked, with the width the settings keep.
    virtual bool FieldShown(int field) const = 0;
    virtual int FieldWidth(int field) const = 0;

    // Replaces columns and rows in one step, with painting held until it is done.
    virtual void ShowPage(const TRecordListPage& page) = 0;
    virtual void SetPageButtons(const TPageButtons& buttons) = 0;
    virtual void ShowPosition(const TListPosition& position) = 0;
};

// The offset a paging button moves to from offset O with page size P and C listed records.
// The last page starts P records before the oldest one, so it is negative when C < P.
int NewPageOffset(TPageButton button, int offset, int page_size, int count);
// Which paging buttons may be pressed at offset O.
TPageButtons PageButtonsAt(int offset, int page_size, int count);
// The page at offset O. Paging back from the last page leaves offsets between whole pages: a
// page counts as the next one once it starts past a page boundary.
TListPosition ListPositionAt(int offset, int page_size, int count);

class TRecordList {
public:
    // `timer` (owned) runs TimerListViewTimer on the GUI thread. The list must be destroyed
    // before the record object, the database and the view; it joins its load threads.
    TRecordList(TLog* log, const TRecord& record, TSQLite& sqlite, const TSettings& settings,
                TRecordListView& view, std::unique_ptr<TTimer> timer);
    ~TRecordList();
    TRecordList(const TRecordList&) = delete;
    TRecordList& operator=(const TRecordList&) = delete;

    // Any thread: asks for the page at the current offset and returns once its load thread
    // runs; does nothing while the list is switched off.
    void ListViewUpdate();

    // --- GUI thread.
    // Switches the list on or off (the service start and stop).
    void SetTimer(bool on);
    // Shows the cached page again without reading the database (after a field toggle).
    void ListViewRedraw();
    void PageButtonsUpdate();
    void TimerListViewTimer();
    // A paging button: moves the page and requests it when the offset changes.
    void PageButtonClick(TPageButton button);
    // Lists the records the filter selects from now on, from the newest page; the default
    // filter lists what the list always has. A filter the database would refuse is logged and
    // not taken (false).
    bool SetFilter(const TRecordFilter& filter);
    // The operator switched a field through a menu item with this caption; the message field
    // cannot be hidden.
    void FieldToggled(int field, bool shown, std::string_view caption);
    // The filter the list pages through; only the GUI thread sets it.
    const TRecordFilter& GetFilter() const { return filter_; }

    int GetPageOffset() const { return page_offset_.load(std::memory_order_relaxed); }
    void SetPageOffset(int offset) { page_offset_.store(offset, std::memory_order_relaxed); }
    // The records per page: the ShowLines setting within SHOW_LINES_MIN..SHOW_LINES_MAX.
    int PageSize() const;

    int GetThreadsCount() const;
    int GetThreadsMaxCount() const;
    // Rows in the cache.
    int GetRowsCount() const;

private:
    struct TWorker {
        std::thread thread;
        bool done = false; // under threads_lock_
    };

    void RecordThreadFunction(TWorker* self, TRecordFilter filter, int offset, int count,
                              std::uint64_t request);
    // Joins the load threads that have ended; all of them when `all`.
    void JoinWorkers(bool all);
    // Copies the cache for a fill and lowers rows_ready; false when no page waits.
    bool TakeCache();
    TRecordListPage MakePage();
    // The records the paging buttons go by: without a filter the database's count of the
    // masked records, at once; with one, the count read with the page shown.
    int ListedCount() const;
    void ArmTimer(int interval_ms);

    TLog* log_;
    const TRecord& record_;
    TSQLite& sqlite_;
    const TSettings& settings_;
    TRecordListView& view_;
    std::unique_ptr<TTimer> timer_;

    // GUI thread only.
    std::unique_ptr<std::array<TRecordRow, SHOW_LINES_MAX>> fill_rows_;
    int fill_count_ = 0;
    int fill_total_ = 0;

    std::atomic<int> page_offset_{0};
    // Whether requests load pages. Kept apart from the timer, which the fill stops for a moment:
    // a request that came during a fill must not be dropped.
    std::atomic<bool> switched_on_{false};

    std::mutex request_lock_; // one ListViewUpdate at a time
    std::uint64_t requests_ = 0;
    // Set on the GUI thread under request_lock_, which the requests read it under.
    TRecordFilter filter_;

    mutable std::mutex threads_lock_;
    int ThreadsCount = 0;
    int ThreadsMaxCount = 0;
    bool stopping_ = false;
    std::list<TWorker> workers_;

    // The row cache. A load replaces it only with a newer request's page, so a slow load of an
    // old offset cannot overwrite the page the operator moved to.
    mutable std::mutex cache_lock_;
    std::unique_ptr<std::array<TRecordRow, SHOW_LINES_MAX>> rows_;
    int rows_count_ = 0;
    int rows_total_ = 0; // what the filter selects, read with the page
    bool rows_ready_ = false;
    std::uint64_t rows_request_ = 0;
};
