#include "records/record_list.h"

#include <algorithm>
#include <span>
#include <system_error>

#include "common/text.h"
#include "common/timer.h"
#include "database/sqlite.h"
#include "log/log.h"
#include "records/cell_text.h"
#include "records/record.h"

int NewPageOffset(TPageButton button, int offset, int page_size, int count) {
    switch (button) {
    case TPageButton::First:
        return 0;
    case TPageButton::Prior:
        return std::max(offset - page_size, 0);
    case TPageButton::Next:
        return std::min(offset + page_size, count - page_size);
    case TPageButton::Last:
        return count - page_size;
    }
    return offset;
}

TPageButtons PageButtonsAt(int offset, int page_size, int count) {
    const bool back = offset != 0;
    const bool forward = offset + page_size != count;
    return {back, back, forward, forward};
}

TListPosition ListPositionAt(int offset, int page_size, int count) {
    TListPosition position;
    position.count = std::max(count, 0);
    if (page_size <= 0) {
        return position;
    }
    position.pages = std::max((position.count + page_size - 1) / page_size, 1);
    const int from_newest = offset <= 0 ? 1 : (offset + page_size - 1) / page_size + 1;
    position.page = std::min(from_newest, position.pages);
    return position;
}

TRecordList::TRecordList(TLog* log, const TRecord& record, TSQLite& sqlite,
                         const TSettings& settings, TRecordListView& view,
                         std::unique_ptr<TTimer> timer)
    : log_(log), record_(record), sqlite_(sqlite), settings_(settings), view_(view),
      timer_(std::move(timer)),
      fill_rows_(std::make_unique<std::array<TRecordRow, SHOW_LINES_MAX>>()),
      rows_(std::make_unique<std::array<TRecordRow, SHOW_LINES_MAX>>()) {
    timer_->SetEnabled(false);
    timer_->SetInterval(RECORD_LIST_INTERVAL_MS);
    timer_->SetHandler([this] { TimerListViewTimer(); });
}

TRecordList::~TRecordList() {
    {
        std::lock_guard lock(threads_lock_);
        TLog::Addf(log_, LOG_TYPE_DEBUG, "%s, ThreadsCount: %d, ThreadsMaxCount: %d",
                   "TRecord::~TRecord", ThreadsCount, ThreadsMaxCount);
        stopping_ = true;
    }
    timer_->SetEnabled(false);
    timer_->SetHandler(nullptr);
    // Taken so that no request is half-way through starting a thread.
    std::lock_guard request(request_lock_);
    JoinWorkers(true);
}

int TRecordList::PageSize() const {
    return std::clamp(settings_.GetShowLines(), SHOW_LINES_MIN, SHOW_LINES_MAX);
}

void TRecordList::ListViewUpdate() {
    std::lock_guard request(request_lock_);
    TLog::Add(log_, "TRecord::ListViewUpdate", LOG_TYPE_DEBUG);
    if (!switched_on_.load(std::memory_order_acquire)) {
        return;
    }
    JoinWorkers(false);
    const int offset = GetPageOffset();
    const int count = PageSize();
    const std::uint64_t request_number = ++requests_;
    std::lock_guard lock(threads_lock_);
    if (stopping_) {
        return;
    }
    TWorker& worker = workers_.emplace_back();
    try {
        // The worker waits for threads_lock_ before it touches its entry.
        worker.thread = std::thread(&TRecordList::RecordThreadFunction, this, &worker, filter_,
                                    offset, count, request_number);
    } catch (const std::system_error& e) {
        workers_.pop_back();
        TLog::Add(log_, GetLastErrorText(e.code().value()), LOG_TYPE_FATAL);
    }
}

void TRecordList::RecordThreadFunction(TWorker* self, TRecordFilter filter, int offset, int count,
                                       std::uint64_t request) {
    TLog::Add(log_, "+ RecordThreadFunction", LOG_TYPE_DEBUG);
    {
        std::lock_guard lock(threads_lock_);
        ++ThreadsCount;
        ThreadsMaxCount = std::max(ThreadsMaxCount, ThreadsCount);
    }
    // A page of the load's own: the cache changes only once the read is complete.
    auto page = std::make_unique<std::array<TRecordRow, SHOW_LINES_MAX>>();
    int read = count;
    std::int64_t total = 0;
    // The default filter's count is the database's own; no load need add it up.
    const bool counted = filter == TRecordFilter{};
    if (sqlite_.SelectRecords(filter, offset, read, std::span<TRecordRow>(*page),
                              counted ? nullptr : &total)) {
        std::lock_guard lock(cache_lock_);
        if (request > rows_request_) {
            std::copy_n(page->begin(), read, rows_->begin());
            rows_count_ = read;
            rows_total_ = static_cast<int>(std::min<std::int64_t>(total, INT32_MAX));
            rows_request_ = request;
            rows_ready_ = true;
        }
    }
    {
        std::lock_guard lock(threads_lock_);
        --ThreadsCount;
    }
    TLog::Add(log_, "- RecordThreadFunction", LOG_TYPE_DEBUG);
    std::lock_guard lock(threads_lock_);
    self->done = true;
}

void TRecordList::JoinWorkers(bool all) {
    std::list<TWorker> ended;
    {
        std::lock_guard lock(threads_lock_);
        for (auto it = workers_.begin(); it != workers_.end();) {
            const auto next = std::next(it);
            if (all || it->done) {
                ended.splice(ended.end(), workers_, it);
            }
            it = next;
        }
    }
    for (TWorker& worker : ended) {
        worker.thread.join();
    }
}

void TRecordList::SetTimer(bool on) {
    TLog::Addf(log_, LOG_TYPE_DEBUG, "%s, %d", "TRecord::SetTimer", on ? 1 : 0);
    switched_on_.store(on, std::memory_order_release);
    timer_->SetEnabled(on);
    if (on) {
        PageButtonsUpdate();
    } else {
        view_.SetPageButtons(TPageButtons{});
        view_.ShowPosition(TListPosition{});
    }
}

void TRecordList::ListViewRedraw() {
    {
        std::lock_guard lock(cache_lock_);
        if (rows_count_ <= 0) {
            return;
        }
        rows_ready_ = true;
    }
    // A redraw runs the timer, and with it the list, also while the list was switched off.
    switched_on_.store(true, std::memory_order_release);
    ArmTimer(1);
}

void TRecordList::ArmTimer(int interval_ms) {
    timer_->SetEnabled(false);
    timer_->SetInterval(interval_ms);
    timer_->SetEnabled(true);
}

void TRecordList::PageButtonsUpdate() {
    const int listed = ListedCount();
    view_.SetPageButtons(PageButtonsAt(GetPageOffset(), PageSize(), listed));
    view_.ShowPosition(ListPositionAt(GetPageOffset(), PageSize(), listed));
}

int TRecordList::ListedCount() const {
    if (filter_ != TRecordFilter{}) {
        return fill_total_;
    }
    return sqlite_.IsActive() ? sqlite_.GetRecordsMaskCount() : 0;
}

bool TRecordList::TakeCache() {
    std::lock_guard lock(cache_lock_);
    if (!rows_ready_) {
        return false;
    }
    // Lowered together with the copy: a load that lands after it raises the flag again and is
    // shown at the next tick.
    rows_ready_ = false;
    fill_count_ = rows_count_;
    fill_total_ = rows_total_;
    std::copy_n(rows_->begin(), fill_count_, fill_rows_->begin());
    return true;
}

void TRecordList::TimerListViewTimer() {
    timer_->SetEnabled(false);
    if (TakeCache()) {
        view_.ShowPage(MakePage());
        PageButtonsUpdate();
    }
    ArmTimer(RECORD_LIST_INTERVAL_MS);
}

TRecordListPage TRecordList::MakePage() {
    TRecordListPage page;
    for (int i = 0; i < RECORD_FIELD_COUNT; ++i) {
        if (i == RECORD_FIELD_MESSAGE || view_.FieldShown(i)) {
            page.fields.push_back(i);
            page.widths.push_back(view_.FieldWidth(i));
        }
    }
    page.cells.reserve(static_cast<std::size_t>(fill_count_) * page.fields.size());
    page.styles.resize(static_cast<std::size_t>(fill_count_));
    for (int r = 0; r < fill_count_; ++r) {
        const TRecordRow& row = (*fill_rows_)[static_cast<std::size_t>(r)];
        TMessageStyle& style = page.styles[static_cast<std::size_t>(r)];
        for (const int field : page.fields) {
            page.cells.push_back(RecordFieldText(record_, row, field, style));
        }
    }
    return page;
}

void TRecordList::PageButtonClick(TPageButton button) {
    const int offset = GetPageOffset();
    const int next = NewPageOffset(button, offset, PageSize(), ListedCount());
    if (next != offset) {
        SetPageOffset(next);
        ListViewUpdate();
    }
}

bool TRecordList::SetFilter(const TRecordFilter& filter) {
    const std::string refused = RecordFilterError(filter);
    if (!refused.empty()) {
        TLog::Add(log_, refused, LOG_TYPE_ERROR);
        return false;
    }
    {
        std::lock_guard request(request_lock_);
        filter_ = filter;
    }
    // Until the filter's first page comes, nothing to page through.
    fill_total_ = 0;
    SetPageOffset(0);
    ListViewUpdate();
    return true;
}

void TRecordList::FieldToggled(int field, bool shown, std::string_view caption) {
    if (field < 0 || field >= RECORD_FIELD_COUNT || field == RECORD_FIELD_MESSAGE) {
        return;
    }
    TLog::Addf(log_, LOG_TYPE_INFO, "Поле записей \"%s\" - %s", caption,
               shown ? FIELD_SWITCHED_ON : FIELD_SWITCHED_OFF);
    ListViewRedraw();
}

int TRecordList::GetThreadsCount() const {
    std::lock_guard lock(threads_lock_);
    return ThreadsCount;
}

int TRecordList::GetThreadsMaxCount() const {
    std::lock_guard lock(threads_lock_);
    return ThreadsMaxCount;
}

int TRecordList::GetRowsCount() const {
    std::lock_guard lock(cache_lock_);
    return rows_count_;
}
