// The device tree's rebuild of the largest table (64 panels of 256 loops and 128 relays, 91,264
// nodes) on the tree thread: the build alone, and a request from another thread until the new
// snapshot waits for the window. Neither runs on the GUI thread; bench_tree_view measures what
// the GUI thread spends on the swap.

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>

#include "device/device_tree.h"
#include "full_tree.h"
#include "support/device_fixture.h"

namespace {

class WaitingSink final : public TDeviceTreeSink {
public:
    void TreeSnapshotReady() override {
        std::lock_guard lock(lock_);
        ready_ = true;
        changed_.notify_all();
    }
    void Wait() {
        std::unique_lock lock(lock_);
        changed_.wait(lock, [this] { return ready_; });
        ready_ = false;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool ready_ = false;
};

struct FullTable {
    FullTable() { FillFullTable(*parts.device); }

    DeviceFixture parts;
    WaitingSink sink;
    TDeviceTree tree{parts.log.get(), *parts.device, *parts.record, sink};
};

FullTable& Table() {
    static FullTable table;
    return table;
}

void BM_TreeBuild(benchmark::State& state) {
    FullTable& t = Table();
    int nodes = 0;
    for (auto _ : state) {
        auto snapshot = t.tree.Build();
        nodes = snapshot->NodeCount();
        benchmark::DoNotOptimize(snapshot);
    }
    state.counters["nodes"] = nodes;
}
BENCHMARK(BM_TreeBuild)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TreeRequestToSnapshot(benchmark::State& state) {
    FullTable& t = Table();
    for (auto _ : state) {
        t.tree.TreeViewUpdate();
        t.sink.Wait();
        t.tree.Retire(t.tree.TakeSnapshot());
    }
}
BENCHMARK(BM_TreeRequestToSnapshot)->Unit(benchmark::kMillisecond)->UseRealTime();

// What a request costs its caller, the bus cycle thread: a count and a wake-up.
void BM_TreeRequest(benchmark::State& state) {
    FullTable& t = Table();
    // Requests during a rebuild merge into one more, so the tree thread keeps building meanwhile.
    for (auto _ : state) {
        t.tree.TreeViewUpdate();
    }
}
BENCHMARK(BM_TreeRequest)->Unit(benchmark::kMicrosecond);

} // namespace
