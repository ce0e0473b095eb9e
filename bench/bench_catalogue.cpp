// TRecord::GetRecordMessage with the shipped catalogue, as the record list and the tree call
// it: a mix of record and tree forms over loops, relays, acknowledgements and time stamps.
// Kept: the parsed catalogue stays in memory and each call only looks at the file's stamp.
// Re-read: the file's modification time moves before every call, so every call reads and
// parses the whole file again, as it would if the catalogue were not kept.

#include "support/temp_dir.h"

#include <benchmark/benchmark.h>

#include <array>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <stdlib.h>
#include <sys/stat.h>

#include "common/program_path.h"
#include "records/record.h"

namespace {

struct TCall {
    std::uint8_t type;
    std::int32_t value;
    bool for_record;
};

constexpr std::array<TCall, 8> calls = {{
    {LINE_STATE, MakeRecordValue(2, 0, 6), true},
    {LINE_STATE, MakeRecordValue(0, 0, 14), false},
    {MAX_STATE, 4, true},
    {MAX_STATE, 0, false},
    {RELAY_CONTROL, MakeRecordValue(1, 0, 2), false},
    {LINE_ON_OFF, MakeRecordValue(3, 2, 1), true},
    {RELAY_SET_MODE, MakeRecordValue(0, 2, 1), true},
    {SYNCHRO_TIME, 1700000000, true},
}};

// A copy of the shipped catalogue in a folder of its own, whose time the benchmark may move.
class TCatalogueCopy {
public:
    TCatalogueCopy() {
        std::filesystem::copy_file(ProgramDir() + "/TevMessages.ini", dir_.file("TevMessages.ini"));
    }

    const std::string& Dir() const { return dir_.path(); }

private:
    TempDir dir_;
};

void FormatAll(benchmark::State& state, bool reread) {
    const TCatalogueCopy copy;
    const TRecord record(TRecordLinks{nullptr, nullptr, copy.Dir()});
    const std::string path = record.GetCataloguePath();
    TMessageStyle style;
    std::string text;
    std::size_t next = 0;
    long long failures = 0;
    timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 0}};
    for (auto _ : state) {
        if (reread) {
            times[1].tv_nsec = (times[1].tv_nsec + 1) % 1000000000;
            ::utimensat(AT_FDCWD, path.c_str(), times, 0);
        }
        const TCall& call = calls[next++ % calls.size()];
        if (!record.GetRecordMessage(call.type, call.value, call.for_record, style, text)) {
            ++failures;
        }
        benchmark::DoNotOptimize(text.data());
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["failures"] = static_cast<double>(failures);
}

void BM_GetRecordMessage_Kept(benchmark::State& state) {
    FormatAll(state, false);
}
BENCHMARK(BM_GetRecordMessage_Kept);

void BM_GetRecordMessage_ReadEveryCall(benchmark::State& state) {
    FormatAll(state, true);
}
BENCHMARK(BM_GetRecordMessage_ReadEveryCall);

} // namespace
