#include "log/log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/fake_log_pane.h"
#include "support/temp_dir.h"
#include "support/tiny_disk.h"

namespace {

// 12/03/2018 09:45:01 local time, the moment every test line is stamped with.
std::time_t TestTime() {
    std::tm tm{};
    tm.tm_year = 2018 - 1900;
    tm.tm_mon = 2;
    tm.tm_mday = 12;
    tm.tm_hour = 9;
    tm.tm_min = 45;
    tm.tm_sec = 1;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

constexpr const char* stamp = "12/03/2018 09:45:01";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream data;
    data << in.rdbuf();
    return data.str();
}

std::vector<std::string> FileLines(const std::string& path) {
    const std::string data = ReadFile(path);
    std::vector<std::string> lines;
    std::size_t begin = 0;
    for (std::size_t end; (end = data.find("\r\n", begin)) != std::string::npos; begin = end + 2) {
        lines.push_back(data.substr(begin, end - begin));
    }
    EXPECT_EQ(begin, data.size()) << "every line ends with CR LF";
    return lines;
}

class LogTest : public ::testing::Test {
protected:
    std::unique_ptr<TLog> MakeLog(TLogPane* pane) {
        auto timer = std::make_unique<FakeTimer>();
        timer_ = timer.get();
        return std::make_unique<TLog>(pane, std::move(timer), path_, [] { return TestTime(); });
    }

    TempDir dir_;
    std::string path_ = dir_.file("ktev.log");
    FakeLogPane pane_;
    FakeTimer* timer_ = nullptr;
};

TEST(LogLevels, LabelsAndStyles) {
    for (std::uint8_t level = 0; level <= 4; ++level) {
        EXPECT_EQ(std::string(LogLabel(level)).size(), 5u);
    }
    EXPECT_STREQ(LogLabel(LOG_TYPE_INFO), "     ");
    EXPECT_STREQ(LogLabel(LOG_TYPE_DEBUG), "Debug");
    EXPECT_STREQ(LogLabel(LOG_TYPE_EVENT), "Event");
    EXPECT_STREQ(LogLabel(LOG_TYPE_ERROR), "Error");
    EXPECT_STREQ(LogLabel(LOG_TYPE_FATAL), "Fatal");

    const TMessageStyle fatal = LogStyle(LOG_TYPE_FATAL);
    EXPECT_EQ(fatal.font_color, 0xFFFFFFu);
    EXPECT_EQ(fatal.bg_color, 0x0000FFu); // red in the low byte
    EXPECT_TRUE(fatal.is_bold);
    const TMessageStyle error = LogStyle(LOG_TYPE_ERROR);
    EXPECT_EQ(error.font_color, 0x0000FFu);
    EXPECT_EQ(error.bg_color, 0xFFFFFFu);
    EXPECT_FALSE(error.is_bold);
    EXPECT_EQ(LogStyle(LOG_TYPE_DEBUG).font_color, 0x808080u);
    EXPECT_EQ(LogStyle(LOG_TYPE_INFO).font_color, 0u);

    // A level the log does not know is shown as an error rather than read out of range.
    EXPECT_STREQ(LogLabel(200), "Error");
}

TEST(LogPaths, RotatedNameKeepsFolderAndExtension) {
    EXPECT_EQ(TLog::RotatedPath("/opt/ktev/ktev.log", "20180312094501"),
              "/opt/ktev/ktev.20180312094501.log");
    EXPECT_EQ(TLog::RotatedPath("/tmp/x", "20180312094501"), "/tmp/x.20180312094501.log");
    EXPECT_TRUE(TLog::DefaultPath().ends_with("/ktev_core_tests.log"));
}

TEST(LogNull, NullLogDoesNothing) {
    TLog* log = nullptr;
    TLog::Add(log, "text", LOG_TYPE_FATAL);
    TLog::Addf(log, LOG_TYPE_ERROR, "%s %d", "x", 1);
}

TEST_F(LogTest, LineLayoutInFileAndPane) {
    auto log = MakeLog(&pane_);
    log->Add("Файл не задан", LOG_TYPE_ERROR);
    log->Add("----- Запуск приложения -----", LOG_TYPE_INFO);
    log->Add("", LOG_TYPE_INFO);
    log->Add("  tail blanks and line end \r\n", LOG_TYPE_EVENT);
    log->Add("first\nsecond", LOG_TYPE_FATAL);
    EXPECT_EQ(log->GetQueuePos(), 5);
    EXPECT_TRUE(FileLines(path_).empty()) << "nothing reaches the file before a flush";
    log->Flush();
    EXPECT_EQ(log->GetQueuePos(), 0);

    const std::string s = stamp;
    const std::vector<std::string> expected = {
        s + "  Error  Файл не задан",
        s + "         ----- Запуск приложения -----",
        s, // an empty info line is the bare stamp
        s + "  Event    tail blanks and line end",
        s + "  Fatal  first\nsecond",
    };
    ASSERT_EQ(pane_.lines.size(), expected.size());
    std::vector<std::string> file = FileLines(path_);
    ASSERT_EQ(file.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(pane_.lines[i].text, expected[i]);
        EXPECT_EQ(file[i], Utf8ToCp1251(expected[i])) << "the file is Windows-1251";
    }
    EXPECT_EQ(pane_.lines[0].style.font_color, 0x0000FFu);
    EXPECT_EQ(pane_.lines[4].style.bg_color, 0x0000FFu);
    EXPECT_TRUE(pane_.lines[4].style.is_bold);
}

TEST_F(LogTest, DebugLinesFollowTheFlag) {
    auto log = MakeLog(&pane_);
    log->Add("dropped", LOG_TYPE_DEBUG);
    TLog::Addf(log.get(), LOG_TYPE_DEBUG, "%s, %d", "TDevice::SetService", 1);
    EXPECT_EQ(log->GetQueuePos(), 0);

    log->IsLogDebug = true;
    TLog::Addf(log.get(), LOG_TYPE_DEBUG, "%s, %d", "TDevice::SetService", 1);
    log->Add("", LOG_TYPE_DEBUG);
    EXPECT_EQ(log->GetQueuePos(), 2);
    log->Flush();
    ASSERT_EQ(pane_.lines.size(), 2u);
    EXPECT_EQ(pane_.lines[0].text, std::string(stamp) + "  Debug  TDevice::SetService, 1");
    EXPECT_EQ(pane_.lines[0].style.font_color, 0x808080u);
    EXPECT_EQ(pane_.lines[1].text, std::string(stamp) + "  Debug");
}

TEST_F(LogTest, FormatThatFailsAddsTheFormatItself) {
    auto log = MakeLog(&pane_);
    TLog::Addf(log.get(), LOG_TYPE_ERROR, "%d items", "not a number");
    log->Flush();
    ASSERT_EQ(pane_.lines.size(), 1u);
    EXPECT_EQ(pane_.lines[0].text, std::string(stamp) + "  Error  %d items");
}

TEST_F(LogTest, LongTextsAreCutTo1023Characters) {
    auto log = MakeLog(&pane_);
    log->Add(std::string(5000, 'a'), LOG_TYPE_INFO);
    std::string cyrillic;
    for (int i = 0; i < 3000; ++i) {
        cyrillic += "Ж";
    }
    log->Add(cyrillic, LOG_TYPE_INFO);
    // The cut may fall where the text has blanks; they stay, being inside the text.
    log->Add(std::string(990, 'b') + std::string(100, ' ') + "end", LOG_TYPE_INFO);
    log->Flush();

    const std::vector<std::string> file = FileLines(path_);
    ASSERT_EQ(file.size(), 3u);
    for (const std::string& line : file) {
        EXPECT_EQ(line.size(), 1023u);
    }
    EXPECT_EQ(file[0], std::string(stamp) + "         " + std::string(995, 'a'));
    EXPECT_EQ(file[1].back(), '\xC6') << "Windows-1251 Ж";
    EXPECT_EQ(Utf8Length(pane_.lines[1].text), 1023u);
    EXPECT_TRUE(pane_.lines[1].text.ends_with("Ж")) << "no UTF-8 sequence is split";
    EXPECT_EQ(file[2].back(), ' ');
}

TEST_F(LogTest, OddTextsNeverBreakALine) {
    auto log = MakeLog(&pane_);
    log->Add(std::string("a\0b", 3), LOG_TYPE_INFO);
    log->Add("\xFF\xFE broken, 中, 😀", LOG_TYPE_INFO);
    log->Add("\x01\x02\x1F", LOG_TYPE_ERROR); // only control characters: trimmed away
    log->Flush();
    ASSERT_EQ(pane_.lines.size(), 3u);
    EXPECT_EQ(pane_.lines[0].text, std::string(stamp) + "         a b");
    EXPECT_EQ(pane_.lines[1].text, std::string(stamp) + "         ?? broken, ?, ?");
    EXPECT_EQ(pane_.lines[2].text, std::string(stamp) + "  Error");
}

// A full queue drops lines, but not silently: their number takes the first place that frees,
// so it stands in the pane and the file where they are missing.
TEST_F(LogTest, QueueHoldsAtMost299LinesAndCountsWhatItDrops) {
    auto log = MakeLog(&pane_);
    for (int i = 0; i < 299; ++i) {
        log->Add("line " + std::to_string(i), LOG_TYPE_INFO);
    }
    EXPECT_EQ(log->GetQueuePos(), 299);
    log->Add("dropped", LOG_TYPE_FATAL);
    log->Add("dropped too", LOG_TYPE_INFO);
    EXPECT_EQ(log->GetQueuePos(), 299);
    EXPECT_EQ(log->GetQueueMaxPos(), 299);

    log->Flush();
    EXPECT_EQ(log->GetQueuePos(), 0);
    EXPECT_EQ(log->GetQueueMaxPos(), 299);
    ASSERT_EQ(pane_.lines.size(), 300u);
    EXPECT_TRUE(pane_.lines.front().text.ends_with("line 0"));
    EXPECT_TRUE(pane_.lines[298].text.ends_with("line 298"));
    const std::string skipped = std::string(stamp) + "  Error  2 строк журнала пропущено";
    EXPECT_EQ(pane_.lines.back().text, skipped);
    EXPECT_EQ(FileLines(path_).back(), Utf8ToCp1251(skipped));

    // The ring keeps its order after wrapping around, and the count starts again.
    for (int i = 0; i < 150; ++i) {
        log->Add("again " + std::to_string(i), LOG_TYPE_INFO);
    }
    log->Flush();
    EXPECT_TRUE(pane_.lines.back().text.ends_with("again 149"));
    EXPECT_EQ(FileLines(path_).size(), 450u);
}

TEST_F(LogTest, PaneKeepsTheLast500Lines) {
    auto log = MakeLog(&pane_);
    for (int i = 0; i < 501; ++i) {
        log->Add("line " + std::to_string(i), LOG_TYPE_INFO);
        if (log->GetQueuePos() == 200) {
            log->Flush();
        }
    }
    const int scrolls_before = pane_.scrolls;
    log->Flush();
    EXPECT_EQ(pane_.LineCount(), 500);
    EXPECT_TRUE(pane_.lines.front().text.ends_with("line 1"));
    EXPECT_TRUE(pane_.lines.back().text.ends_with("line 500"));
    EXPECT_EQ(pane_.scrolls, scrolls_before + 1) << "one scroll per batch";
    EXPECT_EQ(pane_.begin_updates, pane_.end_updates);
    EXPECT_EQ(pane_.begin_updates, 3) << "painting suspended once per batch";

    log->Flush(); // nothing waiting: no batch, no scroll
    EXPECT_EQ(pane_.begin_updates, 3);
    EXPECT_EQ(pane_.scrolls, scrolls_before + 1);
}

TEST_F(LogTest, PaneThatCannotDeleteDoesNotHangTheFlush) {
    pane_.deletes_lines = false;
    auto log = MakeLog(&pane_);
    for (int i = 0; i < 600; ++i) {
        log->Add("x", LOG_TYPE_INFO);
        log->Flush();
    }
    EXPECT_EQ(pane_.LineCount(), 600);
    EXPECT_EQ(FileLines(path_).size(), 600u);
}

TEST_F(LogTest, LinesWaitWhileThePaneDoesNotExist) {
    auto log = MakeLog(&pane_);
    pane_.exists = false;
    log->Add("waiting", LOG_TYPE_INFO);
    log->Flush();
    EXPECT_EQ(log->GetQueuePos(), 1);
    EXPECT_TRUE(FileLines(path_).empty());
    EXPECT_EQ(pane_.begin_updates, 0);

    pane_.exists = true;
    log->Flush();
    EXPECT_EQ(log->GetQueuePos(), 0);
    EXPECT_EQ(FileLines(path_).size(), 1u);
    EXPECT_EQ(pane_.lines.size(), 1u);
}

TEST_F(LogTest, UnwritableFolderIsReportedOnceAndTheFileResumesWhenItComesBack) {
    // Root writes into any folder, so the folder is made impossible: a file stands in its place.
    const std::string folder = dir_.file("logs");
    path_ = folder + "/ktev.log";
    ASSERT_TRUE(std::ofstream(folder).good());
    auto log = MakeLog(&pane_);
    const auto errors = [this] {
        int n = 0;
        for (const auto& line : pane_.lines) {
            n += line.text.find("Ошибка записи в файл лога " + path_ + ": [") != std::string::npos
                     ? 1
                     : 0;
        }
        return n;
    };
    for (int i = 0; i < 3; ++i) {
        log->Add("pane only", LOG_TYPE_ERROR);
        log->Flush();
    }
    EXPECT_EQ(log->GetQueuePos(), 0);
    EXPECT_EQ(pane_.lines.size(), 4u) << "three lines and one report";
    EXPECT_EQ(errors(), 1);
    EXPECT_NE(pane_.lines[1].text.find(": [20] "), std::string::npos) << pane_.lines[1].text;

    ASSERT_EQ(::unlink(folder.c_str()), 0);
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    log->Add("back in the file", LOG_TYPE_INFO);
    log->Flush();
    const std::vector<std::string> lines = FileLines(path_);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[0].ends_with(Utf8ToCp1251("  Error  4 строк журнала пропущено")))
        << "the three lines and the report";
    EXPECT_TRUE(lines[1].ends_with("back in the file"));
    EXPECT_TRUE(lines[2].ends_with(Utf8ToCp1251("Запись в файл лога " + path_ + " возобновлена")));

    // A second outage is reported again, once.
    ASSERT_EQ(::unlink(path_.c_str()), 0);
    ASSERT_EQ(::rmdir(folder.c_str()), 0);
    for (int i = 0; i < 3; ++i) {
        log->Add("pane only again", LOG_TYPE_ERROR);
        log->Flush();
    }
    EXPECT_EQ(errors(), 2);
}

// The log file on a disk that fills up: the pane goes on, the failure is said once, no half
// line stays in the file, and once the disk has room again the number of lines the file missed
// stands in it where they are missing, and in the pane before the line the file took again.
TEST_F(LogTest, AFullDiskIsSaidOnceAndTheLinesTheFileMissedAreCounted) {
    TinyDisk disk(dir_.file("disk"));
    if (!disk.mounted()) {
        GTEST_SKIP() << "mounting a tmpfs needs CAP_SYS_ADMIN";
    }
    path_ = dir_.file("disk/ktev.log");
    auto log = MakeLog(&pane_);
    log->Add("before", LOG_TYPE_INFO);
    log->Flush();
    const std::string filler = dir_.file("disk/filler");
    {
        const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        const std::string block(4096, 'f');
        while (::write(fd, block.data(), block.size()) > 0) {
        }
        ::close(fd);
    }
    // More than the room left in the file's own page: a line is cut in two by the disk.
    for (int i = 0; i < 200; ++i) {
        TLog::Addf(log.get(), LOG_TYPE_INFO, "line %03d", i);
        log->Flush();
    }
    const std::size_t shown = pane_.lines.size();
    const std::vector<std::string> full = FileLines(path_);
    ASSERT_LT(full.size(), shown);
    int reports = 0;
    for (const auto& line : pane_.lines) {
        reports +=
            line.text.find("Ошибка записи в файл лога " + path_ + ": [28] ") != std::string::npos
                ? 1
                : 0;
    }
    EXPECT_EQ(reports, 1);

    ASSERT_EQ(::unlink(filler.c_str()), 0);
    log->Add("after", LOG_TYPE_INFO);
    log->Flush();
    const std::string skipped = std::string(stamp) + "  Error  " +
                                std::to_string(shown - full.size()) + " строк журнала пропущено";
    const std::vector<std::string> file = FileLines(path_);
    ASSERT_EQ(file.size(), full.size() + 3);
    EXPECT_EQ(file[full.size()], Utf8ToCp1251(skipped));
    EXPECT_TRUE(file[full.size() + 1].ends_with("after"));
    EXPECT_TRUE(file[full.size() + 2].ends_with(
        Utf8ToCp1251("Запись в файл лога " + path_ + " возобновлена")));
    ASSERT_EQ(pane_.lines.size(), shown + 3);
    EXPECT_EQ(pane_.lines[shown].text, skipped);
    EXPECT_TRUE(pane_.lines[shown + 1].text.ends_with("after"));
}

TEST_F(LogTest, TimerDrivesTheFlush) {
    pane_.lines.push_back({"placeholder of the window design", {}});
    auto log = MakeLog(&pane_);
    EXPECT_TRUE(pane_.lines.empty()) << "the log clears its pane";
    EXPECT_EQ(timer_->interval, 100);
    log->Add("queued", LOG_TYPE_INFO);
    EXPECT_FALSE(timer_->Fire()) << "created disabled: lines only queue up";
    EXPECT_EQ(log->GetQueuePos(), 1);

    log->SetTimer(true);
    EXPECT_TRUE(timer_->enabled);
    EXPECT_TRUE(timer_->Fire());
    EXPECT_EQ(log->GetQueuePos(), 0);
    EXPECT_TRUE(timer_->enabled) << "the flush enables the timer again";

    log->SetTimer(false);
    log->Add("manual", LOG_TYPE_INFO);
    log->Flush();
    EXPECT_FALSE(timer_->enabled) << "a flush does not restart a stopped timer";
}

TEST_F(LogTest, DestructorReportsAndFlushesEverything) {
    {
        auto log = MakeLog(&pane_);
        log->IsLogDebug = true;
        log->Add("one", LOG_TYPE_INFO);
        log->Add("two", LOG_TYPE_INFO);
        log->Add("three", LOG_TYPE_INFO);
    }
    const std::vector<std::string> file = FileLines(path_);
    ASSERT_EQ(file.size(), 4u);
    EXPECT_EQ(file[3], std::string(stamp) +
                           "  Debug  TLog::~TLog, QueuePos(before wait): 3, QueueMaxPos: 3");
}

class LogRotationTest : public LogTest {
protected:
    void MakeFileOfSize(off_t size) {
        std::ofstream(path_, std::ios::binary) << "old content\r\n";
        ASSERT_EQ(::truncate(path_.c_str(), size), 0);
    }
    std::string rotated_ = dir_.file("ktev.20180312094501.log");
};

TEST_F(LogRotationTest, ExactlyTheLimitDoesNotRotate) {
    MakeFileOfSize(TLog::RotateSize);
    auto log = MakeLog(nullptr);
    log->Add("appended", LOG_TYPE_INFO);
    log->Flush();
    EXPECT_NE(::access(rotated_.c_str(), F_OK), 0);
    struct stat st {};
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_GT(st.st_size, TLog::RotateSize);
}

TEST_F(LogRotationTest, OneByteMoreRotatesToTheStampedName) {
    MakeFileOfSize(TLog::RotateSize + 1);
    auto log = MakeLog(nullptr);
    log->Add("fresh", LOG_TYPE_INFO);
    log->Flush();
    struct stat st {};
    ASSERT_EQ(::stat(rotated_.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, TLog::RotateSize + 1);
    EXPECT_TRUE(ReadFile(rotated_).starts_with("old content\r\n"));
    EXPECT_EQ(FileLines(path_), std::vector<std::string>{std::string(stamp) + "         fresh"});
}

TEST_F(LogRotationTest, FailedRenameKeepsTheOldContent) {
    MakeFileOfSize(TLog::RotateSize + 1);
    // The stamped name is taken (a folder here), so the rename cannot be done.
    ASSERT_EQ(::mkdir(rotated_.c_str(), 0755), 0);
    auto log = MakeLog(&pane_);
    log->Add("first", LOG_TYPE_INFO);
    log->Add("second", LOG_TYPE_INFO);
    log->Flush();

    const std::string data = ReadFile(path_);
    EXPECT_TRUE(data.starts_with("old content\r\n"));
    EXPECT_GT(data.size(), static_cast<std::size_t>(TLog::RotateSize));
    EXPECT_NE(data.find("first\r\n"), std::string::npos);
    EXPECT_NE(data.find("second\r\n"), std::string::npos);
    // Reported once, not for every line that follows.
    int reports = 0;
    for (const auto& line : pane_.lines) {
        reports += line.text.find("TLog::Rotate") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(pane_.lines.size(), 3u);
}

namespace {

// A pane that holds the GUI thread at its first line until released, as a window busy elsewhere
// does, and keeps every line it was given.
class HeldPane : public FakeLogPane {
public:
    void AppendLine(std::string_view text, const TMessageStyle& style) override {
        {
            std::unique_lock lock(lock_);
            changed_.wait(lock, [this] { return released_; });
        }
        all.emplace_back(text);
        FakeLogPane::AppendLine(text, style);
    }
    void Release() {
        std::lock_guard lock(lock_);
        released_ = true;
        changed_.notify_all();
    }

    std::vector<std::string> all;

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool released_ = false;
};

// What a flood of "T<thread>-<index>" lines left: the lines, each checked to come whole, once
// and in its thread's order, and the counts of skipped lines.
struct TFloodTally {
    int lines = 0;
    long long skipped = 0;
    int counts = 0;
};

TFloodTally Tally(const std::vector<std::string>& lines, int threads) {
    TFloodTally tally;
    std::vector<int> last(static_cast<std::size_t>(threads), -1);
    for (const std::string& line : lines) {
        const std::string text = line.size() > 28 ? line.substr(28) : std::string();
        int t = -1;
        int i = -1;
        long long n = 0;
        int used = 0;
        if (std::sscanf(text.c_str(), "T%d-%d", &t, &i) == 2 && t >= 0 && t < threads) {
            EXPECT_EQ(text.size(), 8u) << "whole: " << line;
            EXPECT_GT(i, last[static_cast<std::size_t>(t)]) << line;
            last[static_cast<std::size_t>(t)] = i;
            ++tally.lines;
        } else if (std::sscanf(text.c_str(), "%lld%n", &n, &used) == 1 &&
                   text.substr(static_cast<std::size_t>(used)) == " строк журнала пропущено") {
            tally.skipped += n;
            ++tally.counts;
        } else {
            ADD_FAILURE() << line;
        }
    }
    return tally;
}

} // namespace

// 20,000 lines of every level from four threads while the GUI thread is held in its flush, then
// more while it flushes freely: every line reaches the pane and the file whole, once and in its
// thread's order, or is counted there; the queue never holds more than its 299.
TEST_F(LogTest, AFloodLosesNoLineUncounted) {
    HeldPane pane;
    auto log = MakeLog(&pane);
    log->IsLogDebug = true;
    constexpr int threads = 4;
    constexpr int held = 5000;
    constexpr int freely = 500;
    std::atomic<bool> adding{true};
    std::thread gui([&] {
        while (adding) {
            log->Flush();
            std::this_thread::yield();
        }
        log->Flush();
    });
    const auto flood = [&](int from, int count) {
        std::vector<std::thread> adders;
        for (int t = 0; t < threads; ++t) {
            adders.emplace_back([&log, t, from, count] {
                for (int i = from; i < from + count; ++i) {
                    TLog::Addf(log.get(), static_cast<std::uint8_t>(i % 5), "T%d-%05d", t, i);
                }
            });
        }
        for (auto& adder : adders) {
            adder.join();
        }
    };
    flood(0, held);
    pane.Release();
    flood(held, freely);
    adding = false;
    gui.join();

    EXPECT_EQ(log->GetQueueMaxPos(), TLog::QueueLimit);
    EXPECT_EQ(log->GetQueuePos(), 0);
    constexpr long long total = threads * (held + freely);
    std::vector<std::string> file;
    for (const std::string& line : FileLines(path_)) {
        file.push_back(Cp1251ToUtf8(line));
    }
    for (const auto* shown : {&file, &pane.all}) {
        const TFloodTally tally = Tally(*shown, threads);
        EXPECT_GT(tally.counts, 0);
        EXPECT_EQ(tally.lines + tally.skipped, total);
    }
}

TEST(LogLocale, StampSeparatorsComeFromTheLocalePatterns) {
    EXPECT_EQ(TLog::PatternSeparator("%d.%m.%Y", '/'), '.');
    EXPECT_EQ(TLog::PatternSeparator("%m/%d/%y", '?'), '/');
    EXPECT_EQ(TLog::PatternSeparator("%Y-%m-%d", '/'), '-');
    EXPECT_EQ(TLog::PatternSeparator("%Od.%Om.%EY", '/'), '.');
    EXPECT_EQ(TLog::PatternSeparator("%H:%M:%S", '?'), ':');
    EXPECT_EQ(TLog::PatternSeparator("%r", ':'), ':');
    EXPECT_EQ(TLog::PatternSeparator("", ':'), ':');
    EXPECT_EQ(TLog::PatternSeparator("%", ':'), ':');
    EXPECT_EQ(TLog::PatternSeparator(nullptr, '/'), '/');
}

} // namespace
