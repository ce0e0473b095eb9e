#include "sim/sim_journal.h"

#include "buslink/commands.h"

#include <chrono>
#include <ctime>
#include <fmt/format.h>

const char* EntryKindName(TSimEntryKind kind) {
    switch (kind) {
    case TSimEntryKind::Received:
        return "received";
    case TSimEntryKind::Exchange:
        return "exchange";
    case TSimEntryKind::Change:
        return "change";
    case TSimEntryKind::Line:
        return "line";
    }
    return "?";
}

std::string FormatEntry(const TSimJournalEntry& entry) {
    const std::time_t seconds = static_cast<std::time_t>(entry.wall_ms / 1000);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    std::string line = fmt::format("{:06} {:02}:{:02}:{:02}.{:03} {:9.3f} {:<8}", entry.seq,
                                   local.tm_hour, local.tm_min, local.tm_sec, entry.wall_ms % 1000,
                                   entry.elapsed_s, EntryKindName(entry.kind));
    if (entry.device_key != 0) {
        line += fmt::format(" device {} ({:08X})", entry.device_key, entry.device_id);
    }
    if (entry.kind == TSimEntryKind::Change) {
        const TSimChange& c = entry.change;
        line += fmt::format(" {}", ItemName(c.item));
        if (c.index >= 0) {
            line += fmt::format(" {} (index {})", c.index + 1, c.index);
        }
        line += fmt::format(" 0x{:X} -> 0x{:X}", c.old_value, c.new_value);
    } else if (entry.command != 0) {
        line += fmt::format(" {} {}", CommandName(entry.command),
                            entry.answered ? "answered" : "unanswered");
    }
    if (!entry.text.empty()) {
        line += ": " + entry.text;
    }
    if (!entry.bytes.empty()) {
        line += " [";
        for (std::size_t i = 0; i < entry.bytes.size(); ++i) {
            line += fmt::format("{}{:02X}", i == 0 ? "" : " ", entry.bytes[i]);
        }
        line += "]";
    }
    return line;
}

void TSimJournal::Clear(std::size_t limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
    limit_ = limit;
    next_seq_ = 1;
    dropped_ = 0;
}

void TSimJournal::Add(TSimJournalEntry entry, double elapsed_s) {
    using namespace std::chrono;
    entry.wall_ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    entry.elapsed_s = elapsed_s;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        entry.seq = next_seq_++;
        entries_.push_back(std::move(entry));
        while (entries_.size() > limit_) {
            entries_.pop_front();
            ++dropped_;
        }
    }
    added_.notify_all();
}

// Numbers are consecutive, so the first entry after `seq` is found by arithmetic.
std::size_t TSimJournal::FirstAfter(std::uint64_t seq) const {
    if (entries_.empty() || seq < entries_.front().seq) {
        return 0;
    }
    return static_cast<std::size_t>(seq - entries_.front().seq + 1);
}

std::vector<TSimJournalEntry> TSimJournal::Since(std::uint64_t after) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t first = FirstAfter(after);
    if (first >= entries_.size()) {
        return {};
    }
    return {entries_.begin() + static_cast<std::ptrdiff_t>(first), entries_.end()};
}

bool TSimJournal::WaitFor(const TPredicate& match, int timeout_ms, TSimJournalEntry* found,
                          std::uint64_t after) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock<std::mutex> lock(mutex_);
    std::uint64_t checked = after;
    while (true) {
        for (std::size_t i = FirstAfter(checked); i < entries_.size(); ++i) {
            const TSimJournalEntry& entry = entries_[i];
            checked = entry.seq;
            if (match(entry)) {
                if (found != nullptr) {
                    *found = entry;
                }
                return true;
            }
        }
        if (added_.wait_until(lock, deadline) == std::cv_status::timeout &&
            (entries_.empty() || entries_.back().seq <= checked)) {
            return false;
        }
    }
}

bool TSimJournal::WaitForCommand(std::uint8_t command, int timeout_ms, TSimJournalEntry* found,
                                 std::uint64_t after) const {
    return WaitFor(
        [command](const TSimJournalEntry& entry) {
            return entry.kind == TSimEntryKind::Received && entry.command == command;
        },
        timeout_ms, found, after);
}

std::uint64_t TSimJournal::LastSeq() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return next_seq_ - 1;
}

std::uint64_t TSimJournal::Dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}
