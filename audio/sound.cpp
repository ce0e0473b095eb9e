#include "audio/sound.h"

#include <chrono>
#include <system_error>
#include <unistd.h>

#include "common/settings.h"
#include "log/log.h"

namespace {

constexpr TSoundLevelInfo sound_levels[] = {
    {SOUND_NEW_DEVICE, "sound/new_device.wav", false, 1100},
    {SOUND_RECOVERY_DEVICE, "sound/recovery_device.wav", false, 200},
    {SOUND_LOSS_DEVICE, "sound/loss_device.wav", false, 5100},
    {SOUND_ALERT, "sound/alert.wav", true, 30000},
    {SOUND_FAILURE, "sound/failure.wav", true, 30000},
    {SOUND_ATTENTION, "sound/attention.wav", true, 30000},
    {SOUND_ALARM, "sound/alarm.wav", true, 90000},
};

} // namespace

const TSoundLevelInfo* FindSoundLevel(TSoundLevel level) {
    for (const TSoundLevelInfo& info : sound_levels) {
        if (info.level == level) {
            return &info;
        }
    }
    return nullptr;
}

void TSteadySoundClock::Sleep(int ms) {
    std::unique_lock lock(lock_);
    cancelled_changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return cancelled_; });
}

void TSteadySoundClock::Cancel() {
    {
        std::lock_guard lock(lock_);
        cancelled_ = true;
    }
    cancelled_changed_.notify_all();
}

TSound::TSound(TLog* log, const TSettings* settings, TSoundOutput* output,
               std::unique_ptr<TSoundClock> clock)
    : log_(log), settings_(settings), output_(output), clock_(std::move(clock)) {
    TLog::Add(log_, "TSound::TSound", LOG_TYPE_DEBUG);
    if (!clock_) {
        clock_ = std::make_unique<TSteadySoundClock>();
    }
}

TSound::~TSound() {
    TLog::Add(log_, "TSound::~TSound", LOG_TYPE_DEBUG);
    level_ = SOUND_OFF;
    {
        std::lock_guard lock(lock_);
        stop_ = true;
    }
    woken_changed_.notify_all();
    clock_->Cancel();
    if (sound_thread_.joinable()) {
        try {
            sound_thread_.join();
        } catch (const std::system_error& error) {
            TLog::Add(log_, GetLastErrorText(error.code().value()), LOG_TYPE_ERROR);
        }
    }
}

void TSound::SetSound(TSoundLevel level, TSoundRequest from) {
    if (settings_ != nullptr && !settings_->GetIsSound()) {
        level_ = SOUND_OFF;
        return;
    }
    TLog::Addf(log_, LOG_TYPE_DEBUG, "%s, %d", "TSound::SetSound", static_cast<int>(level));
    {
        std::lock_guard lock(lock_);
        if (!sound_thread_.joinable()) {
            try {
                sound_thread_ = std::thread([this] { SoundThreadFunction(); });
            } catch (const std::system_error&) {
                TLog::Add(log_, "Ошибка запуска звука", LOG_TYPE_ERROR);
                return;
            }
        }
        if (from == TSoundRequest::Event && Outranked(level)) {
            return;
        }
        level_ = level;
        woken_ = true;
    }
    woken_changed_.notify_one();
}

bool TSound::Outranked(TSoundLevel level) const {
    // A request not yet taken up counts as held already: requests are weighed in their order.
    const TSoundLevelInfo* held = FindSoundLevel(woken_ ? level_.load() : held_);
    return held != nullptr && held->is_looped && FindSoundLevel(level) != nullptr &&
           level < held->level;
}

bool TSound::KeptPastHold(TSoundLevel level) const {
    const TSoundLevelInfo* info = FindSoundLevel(level);
    const TSoundKeeper* keeper = keeper_.load();
    return info != nullptr && info->is_looped && keeper != nullptr && settings_ != nullptr &&
           settings_->GetSoundUntilAck() && keeper->KeepsSounding(level);
}

void TSound::SoundThreadFunction() {
    TLog::Add(log_, "+ SoundThreadFunction", LOG_TYPE_DEBUG);
    int hold_ms = 0; // what is left of the held level's hold
    std::unique_lock lock(lock_);
    for (;;) {
        TSoundLevel current = level_.load();
        // This read sees every request made so far; only later ones must wake the thread.
        woken_ = false;
        if (current == held_ && hold_ms > 0) {
            lock.unlock();
            clock_->Sleep(StepMs);
            lock.lock();
            hold_ms -= StepMs;
            if (stop_) {
                break;
            }
            continue;
        }
        if (current == held_ && KeptPastHold(current)) {
            // Still playing looped: looked at again each step until acknowledged or silenced.
            hold_ms = StepMs;
            continue;
        }
        if (current == held_) {
            current = SOUND_OFF; // the hold has ended
        }
        held_ = current;
        if (const TSoundLevelInfo* info = FindSoundLevel(current)) {
            Play(*info);
            hold_ms = info->hold_ms;
            continue;
        }
        // What was left of an interrupted hold is dropped: asleep, the thread counts nothing.
        hold_ms = 0;
        TLog::Add(log_, "- SoundThreadFunction", LOG_TYPE_DEBUG);
        StopOutput();
        woken_changed_.wait(lock, [this] { return stop_ || woken_; });
        if (stop_) {
            return;
        }
        TLog::Add(log_, "+ SoundThreadFunction", LOG_TYPE_DEBUG);
    }
    // Closed during a hold: what the player started must not sound on without it.
    TLog::Add(log_, "- SoundThreadFunction", LOG_TYPE_DEBUG);
    StopOutput();
}

void TSound::Play(const TSoundLevelInfo& info) {
    const std::string file = lookup_ ? lookup_(info.file) : std::string(info.file);
    bool& reported = missing_reported_[info.level];
    if (!reported && ::access(file.c_str(), R_OK) != 0) {
        const std::string reason = GetLastErrorText();
        reported = true;
        TLog::Addf(log_, LOG_TYPE_ERROR, "Нет звукового файла %s: %s", file, reason);
    }
    // A missing file still replaces the sound playing, and its hold runs as usual.
    if (output_ != nullptr) {
        output_->Play(file, info.is_looped);
    }
}

void TSound::StopOutput() {
    if (output_ != nullptr) {
        output_->Stop();
    }
}
