#pragma once

// The simulator's own account of what happened on its side of the wire: every frame the
// workstation sent, every exchange the bus master made, every state change, every fault put
// on the line. Tests compare it with what the workstation recorded.

#include "sim/sim_codec.h"
#include "sim/sim_device.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

enum class TSimEntryKind : std::uint8_t {
    Received, // a frame (or damaged bytes) from the workstation
    Exchange, // a request of the bus master other than the routine polls, and the answer
    Change,   // a state change of a device
    Line,     // noise or a damaged frame the simulator put on the line
};

const char* EntryKindName(TSimEntryKind kind);

struct TSimJournalEntry {
    std::uint64_t seq = 0;    // 1, 2, ... in the order of events
    std::int64_t wall_ms = 0; // milliseconds since 1970 (the system clock)
    double elapsed_s = 0;     // seconds since the simulator started
    TSimEntryKind kind = TSimEntryKind::Change;
    int device_key = 0; // 0: no device of the simulator
    std::uint32_t device_id = 0;
    std::uint8_t command = 0;
    bool answered = false; // Received, Exchange: the device answered
    TSimChange change;     // Change
    TBytes bytes;          // unstuffed frame (raw bytes for noise and damaged frames)
    std::string text;      // why a request went unanswered; what was damaged
};

// One line of text for an entry, as the command-line tool prints it.
std::string FormatEntry(const TSimJournalEntry& entry);

class TSimJournal {
public:
    using TPredicate = std::function<bool(const TSimJournalEntry&)>;

    explicit TSimJournal(std::size_t limit = 100000) : limit_(limit) {}

    // Starts a fresh journal; the sequence numbers start at 1 again.
    void Clear(std::size_t limit);
    // Stamps the entry with its number and times and keeps it; the oldest go past the limit.
    void Add(TSimJournalEntry entry, double elapsed_s);

    // Copies of the entries numbered after `after`.
    std::vector<TSimJournalEntry> Since(std::uint64_t after = 0) const;
    // Waits until an entry numbered after `after` matches; false after timeout_ms.
    bool WaitFor(const TPredicate& match, int timeout_ms, TSimJournalEntry* found = nullptr,
                 std::uint64_t after = 0) const;
    // Waits for a frame from the workstation with this command.
    bool WaitForCommand(std::uint8_t command, int timeout_ms, TSimJournalEntry* found = nullptr,
                        std::uint64_t after = 0) const;
    std::uint64_t LastSeq() const;
    // Entries that went past the limit.
    std::uint64_t Dropped() const;

private:
    std::size_t FirstAfter(std::uint64_t seq) const;

    mutable std::mutex mutex_;
    mutable std::condition_variable added_;
    std::deque<TSimJournalEntry> entries_;
    std::size_t limit_;
    std::uint64_t next_seq_ = 1;
    std::uint64_t dropped_ = 0;
};
