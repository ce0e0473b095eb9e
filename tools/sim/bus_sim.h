#pragma once

// The bus simulator: the bus master and any number of control panels on the far side of a
// pseudo-terminal, run on a thread of its own. The workstation opens the linked comN as its
// port; the simulator polls, gives the workstation its turns, answers its requests and keeps
// a journal of everything it did.

#include "sim/sim_device.h"
#include "sim/sim_journal.h"
#include "sim/sim_line.h"
#include "sim/sim_scenario.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

enum class TSimPace : std::uint8_t {
    Realtime, // 9600 baud: about 1.04 ms per byte, with the gaps of real panels
    Fast,     // as fast as the workstation reads
};

struct TSimOptions {
    std::string ports_dir = "ports";
    int com = 1;
    TSimPace pace = TSimPace::Realtime;
    int turn_ms = -1;           // how long the master waits for the workstation after a
                                // FIND_DEVICE; -1: 60 ms at real pace, 10 ms fast
    int turn_every = 0;         // device polls between two turns; 0: one turn per poll cycle
    double answer_delay_ms = 1; // from the workstation's last byte on the wire until a device
                                // begins its answer: 0..10 ms
    bool echo = false;          // hand every byte the workstation writes back to it, as an RS-485
                                // adapter that hears its own transmission does
    std::size_t chunk = 0;      // bytes per write (0: whole frames), to trickle like a UART
    double rate = 0;            // random state changes per second
    double rate_after_s = 0;    // random changes start this many seconds after the start
    double rate_for_s = 0;      // and go on this long (0: until the simulator stops), so that a
                                // soak can let the workstation catch up before it compares
    std::uint32_t seed = 1;     // of the random changes, bursts and noise
    std::size_t journal_limit = 100000; // entries kept; the oldest go first
};

// Counters of the bus traffic.
struct TSimStats {
    std::uint64_t cycles = 0;   // poll cycles started
    std::uint64_t turns = 0;    // FIND_DEVICE turns given to the workstation
    std::uint64_t polls = 0;    // GET_STATE requests
    std::uint64_t frames = 0;   // frames sent, requests and answers
    std::uint64_t bytes = 0;    // bytes sent
    std::uint64_t received = 0; // frames and damaged pieces from the workstation
};

class TBusSim {
public:
    // The bus master's own node.
    static constexpr std::uint8_t MASTER_ADDRESS = 0;
    static constexpr std::uint32_t MASTER_ID = 0x00000A11;
    static constexpr std::uint8_t PC_ADDRESS = 255;

    TBusSim() = default;
    ~TBusSim();
    TBusSim(const TBusSim&) = delete;
    TBusSim& operator=(const TBusSim&) = delete;

    // Opens and links the line and starts the bus thread. False (and why) on a bad scenario,
    // a line that cannot be opened or a simulator already running.
    bool Start(const TSimOptions& options, const TSimScenario& scenario, std::string& error);
    // Stops the bus thread, waits for it and removes the link. Safe to call twice.
    void Stop();
    bool Running() const { return thread_.joinable(); }

    const std::string& LinkPath() const { return line_.LinkPath(); }
    const std::string& SlavePath() const { return line_.SlavePath(); }

    // Runs an event at the bus thread's next step (its time is ignored). False when it does not
    // fit the devices (unknown device, element out of range, bad value) or nothing runs.
    bool Inject(const TSimEvent& event, std::string& error);

    const TSimJournal& Journal() const { return journal_; }
    // Copies of the simulated devices as they are now.
    std::vector<TSimDevice> Devices() const;
    TSimStats Stats() const;

private:
    void Run();
    void RunDueEvents();
    void Apply(const TSimEvent& event);
    void ApplyToDevice(const TSimEvent& event);
    void Burst();
    void PcTurn();
    void DispatchInput();
    void Exchange(std::size_t device, std::uint8_t command, const TBytes& payload, bool journal);
    void SendAnswer(const TSimFrame& answer, TSimCorruption corruption, int key);
    void Send(const TBytes& encoded);
    void JournalChanges(TSimDevice& device);
    void AddEntry(TSimJournalEntry entry);
    double Elapsed() const;
    TSimDevice* FindByKey(int key);
    std::size_t IndexOfKey(int key) const;

    TSimOptions options_;
    std::int64_t byte_us_ = 0;
    std::int64_t gap_us_ = 0;
    std::int64_t answer_delay_us_ = 0;
    std::int64_t no_answer_us_ = 0;
    std::int64_t turn_us_ = 0;
    TSimLine line_;
    TSimJournal journal_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::chrono::steady_clock::time_point start_{};

    // Devices and injected events are shared with the callers' threads.
    mutable std::mutex mutex_;
    std::vector<TSimDevice> devices_;
    std::vector<TSimEvent> injected_;

    // Fixed while the bus runs: read by Inject on any thread.
    std::vector<TSimDeviceConfig> configs_;

    // The bus thread's own.
    std::vector<TSimEvent> timeline_;
    std::size_t next_event_ = 0;
    double timeline_base_ = 0;
    double random_credit_ = 0;
    double random_checked_ = 0;
    std::mt19937 rng_;

    std::atomic<std::uint64_t> cycles_{0};
    std::atomic<std::uint64_t> turns_{0};
    std::atomic<std::uint64_t> polls_{0};
    std::atomic<std::uint64_t> frames_{0};
    std::atomic<std::uint64_t> received_{0};
};
