#pragma once

// The alarm sound player. A request only records the wanted level and wakes the sound thread;
// the thread starts the level's file, holds the level for its time in 100 ms steps, then stops
// the output and sleeps until the next request. Levels rank by their number: while a looped
// level holds, an event's request for a lower level is not played, so a chime never silences
// an alarm. Level 0 and the operator's own requests replace whatever sounds.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class TLog;
class TSettings;

enum TSoundLevel : std::int8_t {
    SOUND_OFF = 0,
    SOUND_NEW_DEVICE = 1,
    SOUND_RECOVERY_DEVICE = 2,
    SOUND_LOSS_DEVICE = 3,
    SOUND_ALERT = 4,
    SOUND_FAILURE = 5,
    SOUND_ATTENTION = 6,
    SOUND_ALARM = 7,
};

// What a level plays: its file (relative to the working directory), once or looped, and how
// long the level is held before the output is stopped.
struct TSoundLevelInfo {
    TSoundLevel level;
    const char* file;
    bool is_looped;
    int hold_ms;
};

// The entry of a level from 1 to 7; null for SOUND_OFF and for any value outside the table,
// which all act as SOUND_OFF.
const TSoundLevelInfo* FindSoundLevel(TSoundLevel level);

// The platform's sound output as the player sees it. Both calls return at once; the window
// side carries them out on its own thread.
class TSoundOutput {
public:
    virtual ~TSoundOutput() = default;

    // Plays the file once or looped in place of any sound of the process that is playing.
    virtual void Play(const std::string& file, bool looped) = 0;
    // Stops every sound of the process.
    virtual void Stop() = 0;
};

// The time steps of a hold. The real clock sleeps; tests step a fake one by hand.
class TSoundClock {
public:
    virtual ~TSoundClock() = default;

    // Waits `ms` milliseconds; returns at once after Cancel.
    virtual void Sleep(int ms) = 0;
    // Ends the current wait and every later one: the player is closing.
    virtual void Cancel() = 0;
};

// TSoundClock on the steady clock.
class TSteadySoundClock final : public TSoundClock {
public:
    void Sleep(int ms) override;
    void Cancel() override;

private:
    std::mutex lock_;
    std::condition_variable cancelled_changed_;
    bool cancelled_ = false;
};

// What keeps a looped level sounding past its hold with SoundUntilAck on: alarms of that level
// or above that the operator has not acknowledged yet. Called on the sound thread.
class TSoundKeeper {
public:
    virtual ~TSoundKeeper() = default;

    virtual bool KeepsSounding(TSoundLevel level) const = 0;
};

// Who asks for a level: an event, or the operator's own act (the settings dialog's sound test),
// which is played whatever holds.
enum class TSoundRequest : std::uint8_t { Event, Operator };

class TSound {
public:
    static constexpr int StepMs = 100;

    // `log` and `settings` may be null (no log; sound allowed). `output` must outlive the
    // player. `clock` null means the steady clock.
    TSound(TLog* log, const TSettings* settings, TSoundOutput* output,
           std::unique_ptr<TSoundClock> clock = nullptr);
    // Stops the sound thread, waits for it to end and silences the output.
    ~TSound();
    TSound(const TSound&) = delete;
    TSound& operator=(const TSound&) = delete;

    // Asks for a level from any thread; never waits for playback. With IsSound off the level
    // becomes SOUND_OFF and the thread is left alone. An event's level below a looped level
    // that holds (or waits to be taken up) is dropped. A null player does nothing.
    void SetSound(TSoundLevel level, TSoundRequest from = TSoundRequest::Event);
    static void SetSound(TSound* sound, TSoundLevel level,
                         TSoundRequest from = TSoundRequest::Event) {
        if (sound != nullptr) {
            sound->SetSound(level, from);
        }
    }

    // Where a level's file is found ("sound/alarm.wav" in the home or the data folder). Set
    // once, before the first request; without it the file is taken relative to the working
    // folder.
    void SetFileLookup(std::function<std::string(const std::string& file)> lookup) {
        lookup_ = std::move(lookup);
    }

    // Set once, before the keeper can be destroyed or after the player stops; null: none.
    void SetKeeper(const TSoundKeeper* keeper) { keeper_ = keeper; }

    // The level last asked for and not dropped (SOUND_OFF for a null player).
    TSoundLevel GetSound() const { return level_.load(); }
    static TSoundLevel GetSound(const TSound* sound) {
        return sound != nullptr ? sound->GetSound() : SOUND_OFF;
    }

private:
    void SoundThreadFunction();
    // True when an event's request for `level` must give way to the looped level that holds
    // or waits to be taken up. Called with `lock_` held.
    bool Outranked(TSoundLevel level) const;
    // Whether the level whose hold just ended sounds on (SoundUntilAck and the keeper say so).
    bool KeptPastHold(TSoundLevel level) const;
    void Play(const TSoundLevelInfo& info);
    void StopOutput();

    TLog* log_;
    const TSettings* settings_;
    TSoundOutput* output_;
    std::unique_ptr<TSoundClock> clock_;
    std::function<std::string(const std::string& file)> lookup_;
    std::atomic<const TSoundKeeper*> keeper_{nullptr};
    std::atomic<TSoundLevel> level_{SOUND_OFF};

    // Guards the thread's creation, the wake-up flag and the stop flag. A request sets
    // `woken_` under it, and the thread checks `woken_` under it before it sleeps, so a
    // request made while the thread falls asleep is not lost.
    std::mutex lock_;
    std::condition_variable woken_changed_;
    bool woken_ = false;
    bool stop_ = false;
    // The level the sound thread acts on: playing and holding, or SOUND_OFF once its hold ended.
    TSoundLevel held_ = SOUND_OFF;
    std::thread sound_thread_;
    // Sound thread only: which files were already reported missing, by level.
    bool missing_reported_[SOUND_ALARM + 1] = {};
};
