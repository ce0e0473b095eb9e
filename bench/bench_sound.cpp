// The costs of the alarm sound player: a request made by the bus cycle thread, the time from a
// request to the start of playback when the sound thread sleeps, and closing the player while
// it holds a looped level. The output only counts its calls.

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "audio/sound.h"

namespace {

class CountingOutput final : public TSoundOutput {
public:
    void Play(const std::string&, bool) override { Count(plays_); }
    void Stop() override { Count(stops_); }

    int Plays() { return Read(plays_); }
    int Stops() { return Read(stops_); }
    void WaitPlays(int count) { Wait(plays_, count); }
    void WaitStops(int count) { Wait(stops_, count); }

private:
    void Count(int& counter) {
        std::lock_guard lock(lock_);
        ++counter;
        changed_.notify_all();
    }
    int Read(const int& counter) {
        std::lock_guard lock(lock_);
        return counter;
    }
    void Wait(const int& counter, int count) {
        std::unique_lock lock(lock_);
        changed_.wait(lock, [&] { return counter >= count; });
    }

    std::mutex lock_;
    std::condition_variable changed_;
    int plays_ = 0;
    int stops_ = 0;
};

using Clock = std::chrono::steady_clock;

void BM_RequestWhileHolding(benchmark::State& state) {
    CountingOutput output;
    TSound sound(nullptr, nullptr, &output);
    sound.SetSound(SOUND_ALARM);
    output.WaitPlays(1);
    for (auto _ : state) {
        sound.SetSound(SOUND_ALARM);
    }
}
BENCHMARK(BM_RequestWhileHolding);

// Putting the thread to sleep takes up to one hold step, so the iterations are counted out.
void BM_RequestToPlayWhenAsleep(benchmark::State& state) {
    CountingOutput output;
    TSound sound(nullptr, nullptr, &output);
    for (auto _ : state) {
        const int stops = output.Stops();
        sound.SetSound(SOUND_OFF);
        output.WaitStops(stops + 1);
        const int plays = output.Plays();
        const auto start = Clock::now();
        sound.SetSound(SOUND_NEW_DEVICE);
        output.WaitPlays(plays + 1);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
}
BENCHMARK(BM_RequestToPlayWhenAsleep)
    ->UseManualTime()
    ->Iterations(100)
    ->Unit(benchmark::kMicrosecond);

void BM_CloseWhileHoldingTheAlarm(benchmark::State& state) {
    CountingOutput output;
    for (auto _ : state) {
        auto sound = std::make_unique<TSound>(nullptr, nullptr, &output);
        const int plays = output.Plays();
        sound->SetSound(SOUND_ALARM);
        output.WaitPlays(plays + 1);
        const auto start = Clock::now();
        sound.reset();
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
}
BENCHMARK(BM_CloseWhileHoldingTheAlarm)
    ->UseManualTime()
    ->Iterations(200)
    ->Unit(benchmark::kMicrosecond);

} // namespace
