// The record database after years of events: 10^4, 10^6 and 10^7 records of 64 devices over
// all 28 types. Each database is made once per run in a temporary folder, in one bulk
// transaction, and shared by the measurements of its size; the folder goes at exit. With
// KTEV_BENCH_DB_CACHE naming a folder, the filled files are kept there and copied on later runs.
//
// BM_StoreRecord is what event recording does against the database for one event (the insert,
// then the recount of the masked records), with the flush the bus cycle makes at the end of a
// pass after every `per_flush` of them: 1 costs what synchronous=FULL does, a flush per commit;
// 18 is a bus at its most, 56 frames a second, bringing 1,000 records a second; 0 never
// flushes, as the database ran before. BM_FirstInit opens a database made before the index of
// the counts and the block counts existed, so it includes building both once.
//
// BM_FilteredPage reads a page as the record list does with a filter set, the count of the
// filter with it; BM_FilteredCount the count alone. The filters: one device of the 64 (none:
// every record), the tenth of the records in the middle of their time, three types of the 28,
// and one device's records of three types in the middle half of the time.
//
// BM_Export writes every record of 10^6 into a file as File > "Экспорт" does, a page at a time
// (format 0 CSV, 1 XLSX); peak_rss_mib is the process's peak resident memory during the export
// (the peak is reset before it), rss_before_mib what the process held when it began.

#include "support/temp_dir.h"

#include <benchmark/benchmark.h>

#include <sqlite3.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "common/settings.h"
#include "database/record_filter.h"
#include "database/record_types.h"
#include "database/sqlite.h"
#include "records/record.h"
#include "records/record_export.h"

namespace {

class AllRecordsSettings : public TSettings {
public:
    std::string GetDBFile() const override { return {}; }
    int GetShowLines() const override { return PageRows; }
    int GetComNum() const override { return 0; }
    bool GetCtrlDtr() const override { return false; }
    bool GetCtrlRts() const override { return false; }
    bool GetCtrlInv() const override { return false; }
    bool GetCtrlRs485() const override { return false; }
    bool GetIsSound() const override { return false; }
    bool GetSoundUntilAck() const override { return false; }
    bool GetIsAutoRun() const override { return false; }
    int GetRecordsMask() const override { return RECORDS_MASK_ALL; }

    static constexpr int PageRows = SHOW_LINES_MAX;
};

constexpr std::uint32_t FirstDeviceId = 0x10000000;
constexpr int DeviceCount = 64;
constexpr std::int64_t FirstUtime = 1500000000;
constexpr std::int64_t UtimeStep = 5;

class BenchFolder {
public:
    std::string File(std::int64_t records) const {
        return dir_.file("records-" + std::to_string(records) + ".db");
    }

private:
    TempDir dir_;
};

struct BenchDatabase {
    std::string path;
    double first_init_seconds = 0;
};

bool Exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// Tables made by TSQLite itself, the index and the block counts dropped again, then every row
// in one transaction.
bool Fill(const std::string& path, std::int64_t records) {
    const AllRecordsSettings settings;
    {
        TSQLite maker(nullptr, settings);
        if (!maker.Init(path)) {
            return false;
        }
    }
    sqlite3* db = nullptr;
    bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
              Exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; DROP INDEX "
                       "`record_device_type`; DROP TRIGGER `record_block_insert`; DROP TRIGGER "
                       "`record_block_delete`; DROP TRIGGER `record_block_update`; DROP TABLE "
                       "`record_block`; DROP TABLE `record_block_type`; BEGIN;");
    sqlite3_stmt* device = nullptr;
    sqlite3_stmt* record = nullptr;
    ok = ok &&
         sqlite3_prepare_v2(db,
                            "INSERT INTO `device` ( `device_id`, `address`, `const_name`, "
                            "`user_name`, `lines`, `sensors`, `relays`, `archives`, `remote` ) "
                            "VALUES ( ?1, ?2, 'Прибор', 'Объект', 8, 16, 4, 0, 1023 );",
                            -1, &device, nullptr) == SQLITE_OK &&
         sqlite3_prepare_v2(db,
                            "INSERT INTO `record` (`device_id`, `utime`, `type`, `value`) "
                            "VALUES (?1, ?2, ?3, ?4);",
                            -1, &record, nullptr) == SQLITE_OK;
    for (int i = 0; ok && i < DeviceCount; ++i) {
        sqlite3_bind_int(device, 1, static_cast<int>(FirstDeviceId) + i);
        sqlite3_bind_int(device, 2, i + 1);
        ok = sqlite3_step(device) == SQLITE_DONE && sqlite3_reset(device) == SQLITE_OK;
    }
    for (std::int64_t i = 0; ok && i < records; ++i) {
        sqlite3_bind_int(record, 1, static_cast<int>(FirstDeviceId + (i * 7) % DeviceCount));
        sqlite3_bind_int64(record, 2, FirstUtime + i * UtimeStep);
        sqlite3_bind_int64(record, 3, (i * 13) % RECORD_TYPE_COUNT);
        sqlite3_bind_int64(record, 4, i % 6);
        ok = sqlite3_step(record) == SQLITE_DONE && sqlite3_reset(record) == SQLITE_OK;
    }
    sqlite3_finalize(device);
    sqlite3_finalize(record);
    ok = ok && Exec(db, "COMMIT;");
    sqlite3_close(db);
    return ok;
}

// Writing 10^7 rows takes minutes, so a kept copy is filled once and copied on later runs. The
// copy is taken before the first Init, so that every run still measures building the index.
bool FillOrCopy(const std::string& path, std::int64_t records) {
    const char* cache = std::getenv("KTEV_BENCH_DB_CACHE");
    if (cache == nullptr || *cache == '\0') {
        return Fill(path, records);
    }
    const std::filesystem::path kept =
        std::filesystem::path(cache) / ("records-" + std::to_string(records) + ".db");
    std::error_code error;
    if (!std::filesystem::exists(kept, error)) {
        // Only a complete file gets the kept name: an interrupted fill is made again.
        std::filesystem::path partial = kept;
        partial += ".partial";
        std::filesystem::create_directories(cache, error);
        std::filesystem::remove(partial, error);
        if (!Fill(partial.string(), records)) {
            return false;
        }
        std::filesystem::rename(partial, kept, error);
        if (error) {
            return false;
        }
    }
    return std::filesystem::copy_file(kept, path, error);
}

// The database of a size, made on first use.
const BenchDatabase* Database(std::int64_t records) {
    static BenchFolder folder;
    static std::map<std::int64_t, BenchDatabase> made;
    const auto found = made.find(records);
    if (found != made.end()) {
        return &found->second;
    }
    BenchDatabase database{folder.File(records)};
    if (!FillOrCopy(database.path, records)) {
        return nullptr;
    }
    const AllRecordsSettings settings;
    TSQLite sqlite(nullptr, settings);
    const auto started = std::chrono::steady_clock::now();
    if (!sqlite.Init(database.path)) {
        return nullptr;
    }
    database.first_init_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return &made.emplace(records, database).first->second;
}

// An open database of the benchmark's size; the benchmark is skipped when it cannot be made.
class OpenDatabase {
public:
    explicit OpenDatabase(benchmark::State& state)
        : database_(Database(state.range(0))), sqlite_(nullptr, settings_) {
        if (database_ == nullptr || !sqlite_.Init(database_->path)) {
            state.SkipWithError("the database could not be made");
            database_ = nullptr;
        }
    }
    bool ok() const { return database_ != nullptr; }
    const BenchDatabase& database() const { return *database_; }
    TSQLite& sqlite() { return sqlite_; }

private:
    const BenchDatabase* database_;
    const AllRecordsSettings settings_;
    TSQLite sqlite_;
};

void Sizes(benchmark::internal::Benchmark* bench) {
    bench->Arg(10'000)->Arg(1'000'000)->Arg(10'000'000)->ArgName("records");
}

void BM_StoreRecord(benchmark::State& state) {
    OpenDatabase open(state);
    if (!open.ok()) {
        return;
    }
    const std::int64_t per_flush = state.range(1);
    std::int64_t unflushed = 0;
    TEventRecord record{0, FirstDeviceId + 5, 1700000000, 4, 0x0103};
    for (auto _ : state) {
        ++record.utime;
        if (!open.sqlite().InsertRecord(record)) {
            state.SkipWithError("InsertRecord failed");
            break;
        }
        benchmark::DoNotOptimize(open.sqlite().RecountRecordsMaskCount());
        if (per_flush > 0 && ++unflushed == per_flush) {
            unflushed = 0;
            if (!open.sqlite().Sync()) {
                state.SkipWithError("Sync failed");
                break;
            }
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StoreRecord)
    ->ArgsProduct({{10'000, 1'000'000, 10'000'000}, {0, 1, 18}})
    ->ArgNames({"records", "per_flush"})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// Reads the page at `offset` from the newest record: 300 rows, the most a page shows. With
// `total`, the count of the filter as well, as the record list reads a filtered page.
void ReadPages(benchmark::State& state, TSQLite& sqlite, std::int64_t offset,
               const TRecordFilter& filter = {}, std::int64_t* total = nullptr) {
    std::vector<TRecordRow> rows(AllRecordsSettings::PageRows);
    for (auto _ : state) {
        int count = AllRecordsSettings::PageRows;
        if (!sqlite.SelectRecords(filter, offset, count, rows, total) ||
            count != AllRecordsSettings::PageRows) {
            state.SkipWithError("SelectRecords did not read a full page");
            break;
        }
        benchmark::DoNotOptimize(rows.data());
    }
}

void BM_NewestPage(benchmark::State& state) {
    OpenDatabase open(state);
    if (open.ok()) {
        ReadPages(state, open.sqlite(), 0);
    }
}
BENCHMARK(BM_NewestPage)->Apply(Sizes)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_LastPage(benchmark::State& state) {
    OpenDatabase open(state);
    if (open.ok()) {
        ReadPages(state, open.sqlite(),
                  open.sqlite().GetRecordsMaskCount() - AllRecordsSettings::PageRows);
    }
}
BENCHMARK(BM_LastPage)->Apply(Sizes)->Unit(benchmark::kMillisecond)->UseRealTime();

// The slowest page: as far from the newest as from the oldest record.
void BM_MiddlePage(benchmark::State& state) {
    OpenDatabase open(state);
    if (open.ok()) {
        ReadPages(state, open.sqlite(), open.sqlite().GetRecordsMaskCount() / 2);
    }
}
BENCHMARK(BM_MiddlePage)->Apply(Sizes)->Unit(benchmark::kMillisecond)->UseRealTime();

// Filter 0 is the default, 1 one device of the 64, 2 the tenth of the records in the middle of
// their time, 3 three types of the 28, 4 one device's records of three types in the middle half
// of the time. Device 5 has records of types 3, 7, 11, 15, 19, 23 and 27 (`Fill` deals them
// round).
TRecordFilter MakeFilter(std::int64_t kind, std::int64_t records) {
    const auto at = [&](double share) {
        return FirstUtime +
               static_cast<std::int64_t>(static_cast<double>(records) * share) * UtimeStep;
    };
    switch (kind) {
    case 1:
        return {.device_id = FirstDeviceId + 5};
    case 2:
        return {.from = at(0.45), .to = at(0.55)};
    case 3:
        return {.records_mask = (1 << 4) | (1 << 13)};
    case 4:
        return {.device_id = FirstDeviceId + 5,
                .from = at(0.25),
                .to = at(0.75),
                .records_mask = (1 << 3) | (1 << 15) | (1 << 27)};
    default:
        return {};
    }
}

// Place 0 is the newest page, 1 the middle one, 2 the oldest.
void BM_FilteredPage(benchmark::State& state) {
    OpenDatabase open(state);
    if (!open.ok()) {
        return;
    }
    const TRecordFilter filter = MakeFilter(state.range(1), state.range(0));
    std::int64_t total = 0;
    if (!open.sqlite().CountRecords(filter, total) || total < AllRecordsSettings::PageRows) {
        state.SkipWithError("the filter selects less than a page");
        return;
    }
    const std::array<std::int64_t, 3> offsets = {0, total / 2,
                                                 total - AllRecordsSettings::PageRows};
    ReadPages(state, open.sqlite(), offsets[static_cast<std::size_t>(state.range(2))], filter,
              &total);
    state.counters["selected"] = static_cast<double>(total);
}
// A device's records fill no page of 300 among 10^4.
BENCHMARK(BM_FilteredPage)
    ->ArgsProduct({{1'000'000, 10'000'000}, {1, 2, 3, 4}, {0, 1, 2}})
    ->ArgNames({"records", "filter", "place"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_FilteredCount(benchmark::State& state) {
    OpenDatabase open(state);
    if (!open.ok()) {
        return;
    }
    const TRecordFilter filter = MakeFilter(state.range(1), state.range(0));
    std::int64_t total = 0;
    for (auto _ : state) {
        if (!open.sqlite().CountRecords(filter, total)) {
            state.SkipWithError("CountRecords failed");
            break;
        }
    }
    state.counters["selected"] = static_cast<double>(total);
}
BENCHMARK(BM_FilteredCount)
    ->ArgsProduct({{10'000, 1'000'000, 10'000'000}, {0, 1, 2, 3, 4}})
    ->ArgNames({"records", "filter"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_Init(benchmark::State& state) {
    OpenDatabase open(state);
    if (!open.ok()) {
        return;
    }
    for (auto _ : state) {
        if (!open.sqlite().Init(open.database().path)) {
            state.SkipWithError("Init failed");
            break;
        }
    }
}
BENCHMARK(BM_Init)->Apply(Sizes)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_FirstInit(benchmark::State& state) {
    const BenchDatabase* database = Database(state.range(0));
    if (database == nullptr) {
        state.SkipWithError("the database could not be made");
        return;
    }
    for (auto _ : state) {
        state.SetIterationTime(database->first_init_seconds);
    }
}
BENCHMARK(BM_FirstInit)
    ->Apply(Sizes)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(1);

// A size of the process's memory from /proc/self/status ("VmRSS", "VmHWM"), in MiB.
double ProcessMib(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with(field + ":")) {
            return std::stod(line.substr(field.size() + 1)) / 1024;
        }
    }
    return 0;
}

void BM_Export(benchmark::State& state) {
    OpenDatabase open(state);
    if (!open.ok()) {
        return;
    }
    const TRecord record(TRecordLinks{});
    const TempDir out;
    TFileExport::TOptions options;
    options.format = static_cast<TExportFormat>(state.range(1));
    options.out = out.file("records");
    options.filter.records_mask = RECORDS_MASK_ALL;
    double before = 0;
    double peak = 0;
    std::int64_t written = 0;
    for (auto _ : state) {
        // Writing 5 resets the peak the kernel keeps (VmHWM) to the present size.
        std::ofstream("/proc/self/clear_refs") << "5";
        before = ProcessMib("VmRSS");
        TFileExport job(open.sqlite(), record, options);
        TRecordExport::TStep step =
            job.Start() ? TRecordExport::TStep::More : TRecordExport::TStep::Failed;
        while (step == TRecordExport::TStep::More) {
            step = job.Step();
        }
        if (step != TRecordExport::TStep::Done) {
            state.SkipWithError(job.Error().c_str());
            break;
        }
        written = job.Written();
        peak = ProcessMib("VmHWM");
    }
    state.counters["rows"] = static_cast<double>(written);
    state.counters["rss_before_mib"] = before;
    state.counters["peak_rss_mib"] = peak;
}
BENCHMARK(BM_Export)
    ->ArgsProduct({{1'000'000}, {0, 1}})
    ->ArgNames({"records", "format"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

} // namespace
