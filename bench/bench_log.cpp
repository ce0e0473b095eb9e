// TLog::Add as the bus cycle thread sees it: the time one call holds the caller, alone and
// while other threads log at full speed. The file is /dev/null and there is no pane, so a
// flush costs little; the measuring thread drains the queue (timing paused) before it fills,
// so every measured call takes a slot unless the contenders filled the queue first.

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>
#include <vector>

#include "log/log.h"

namespace {

constexpr const char* text = "TDevice::CmdCoreGetState, address: 12, state: 3 -> 5";

void DrainWhenNearlyFull(benchmark::State& state, TLog& log) {
    if (log.GetQueuePos() >= 250) {
        state.PauseTiming();
        log.Flush();
        state.ResumeTiming();
    }
}

void BM_LogAdd(benchmark::State& state) {
    const int contenders = static_cast<int>(state.range(0));
    TLog log(nullptr, nullptr, "/dev/null");
    std::atomic<bool> running{true};
    std::vector<std::thread> others;
    for (int i = 0; i < contenders; ++i) {
        others.emplace_back([&] {
            while (running.load(std::memory_order_relaxed)) {
                log.Add("Заполнение очереди другим потоком", LOG_TYPE_INFO);
            }
        });
    }
    for (auto _ : state) {
        log.Add(text, LOG_TYPE_ERROR);
        DrainWhenNearlyFull(state, log);
    }
    running = false;
    for (auto& other : others) {
        other.join();
    }
    state.counters["queue_max"] = log.GetQueueMaxPos();
}
BENCHMARK(BM_LogAdd)->Arg(0)->Arg(1)->Arg(3)->ArgName("contenders")->UseRealTime();

void BM_LogAddfFormatted(benchmark::State& state) {
    TLog log(nullptr, nullptr, "/dev/null");
    int value = 0;
    for (auto _ : state) {
        TLog::Addf(&log, LOG_TYPE_INFO, "%s, %d, %s", "TDevice::SetService", ++value, "COM3");
        DrainWhenNearlyFull(state, log);
    }
}
BENCHMARK(BM_LogAddfFormatted);

void BM_LogAddDebugWhileOff(benchmark::State& state) {
    TLog log(nullptr, nullptr, "/dev/null");
    for (auto _ : state) {
        TLog::Addf(&log, LOG_TYPE_DEBUG, "%s, %d", "TDevice::CmdCoreGetState", 12);
    }
    benchmark::DoNotOptimize(log.GetQueuePos());
}
BENCHMARK(BM_LogAddDebugWhileOff);

} // namespace
