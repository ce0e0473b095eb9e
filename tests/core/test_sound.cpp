#include "audio/sound.h"
#include "log/log.h"
#include "support/fake_log_pane.h"
#include "support/fake_settings.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Calls = std::vector<std::string>;
constexpr auto patience = std::chrono::seconds(10);

// The sound output and the hold's clock in one place, so a test knows when the sound thread
// has settled: it is "parked" when it waits in a hold step or has stopped the output to sleep.
// Output calls are stamped with the fake time: "1100 stop".
class SoundWorld final : public TSoundOutput {
public:
    void Play(const std::string& file, bool looped) override {
        std::lock_guard lock(lock_);
        calls_.push_back(std::to_string(now_) + " play " + file + (looped ? " looped" : ""));
    }
    void Stop() override {
        std::lock_guard lock(lock_);
        calls_.push_back(std::to_string(now_) + " stop");
        Park();
    }

    void Sleep(int ms) {
        std::unique_lock lock(lock_);
        const long long due = now_ + ms;
        sleeping_ = true;
        Park();
        changed_.wait(lock, [&] { return cancelled_ || now_ >= due; });
        sleeping_ = false;
    }
    void Cancel() {
        std::lock_guard lock(lock_);
        cancelled_ = true;
        changed_.notify_all();
    }

    // Asks for a level; when that wakes a sleeping thread, waits until it has settled again.
    void Request(TSound& sound, TSoundLevel level, TSoundRequest from = TSoundRequest::Event) {
        std::unique_lock lock(lock_);
        const int parks = parks_;
        const bool asleep = !sleeping_;
        lock.unlock();
        sound.SetSound(level, from);
        lock.lock();
        if (asleep) {
            ASSERT_TRUE(changed_.wait_for(lock, patience, [&] { return parks_ > parks; }));
        }
    }

    // Lets fake time pass in hold steps, each one taken by a thread that waits in a hold.
    void Advance(int ms) {
        for (int step = 0; step < ms; step += TSound::StepMs) {
            std::unique_lock lock(lock_);
            const int parks = parks_;
            now_ += TSound::StepMs;
            if (sleeping_) {
                changed_.notify_all();
                ASSERT_TRUE(changed_.wait_for(lock, patience, [&] { return parks_ > parks; }));
            }
        }
    }

    Calls TakeCalls() {
        std::lock_guard lock(lock_);
        return std::exchange(calls_, {});
    }
    int Parks() {
        std::lock_guard lock(lock_);
        return parks_;
    }

private:
    void Park() {
        ++parks_;
        changed_.notify_all();
    }

    std::mutex lock_;
    std::condition_variable changed_;
    Calls calls_;
    long long now_ = 0;
    int parks_ = 0;
    bool sleeping_ = false;
    bool cancelled_ = false;
};

class WorldClock final : public TSoundClock {
public:
    explicit WorldClock(SoundWorld& world) : world_(world) {}
    void Sleep(int ms) override { world_.Sleep(ms); }
    void Cancel() override { world_.Cancel(); }

private:
    SoundWorld& world_;
};

// Runs in a fresh working directory whose "sound" folder holds every level's file.
class SoundTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_dir_ = std::filesystem::current_path();
        std::filesystem::create_directory(dir_.file("sound"));
        std::filesystem::current_path(dir_.path());
        for (int level = SOUND_NEW_DEVICE; level <= SOUND_ALARM; ++level) {
            std::ofstream(FindSoundLevel(static_cast<TSoundLevel>(level))->file) << "RIFF";
        }
        log_.IsLogDebug = true;
        sound_ = std::make_unique<TSound>(&log_, &settings_, &world_,
                                          std::make_unique<WorldClock>(world_));
    }
    void TearDown() override {
        sound_.reset();
        std::filesystem::current_path(saved_dir_);
    }

    void Request(TSoundLevel level) { world_.Request(*sound_, level); }
    void Advance(int ms) { world_.Advance(ms); }
    Calls TakeCalls() { return world_.TakeCalls(); }
    Calls LogLines() {
        log_.Flush();
        Calls lines;
        for (const FakeLogPane::Line& line : pane_.lines) {
            lines.push_back(line.text.substr(line.text.find("  ") + 9));
        }
        pane_.lines.clear();
        return lines;
    }

    TempDir dir_;
    std::filesystem::path saved_dir_;
    FakeLogPane pane_;
    TLog log_{&pane_, nullptr, dir_.file("test.log")};
    FakeSettings settings_;
    SoundWorld world_;
    std::unique_ptr<TSound> sound_;
};

TEST_F(SoundTest, OneShotLevelsHoldForTheirTimeThenStop) {
    Request(SOUND_NEW_DEVICE);
    Advance(2000);
    Request(SOUND_RECOVERY_DEVICE);
    Advance(1000);
    Request(SOUND_LOSS_DEVICE);
    Advance(6000);
    EXPECT_EQ(TakeCalls(), (Calls{"0 play sound/new_device.wav", "1100 stop",
                                  "2000 play sound/recovery_device.wav", "2200 stop",
                                  "3000 play sound/loss_device.wav", "8100 stop"}));
    // The level asked for stays after its hold has ended.
    EXPECT_EQ(sound_->GetSound(), SOUND_LOSS_DEVICE);
}

TEST_F(SoundTest, RepeatedRequestsDuringAHoldNeitherRestartNorProlongIt) {
    // Three new devices within one second.
    Request(SOUND_NEW_DEVICE);
    Advance(400);
    Request(SOUND_NEW_DEVICE);
    Advance(400);
    Request(SOUND_NEW_DEVICE);
    Advance(2000);
    // An alarm during an alarm.
    Request(SOUND_ALARM);
    Advance(30000);
    Request(SOUND_ALARM);
    Advance(70000);
    EXPECT_EQ(TakeCalls(), (Calls{"0 play sound/new_device.wav", "1100 stop",
                                  "2800 play sound/alarm.wav looped", "92800 stop"}));
}

TEST_F(SoundTest, ALoopedLevelHoldsAgainstLowerEventsAndGivesWayToHigherOnes) {
    Request(SOUND_ALARM);
    Advance(5000);
    // A new panel found during an alarm: its chimes must not silence the alarm.
    Request(SOUND_NEW_DEVICE);
    Request(SOUND_RECOVERY_DEVICE);
    Request(SOUND_ATTENTION);
    Advance(85000);
    EXPECT_EQ(sound_->GetSound(), SOUND_ALARM);
    // Once the hold has ended, the lower levels sound again; a higher one takes over at the
    // next step of a hold.
    Request(SOUND_ALERT);
    Advance(1000);
    Request(SOUND_FAILURE);
    Advance(1000);
    Request(SOUND_ALERT);
    Request(SOUND_ATTENTION);
    Advance(1000);
    EXPECT_EQ(
        TakeCalls(),
        (Calls{"0 play sound/alarm.wav looped", "90000 stop", "90000 play sound/alert.wav looped",
               "91100 play sound/failure.wav looped", "92100 play sound/attention.wav looped"}));
}

// Unacknowledged alarms as the sound thread sees them: the gravest level among them.
class FakeKeeper final : public TSoundKeeper {
public:
    bool KeepsSounding(TSoundLevel level) const override { return unacknowledged >= level; }
    std::atomic<int> unacknowledged{SOUND_OFF};
};

TEST_F(SoundTest, SoundUntilAckHoldsALoopedLevelWhileAGraverAlarmWaitsForTheOperator) {
    FakeKeeper keeper;
    sound_->SetKeeper(&keeper);
    keeper.unacknowledged = SOUND_ALARM;
    // Off by default: the hold times apply whatever waits.
    Request(SOUND_ALARM);
    Advance(91000);
    settings_.sound_until_ack = true;
    Request(SOUND_ALARM);
    Advance(200000);
    // "Отбой звука" silences without acknowledging; the next event sounds again and is kept
    // by the waiting alarm although it is a lower level.
    Request(SOUND_OFF);
    Advance(1000);
    Request(SOUND_ATTENTION);
    Advance(40000);
    keeper.unacknowledged = SOUND_OFF; // acknowledged
    Advance(1000);
    // A fault waiting does not keep an attention sound.
    keeper.unacknowledged = SOUND_FAILURE;
    Request(SOUND_ATTENTION);
    Advance(31000);
    // Chimes are never kept.
    keeper.unacknowledged = SOUND_ALARM;
    Request(SOUND_LOSS_DEVICE);
    Advance(6000);
    EXPECT_EQ(TakeCalls(), (Calls{"0 play sound/alarm.wav looped", "90000 stop",
                                  "91000 play sound/alarm.wav looped", "291100 stop",
                                  "292000 play sound/attention.wav looped", "332100 stop",
                                  "333000 play sound/attention.wav looped", "363000 stop",
                                  "364000 play sound/loss_device.wav", "369100 stop"}));
    sound_.reset(); // the keeper must outlive the player
}

TEST_F(SoundTest, OneShotLevelsStillReplaceEachOther) {
    Request(SOUND_LOSS_DEVICE);
    Advance(1000);
    Request(SOUND_NEW_DEVICE);
    Advance(2000);
    EXPECT_EQ(TakeCalls(), (Calls{"0 play sound/loss_device.wav", "1100 play sound/new_device.wav",
                                  "2200 stop"}));
}

TEST_F(SoundTest, RequestsNotYetTakenUpAreWeighedInTheirOrder) {
    // An alarm and a chime in one breath: whether or not the thread took the alarm up yet,
    // the chime gives way to it.
    sound_->SetSound(SOUND_ALARM);
    Request(SOUND_NEW_DEVICE);
    Advance(100);
    EXPECT_EQ(TakeCalls(), (Calls{"0 play sound/alarm.wav looped"}));
    // "Отбой звука" then a chime: the chime plays.
    sound_->SetSound(SOUND_OFF);
    Request(SOUND_NEW_DEVICE);
    Advance(2000);
    EXPECT_EQ(TakeCalls(), (Calls{"200 play sound/new_device.wav", "1300 stop"}));
}

TEST_F(SoundTest, TheOperatorsTestAndLevelZeroOverrideAHeldAlarm) {
    Request(SOUND_ALARM);
    Advance(1000);
    world_.Request(*sound_, SOUND_FAILURE, TSoundRequest::Operator);
    Advance(1000);
    Request(SOUND_OFF);
    Advance(1000);
    EXPECT_EQ(TakeCalls(), (Calls{"0 play sound/alarm.wav looped",
                                  "1100 play sound/failure.wav looped", "2100 stop"}));
}

TEST_F(SoundTest, LevelZeroAndInvalidLevelsStopTheSound) {
    for (const int level : {0, 8, -1, 127, -128}) {
        SCOPED_TRACE(level);
        Request(SOUND_ATTENTION);
        Advance(1000);
        Request(static_cast<TSoundLevel>(level));
        Advance(1000);
        const Calls calls = TakeCalls();
        ASSERT_EQ(calls.size(), 2U);
        EXPECT_EQ(calls[1].substr(calls[1].find(' ')), " stop");
        // While asleep, the same request stops the output again and nothing else happens.
        Request(static_cast<TSoundLevel>(level));
        Advance(1000);
        EXPECT_EQ(TakeCalls().size(), 1U);
        EXPECT_EQ(sound_->GetSound(), level);
    }
}

TEST_F(SoundTest, AsleepTheThreadTakesNoStepsAndAskingAgainPlaysAgain) {
    Request(SOUND_FAILURE);
    Advance(30000);
    const int parks = world_.Parks();
    Advance(600000);
    EXPECT_EQ(world_.Parks(), parks);
    // "Отбой звука" while asleep: the output is stopped again, nothing else changes.
    Request(SOUND_OFF);
    Advance(1000);
    EXPECT_EQ(sound_->GetSound(), SOUND_OFF);
    Request(SOUND_FAILURE);
    Advance(100);
    EXPECT_EQ(TakeCalls(), (Calls{"0 play sound/failure.wav looped", "30000 stop", "630000 stop",
                                  "631000 play sound/failure.wav looped"}));
}

TEST_F(SoundTest, StoppingTheOutputDirectlyLeavesTheHoldRunning) {
    // "СТОП" in the settings dialog silences the output, not the player.
    Request(SOUND_ALARM);
    Advance(1000);
    world_.Stop();
    Request(SOUND_ALARM);
    Advance(89000);
    Request(SOUND_ALARM);
    Advance(100);
    EXPECT_EQ(TakeCalls(), (Calls{"0 play sound/alarm.wav looped", "1000 stop", "90000 stop",
                                  "90000 play sound/alarm.wav looped"}));
}

TEST_F(SoundTest, SoundSwitchedOffMutesRequestsAndSetsLevelZero) {
    settings_.is_sound = false;
    sound_->SetSound(SOUND_ALARM);
    Advance(1000);
    EXPECT_EQ(sound_->GetSound(), SOUND_OFF);
    EXPECT_EQ(world_.Parks(), 0); // no thread was started
    EXPECT_EQ(LogLines(), Calls{"TSound::TSound"});

    settings_.is_sound = true;
    Request(SOUND_ALARM);
    Advance(1000);
    // A looping sound goes on until the next request of any kind, which then stops it.
    settings_.is_sound = false;
    sound_->SetSound(SOUND_ATTENTION);
    EXPECT_EQ(sound_->GetSound(), SOUND_OFF);
    Advance(1000);
    EXPECT_EQ(TakeCalls(), (Calls{"1000 play sound/alarm.wav looped", "2100 stop"}));
    EXPECT_EQ(LogLines(),
              (Calls{"TSound::SetSound, 7", "+ SoundThreadFunction", "- SoundThreadFunction"}));
}

TEST_F(SoundTest, MissingFileIsReportedOnceAndItsHoldRunsAsUsual) {
    std::filesystem::remove(FindSoundLevel(SOUND_LOSS_DEVICE)->file);
    for (int round = 0; round < 2; ++round) {
        Request(SOUND_LOSS_DEVICE);
        Advance(6000);
    }
    EXPECT_EQ(TakeCalls(), (Calls{"0 play sound/loss_device.wav", "5100 stop",
                                  "6000 play sound/loss_device.wav", "11100 stop"}));
    const Calls lines = LogLines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                                return line.starts_with(
                                    "Нет звукового файла sound/loss_device.wav: [2] ");
                            }),
              1);
}

TEST_F(SoundTest, DestructionDuringALoopedHoldEndsTheThreadAndSilencesTheOutput) {
    Request(SOUND_ALARM);
    Advance(500);
    // The fake clock never moves on by itself: the destruction must end the hold step.
    sound_.reset();
    EXPECT_EQ(TakeCalls(), (Calls{"0 play sound/alarm.wav looped", "500 stop"}));
    const Calls lines = LogLines();
    ASSERT_GE(lines.size(), 2U);
    EXPECT_EQ(lines[lines.size() - 2], "TSound::~TSound");
    EXPECT_EQ(lines.back(), "- SoundThreadFunction");
}

// Counts plays by file; every hold step passes at once, so the thread falls asleep often.
class CountingOutput final : public TSoundOutput {
public:
    void Play(const std::string& file, bool) override {
        std::lock_guard lock(lock_);
        ++plays_[file];
        changed_.notify_all();
    }
    // Gives a request the chance to arrive while the thread falls asleep.
    void Stop() override { std::this_thread::yield(); }

    int Plays(const std::string& file) {
        std::lock_guard lock(lock_);
        return plays_[file];
    }
    bool WaitPlays(const std::string& file, int count) {
        std::unique_lock lock(lock_);
        return changed_.wait_for(lock, patience, [&] { return plays_[file] >= count; });
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::map<std::string, int> plays_;
};

class YieldClock final : public TSoundClock {
public:
    void Sleep(int) override { std::this_thread::yield(); }
    void Cancel() override {}
};

TEST(SoundThreads, NoRequestIsLostWhileTheThreadFallsAsleep) {
    FakeSettings settings;
    CountingOutput output;
    TSound sound(nullptr, &settings, &output, std::make_unique<YieldClock>());
    constexpr int callers = 4;
    // Each round the callers hammer levels that make the thread play and fall asleep, then one
    // asks for the round's target, which the last round did not leave sounding: it must play.
    for (int round = 0; round < 100; ++round) {
        const TSoundLevel target = round % 2 == 0 ? SOUND_ALARM : SOUND_ATTENTION;
        const std::string file = FindSoundLevel(target)->file;
        const int plays = output.Plays(file);
        std::barrier sync(callers);
        std::vector<std::jthread> threads;
        for (int caller = 0; caller < callers; ++caller) {
            threads.emplace_back([&, caller] {
                std::minstd_rand random(static_cast<unsigned>(round * callers + caller));
                const TSoundLevel noise[] = {SOUND_OFF, SOUND_NEW_DEVICE, SOUND_RECOVERY_DEVICE,
                                             static_cast<TSoundLevel>(8),
                                             static_cast<TSoundLevel>(-1)};
                for (int i = 0; i < 20; ++i) {
                    sound.SetSound(noise[random() % std::size(noise)]);
                }
                sync.arrive_and_wait();
                if (caller == 0) {
                    sound.SetSound(target);
                }
            });
        }
        threads.clear();
        ASSERT_TRUE(output.WaitPlays(file, plays + 1)) << "round " << round;
    }
}

} // namespace
