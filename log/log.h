#pragma once

// The application log: one call, TLog::Add, from any thread; a GUI-thread flush appends the
// waiting lines to the log file (Windows-1251, CR LF) and to the log pane. A file that cannot
// be written (not opened, or a full disk) is reported once, in the pane, and written again as
// soon as it takes a line. No line is lost unsaid: the lines a full queue drops, and those the
// file misses, are counted, and "N строк журнала пропущено" stands where they are missing.
//
// A null log does nothing. Calling a member through a null pointer is undefined, so code that
// may hold a null log calls the static forms: TLog::Add(log, text, level) and
// TLog::Addf(log, level, format, args...).

#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "common/text.h"
#include "common/timer.h"
#include "log/log_pane.h"

enum TLogType : std::uint8_t {
    LOG_TYPE_INFO = 0,
    LOG_TYPE_DEBUG = 1,
    LOG_TYPE_EVENT = 2,
    LOG_TYPE_ERROR = 3,
    LOG_TYPE_FATAL = 4,
};

// The five-character label a level writes into its lines ("     ", "Debug", "Event", "Error",
// "Fatal") and its pane style. A level above 4 is shown as LOG_TYPE_ERROR.
const char* LogLabel(std::uint8_t level);
TMessageStyle LogStyle(std::uint8_t level);

// One queued line: Windows-1251 text of at most 1023 characters, zero-terminated, the rest of
// the field zero; the style copied from the level when the line was added.
struct TLogItem {
    char text[1024];
    TMessageStyle style;
};

class TLog {
public:
    static constexpr int QueueSize = 300;
    static constexpr int QueueLimit = QueueSize - 1; // lines that may wait; the next is dropped
    static constexpr int TextSize = 1024;
    static constexpr int PaneMaxLines = 500;
    static constexpr long long RotateSize = 10485760; // a bigger file is rotated before a line
    static constexpr int FlushIntervalMs = 100;

    using TClock = std::function<std::time_t()>;

    // `pane` may be null: then lines go to the file only. `timer` (owned) calls Flush every
    // 100 ms once SetTimer(true) is called; null means Flush runs only when called. The file
    // is `path`, by default the program's path plus ".log". `clock` gives the time of lines
    // and of rotation names (default: the system clock).
    explicit TLog(TLogPane* pane, std::unique_ptr<TTimer> timer = nullptr,
                  std::string path = DefaultPath(), TClock clock = nullptr);
    ~TLog();
    TLog(const TLog&) = delete;
    TLog& operator=(const TLog&) = delete;

    // The program's path plus ".log".
    static std::string DefaultPath();
    // "dir/ktev.log" -> "dir/ktev.<stamp>.log"; a path without ".log" gets ".<stamp>.log".
    static std::string RotatedPath(const std::string& path, std::string_view stamp14);

    // The first separator of a locale date or time pattern ("%d.%m.%Y" gives '.'), or
    // `fallback` when it has none. The stamp takes its separators from LC_TIME this way.
    static char PatternSeparator(const char* pattern, char fallback);

    // Queues a line; never blocks on the disk or the window and never fails towards the caller.
    void Add(std::string_view text, std::uint8_t level);
    static void Add(TLog* log, std::string_view text, std::uint8_t level) {
        if (log != nullptr) {
            log->Add(text, level);
        }
    }

    // Formats with SafeSprintf and adds the line; a format that fails adds the format itself.
    // Debug lines are not even formatted while the debug flag is off.
    template <typename... Args>
    static void Addf(TLog* log, std::uint8_t level, std::string_view format, const Args&... args) {
        if (log == nullptr || !log->Wants(level)) {
            return;
        }
        std::string text;
        if (SafeSprintf(text, format, args...)) {
            log->Add(text, level);
        } else {
            log->Add(format, level);
        }
    }

    // Starts or stops the flush timer.
    void SetTimer(bool on);

    // GUI thread only: writes every waiting line to the file and the pane, oldest first.
    void Flush();

    int GetQueuePos() const;
    int GetQueueMaxPos() const;
    const std::string& GetPath() const { return path_; }

    // While off, LOG_TYPE_DEBUG lines are dropped at the call. The IsLogDebug setting lives here.
    std::atomic<bool> IsLogDebug{false};

private:
    bool Wants(std::uint8_t level) const {
        return level != LOG_TYPE_DEBUG || IsLogDebug.load(std::memory_order_relaxed);
    }
    // The slot `pos` places behind the oldest line; the caller holds queue_lock_.
    TLogItem& Slot(int pos);
    // Stamps and styles a line; the caller holds queue_lock_, which guards the stamp.
    void FillItem(TLogItem& item, std::uint8_t level, const char* body, std::size_t body_length);
    // "N строк журнала пропущено" as an error line; the caller holds queue_lock_.
    void FillSkippedItem(TLogItem& item, std::uint64_t skipped);
    bool PeekOldest(TLogItem& item) const;
    // Also places the count of dropped lines in the room it makes.
    void RemoveOldest();
    void ShowInPane(const TLogItem& item, bool& removed);
    // False when the file missed the line (it could not be opened, or the disk refused it).
    bool WriteFileLine(const TLogItem& item);
    void FileFailed(int error);
    void Rotate();

    TLogPane* pane_;
    std::unique_ptr<TTimer> timer_;
    std::string path_;
    TClock clock_;
    bool timer_on_ = false;
    bool rotate_failure_reported_ = false;
    bool file_failure_reported_ = false; // GUI thread only, as is every file write
    std::uint64_t file_skipped_ = 0;     // lines the file missed since it last took one
    std::string skipped_text_;           // the count's text behind the number, Windows-1251

    // Guards the queue and its counters; Add holds it only to stamp and copy one slot.
    mutable std::mutex queue_lock_;
    int QueuePos = 0;
    int QueueMaxPos = 0;
    int queue_head_ = 0;              // the queue is a ring: the oldest line is at queue_head_
    std::uint64_t queue_skipped_ = 0; // lines dropped by the full queue, not yet counted in it
    std::unique_ptr<std::array<TLogItem, QueueSize>> queue_;
    std::time_t stamp_time_ = -1;
    char stamp_[24] = {};
    char date_separator_ = '/';
    char time_separator_ = ':';
};
