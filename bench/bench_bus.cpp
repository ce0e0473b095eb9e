// The bus cycle fed faster than 9600 baud through a pseudo-terminal, with the real service,
// handlers and database behind it: frames handled per second, the time from the last byte of
// an answer to its record being stored, and how soon after the PC's request a panel may answer.
#include "database/record_types.h"
#include "sim/bus_sim.h"
#include "support/device_fixture.h"
#include "support/pty_pair.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>

namespace {

constexpr int COM = 9;
constexpr std::uint32_t ID = 0x5A5A0001;

// A GET_STATE answer of the device with the given state byte, encoded for the wire.
std::vector<std::uint8_t> StateAnswer(TKordeya32& codec, std::uint8_t flags) {
    const std::vector<std::uint8_t> payload = StatePayload(flags, 0);
    codec.BeginFrame(static_cast<std::uint16_t>(payload.size() + frame::HEADER_LENGTH));
    codec.PutByte(1); // an answer
    codec.PutByte(0);
    codec.PutDword(0x00000A11);
    codec.PutByte(7);
    codec.PutDword(ID);
    codec.PutByte(GET_STATE);
    for (const std::uint8_t b : payload) {
        codec.PutByte(b);
    }
    codec.EndFrame();
    return {codec.TransmitBuffer(), codec.TransmitBuffer() + codec.TransmitLength()};
}

// The service listening on one end of a pseudo-terminal, the benchmark talking on the other.
class BusRig {
public:
    BusRig() {
        pty.LinkAs(fixture.dir.path(), COM);
        fixture.settings.com_num = COM;
        fixture.settings.is_sound = false;
        fixture.device->SetService(true);
        quiet = StateAnswer(codec, 0x01);
        Feed(quiet);
        while (fixture.device->GetCount() == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        entry = fixture.device->GetItem(0);
        entry->info_complete = true; // every change is recorded from now on
    }
    ~BusRig() { fixture.device->SetService(false); }

    void Feed(const std::vector<std::uint8_t>& bytes) { pty.Send(bytes); }

    // Sends an answer that changes the device state and waits until its record is stored (the
    // handler stores the state only after the record); returns the seconds it took.
    double ChangeAndWait(std::uint8_t state) {
        const std::vector<std::uint8_t> answer = StateAnswer(codec, state);
        const auto start = std::chrono::steady_clock::now();
        Feed(answer);
        while (entry->state != (state & 3)) {
        }
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

    DeviceFixture fixture;
    PtyPair pty;
    TKordeya32 codec{"", 0x01020304u, TPosixSerialSys::Instance()};
    std::vector<std::uint8_t> quiet;
    TDeviceEntry* entry = nullptr;
};

void BM_AnswerToRecordLatency(benchmark::State& state) {
    BusRig rig;
    std::uint8_t next = 2;
    for (auto _ : state) {
        state.SetIterationTime(rig.ChangeAndWait(next));
        next = next == 2 ? 3 : 2;
    }
}
BENCHMARK(BM_AnswerToRecordLatency)->UseManualTime()->Unit(benchmark::kMillisecond);

// Batches of answers that change nothing, closed by one that makes a record.
void BM_FramesPerSecond(benchmark::State& state) {
    const int batch = static_cast<int>(state.range(0));
    BusRig rig;
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < batch - 1; ++i) {
        bytes.insert(bytes.end(), rig.quiet.begin(), rig.quiet.end());
    }
    std::uint8_t next = 2;
    for (auto _ : state) {
        // Timed from the first byte of the batch: the service reads while the batch is written.
        const auto start = std::chrono::steady_clock::now();
        rig.Feed(bytes);
        rig.ChangeAndWait(next);
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        next = next == 2 ? 3 : 2;
        rig.ChangeAndWait(1); // back to quiet, untimed
    }
    state.counters["frames_per_s"] = benchmark::Counter(
        static_cast<double>(batch), benchmark::Counter::kIsIterationInvariantRate);
    // 9600 baud carries about 960 bytes a second.
    state.counters["wire_x_9600"] =
        benchmark::Counter(static_cast<double>(batch * rig.quiet.size()) / 960.0,
                           benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_FramesPerSecond)->Arg(200)->UseManualTime()->Unit(benchmark::kMillisecond);

// The simulator's panel begins its answer to the service's request the given microseconds after
// the request's last byte. Each iteration changes a loop and waits until the service has it;
// asked_per_change counts the service's requests for the loops per change: 1 when every answer
// was taken the first time, more when answers were lost and asked for again.
void BM_AnswerDelay(benchmark::State& state) {
    DeviceFixture fixture;
    fixture.settings.com_num = COM;
    fixture.settings.is_sound = false;
    TSimScenario scenario;
    TSimDeviceConfig panel;
    panel.key = 1;
    panel.address = 7;
    panel.id = ID;
    panel.lines = 8;
    scenario.devices.push_back(panel);
    TSimOptions options;
    options.ports_dir = fixture.dir.path();
    options.com = COM;
    options.pace = TSimPace::Fast;
    options.answer_delay_ms = static_cast<double>(state.range(0)) / 1000;
    TBusSim sim;
    std::string error;
    if (!sim.Start(options, scenario, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    fixture.device->SetService(true);
    while (fixture.device->GetCount() == 0 || !fixture.device->GetItem(0)->info_complete) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const TDeviceEntry& entry = *fixture.device->GetItem(0);
    const auto asked = [&sim] {
        int n = 0;
        for (const TSimJournalEntry& e : sim.Journal().Since()) {
            n += e.kind == TSimEntryKind::Received && e.command == GET_LINES ? 1 : 0;
        }
        return n;
    };
    const int before = asked();
    std::uint8_t code = statecode::LOOP_NORMAL;
    for (auto _ : state) {
        code = code == statecode::LOOP_NORMAL ? statecode::LOOP_FIRE : statecode::LOOP_NORMAL;
        sim.Inject(DeviceEvent(TSimAction::Loop, 1, code, 0), error);
        while (entry.line[0].state != code) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }
    state.counters["asked_per_change"] =
        static_cast<double>(asked() - before) / static_cast<double>(state.iterations());
    fixture.device->SetService(false);
    sim.Stop();
}
BENCHMARK(BM_AnswerDelay)
    ->Arg(0)
    ->Arg(100)
    ->Arg(500)
    ->Arg(3000)
    ->Iterations(100)
    ->Unit(benchmark::kMillisecond);

} // namespace
