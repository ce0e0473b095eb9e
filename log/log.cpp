#include "log/log.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "common/program_path.h"

namespace {

struct TLevel {
    const char* label;
    TMessageStyle style;
};

constexpr std::uint32_t black = MakeColor(0, 0, 0);
constexpr std::uint32_t white = MakeColor(255, 255, 255);
constexpr std::uint32_t grey = MakeColor(128, 128, 128);
constexpr std::uint32_t red = MakeColor(255, 0, 0);

constexpr TLevel levels[] = {
    {"     ", {black, white, false, false, false, false}},
    {"Debug", {grey, white, false, false, false, false}},
    {"Event", {black, white, false, false, false, false}},
    {"Error", {red, white, false, false, false, false}},
    {"Fatal", {white, red, true, false, false, false}},
};

const TLevel& Level(std::uint8_t level) {
    return levels[level <= LOG_TYPE_FATAL ? level : std::uint8_t{LOG_TYPE_ERROR}];
}

std::tm LocalTime(std::time_t time) {
    std::tm tm{};
    if (::localtime_r(&time, &tm) == nullptr) {
        tm = std::tm{};
    }
    return tm;
}

int OpenForAppend(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

// Cuts the file back to `size`: a half line left by a full disk would run into the next one.
void CutBack(int fd, off_t size) {
    while (::ftruncate(fd, size) != 0 && errno == EINTR) {
    }
}

// The stamp, the label and the blanks around it take 28 characters; the text gets the rest.
constexpr std::size_t prefix_length = 28;
constexpr std::size_t body_capacity = TLog::TextSize - 1 - prefix_length;

// Follows the number of lines the queue or the file had to skip.
constexpr std::string_view skipped_text = " строк журнала пропущено";

} // namespace

char TLog::PatternSeparator(const char* pattern, char fallback) {
    for (const char* p = pattern; p != nullptr && *p != '\0'; ++p) {
        if (*p == '%') {
            while (p[1] != '\0' && std::strchr("EO-_0^#", p[1]) != nullptr) {
                ++p;
            }
            if (p[1] != '\0') {
                ++p;
            }
        } else if (static_cast<unsigned char>(*p) > 32) {
            return *p;
        }
    }
    return fallback;
}

const char* LogLabel(std::uint8_t level) {
    return Level(level).label;
}

TMessageStyle LogStyle(std::uint8_t level) {
    return Level(level).style;
}

TLog::TLog(TLogPane* pane, std::unique_ptr<TTimer> timer, std::string path, TClock clock)
    : pane_(pane), timer_(std::move(timer)), path_(std::move(path)), clock_(std::move(clock)),
      skipped_text_(Utf8ToCp1251(skipped_text)),
      queue_(std::make_unique<std::array<TLogItem, QueueSize>>()) {
    if (!clock_) {
        clock_ = [] { return std::time(nullptr); };
    }
    date_separator_ = PatternSeparator(::nl_langinfo(D_FMT), '/');
    time_separator_ = PatternSeparator(::nl_langinfo(T_FMT), ':');
    if (pane_ != nullptr) {
        pane_->Clear();
    }
    if (timer_) {
        timer_->SetEnabled(false);
        timer_->SetInterval(FlushIntervalMs);
        timer_->SetHandler([this] { Flush(); });
    }
}

TLog::~TLog() {
    int pos = 0;
    int max_pos = 0;
    {
        std::lock_guard lock(queue_lock_);
        pos = QueuePos;
        max_pos = QueueMaxPos;
    }
    Addf(this, LOG_TYPE_DEBUG, "%s, QueuePos(before wait): %d, QueueMaxPos: %d", "TLog::~TLog", pos,
         max_pos);
    if (GetQueuePos() > 0) {
        Flush();
    }
    if (timer_) {
        timer_->SetEnabled(false);
        timer_.reset();
    }
}

std::string TLog::DefaultPath() {
    return ProgramPath() + ".log";
}

std::string TLog::RotatedPath(const std::string& path, std::string_view stamp14) {
    constexpr std::string_view extension = ".log";
    const std::string_view base =
        std::string_view(path).ends_with(extension)
            ? std::string_view(path).substr(0, path.size() - extension.size())
            : std::string_view(path);
    return fmt::format("{}.{}{}", base, stamp14, extension);
}

void TLog::Add(std::string_view text, std::uint8_t level) {
    if (!Wants(level)) {
        return;
    }
    // Convert outside the lock: it is the costly part.
    char body[TextSize];
    const std::size_t body_length = Utf8ToCp1251(TrimRightView(text), body, body_capacity);
    // A zero byte would end the line early; keep the rest of it.
    std::replace(body, body + body_length, '\0', ' ');

    std::lock_guard lock(queue_lock_);
    if (QueuePos < QueueLimit) {
        FillItem(Slot(QueuePos), level, body, body_length);
        ++QueuePos;
    } else {
        ++queue_skipped_;
    }
    QueueMaxPos = std::max(QueueMaxPos, QueuePos);
}

TLogItem& TLog::Slot(int pos) {
    return (*queue_)[static_cast<std::size_t>((queue_head_ + pos) % QueueSize)];
}

void TLog::FillItem(TLogItem& item, std::uint8_t level, const char* body, std::size_t body_length) {
    const TLevel& shown = Level(level);
    std::memset(item.text, 0, sizeof item.text);
    const std::time_t now = clock_();
    if (now != stamp_time_) {
        const std::tm tm = LocalTime(now);
        const auto result = fmt::format_to_n(
            stamp_, sizeof stamp_ - 1, "{:02}{}{:02}{}{:04} {:02}{}{:02}{}{:02}", tm.tm_mday,
            date_separator_, tm.tm_mon + 1, date_separator_, tm.tm_year + 1900, tm.tm_hour,
            time_separator_, tm.tm_min, time_separator_, tm.tm_sec);
        *result.out = '\0';
        stamp_time_ = now;
    }
    std::size_t length = 0;
    const auto put = [&](const char* part, std::size_t size) {
        size = std::min(size, static_cast<std::size_t>(TextSize - 1) - length);
        std::memcpy(item.text + length, part, size);
        length += size;
    };
    put(stamp_, std::strlen(stamp_));
    put("  ", 2);
    put(shown.label, std::strlen(shown.label));
    put("  ", 2);
    put(body, body_length);
    // The text came trimmed, so only an empty one leaves blanks at the end: the label's.
    // Blanks where a long text was cut stay, as the cut comes after the trim.
    if (body_length == 0) {
        const std::size_t kept = TrimRightView(std::string_view(item.text, length)).size();
        std::memset(item.text + kept, 0, length - kept);
    }
    item.style = shown.style;
}

void TLog::FillSkippedItem(TLogItem& item, std::uint64_t skipped) {
    char body[TextSize];
    const auto result =
        fmt::format_to_n(body, body_capacity, "{}{}", skipped, std::string_view(skipped_text_));
    FillItem(item, LOG_TYPE_ERROR, body, result.size);
}

void TLog::SetTimer(bool on) {
    Addf(this, LOG_TYPE_DEBUG, "%s, %d", "TLog::SetTimer", on ? 1 : 0);
    timer_on_ = on;
    if (timer_) {
        timer_->SetEnabled(on);
    }
}

int TLog::GetQueuePos() const {
    std::lock_guard lock(queue_lock_);
    return QueuePos;
}

int TLog::GetQueueMaxPos() const {
    std::lock_guard lock(queue_lock_);
    return QueueMaxPos;
}

bool TLog::PeekOldest(TLogItem& item) const {
    std::lock_guard lock(queue_lock_);
    if (QueuePos == 0) {
        return false;
    }
    item = (*queue_)[static_cast<std::size_t>(queue_head_)];
    return true;
}

void TLog::RemoveOldest() {
    std::lock_guard lock(queue_lock_);
    if (QueuePos > 0) {
        queue_head_ = (queue_head_ + 1) % QueueSize;
        --QueuePos;
    }
    // The first room after an overflow takes the count of the dropped lines, in the place where
    // they are missing: lines added later queue behind it.
    if (queue_skipped_ > 0 && QueuePos < QueueLimit) {
        FillSkippedItem(Slot(QueuePos), queue_skipped_);
        ++QueuePos;
        queue_skipped_ = 0;
    }
}

void TLog::Flush() {
    if (timer_) {
        timer_->SetEnabled(false);
    }
    const bool waiting = GetQueuePos() > 0;
    const bool suspended = waiting && pane_ != nullptr && pane_->Exists();
    if (suspended) {
        pane_->BeginUpdate();
    }
    bool removed = false;
    TLogItem item;
    while ((pane_ == nullptr || pane_->Exists()) && PeekOldest(item)) {
        // Once the file takes lines again, the count of those it missed goes where they are
        // missing, and into the pane at the same place.
        if (file_skipped_ > 0) {
            TLogItem skipped;
            {
                std::lock_guard lock(queue_lock_);
                FillSkippedItem(skipped, file_skipped_);
            }
            if (WriteFileLine(skipped)) {
                file_skipped_ = 0;
                ShowInPane(skipped, removed);
            }
        }
        // Where the count did not fit, the line behind it is skipped too.
        if (file_skipped_ > 0 || !WriteFileLine(item)) {
            ++file_skipped_;
        }
        ShowInPane(item, removed);
        RemoveOldest();
    }
    if (suspended) {
        pane_->EndUpdate();
    }
    if ((waiting || removed) && pane_ != nullptr && pane_->Exists()) {
        pane_->ScrollToEnd();
    }
    if (timer_ && timer_on_) {
        timer_->SetEnabled(true);
    }
}

void TLog::ShowInPane(const TLogItem& item, bool& removed) {
    if (pane_ == nullptr) {
        return;
    }
    pane_->AppendLine(Cp1251ToUtf8(std::string_view(item.text, ::strnlen(item.text, TextSize))),
                      item.style);
    // Counted down from the pane's own figure, so a pane that fails to delete cannot hold the
    // GUI thread here.
    for (int extra = pane_->LineCount() - PaneMaxLines; extra > 0; --extra) {
        pane_->DeleteFirstLine();
        removed = true;
    }
}

bool TLog::WriteFileLine(const TLogItem& item) {
    int fd = OpenForAppend(path_);
    struct stat st {};
    bool sized = fd >= 0 && ::fstat(fd, &st) == 0;
    if (sized && st.st_size > RotateSize) {
        ::close(fd);
        Rotate();
        // After a rotation this creates the fresh file; after a failed one it reopens the old
        // file, whose content is kept.
        fd = OpenForAppend(path_);
        sized = fd >= 0 && ::fstat(fd, &st) == 0;
    }
    if (fd < 0) {
        FileFailed(errno);
        return false;
    }
    // One write per line, so the line lands in the file whole.
    const std::size_t length = ::strnlen(item.text, TextSize);
    char line[TextSize + 2];
    std::memcpy(line, item.text, length);
    line[length] = '\r';
    line[length + 1] = '\n';
    std::size_t done = 0;
    int error = 0;
    while (done < length + 2 && error == 0) {
        const ssize_t written = ::write(fd, line + done, length + 2 - done);
        if (written > 0) {
            done += static_cast<std::size_t>(written);
        } else if (written == 0 || errno != EINTR) {
            // A write that takes nothing leaves no reason: the disk has no room for it.
            error = written == 0 ? ENOSPC : errno;
        }
    }
    if (error != 0 && sized) {
        CutBack(fd, st.st_size);
    }
    ::close(fd);
    if (error != 0) {
        FileFailed(error);
        return false;
    }
    if (file_failure_reported_) {
        file_failure_reported_ = false;
        Addf(this, LOG_TYPE_INFO, "Запись в файл лога %s возобновлена", path_);
    }
    return true;
}

void TLog::FileFailed(int error) {
    // Shown once, in the pane, until the file takes a line again: the file itself cannot take
    // it, and a line per line would bury the pane.
    if (!file_failure_reported_) {
        file_failure_reported_ = true;
        Addf(this, LOG_TYPE_ERROR, "Ошибка записи в файл лога %s: %s", path_,
             GetLastErrorText(error));
    }
}

void TLog::Rotate() {
    const std::tm tm = LocalTime(clock_());
    const std::string stamp =
        fmt::format("{:04}{:02}{:02}{:02}{:02}{:02}", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                    tm.tm_hour, tm.tm_min, tm.tm_sec);
    const std::string target = RotatedPath(path_, stamp);
    // An older rotated file of the same second must not be overwritten.
    int error = EEXIST;
    if (::access(target.c_str(), F_OK) != 0) {
        if (::rename(path_.c_str(), target.c_str()) == 0) {
            rotate_failure_reported_ = false;
            return;
        }
        error = errno;
    }
    // Reported once until a rotation succeeds: the next lines would fail the same way.
    if (!rotate_failure_reported_) {
        rotate_failure_reported_ = true;
        Addf(this, LOG_TYPE_ERROR, "%s, %s -> %s: %s", "TLog::Rotate", path_, target,
             GetLastErrorText(error));
    }
}
