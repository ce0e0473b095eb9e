// Exports and copies of a database that is being written: what ends under the chosen name, and
// which records an export holds when records arrive while it reads.
#include "database/backup.h"
#include "records/audit.h"
#include "records/record_export.h"

#include "support/device_fixture.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>

namespace {

constexpr std::uint32_t ID = 0x0000BEEF;

class RecordExport : public ::testing::Test, public DeviceFixture {
public:
    void AddRecords(int n) {
        for (int i = 0; i < n; ++i) {
            ASSERT_TRUE(sqlite->InsertRecord(TEventRecord{0, ID, 1000 + i, 1, i}));
        }
    }

protected:
    void SetUp() override {
        TDeviceRecord d{};
        d.device_id = ID;
        ASSERT_TRUE(sqlite->InsertDevice(d));
        AddRecords(2500);
    }
    // The files of the folder whose names begin with `prefix`.
    std::vector<std::string> Files(const std::string& prefix) const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            if (entry.path().filename().string().starts_with(prefix)) {
                names.push_back(entry.path().filename().string());
            }
        }
        return names;
    }
    std::vector<std::string> AuditOutcomes() {
        std::vector<TAuditRow> rows;
        EXPECT_TRUE(sqlite->SelectAudit(0, 10, rows));
        std::vector<std::string> outcomes;
        for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
            EXPECT_EQ(it->action, audit::EXPORT);
            outcomes.push_back(it->outcome);
        }
        return outcomes;
    }
};

// Keeps the ids it is given and stores `per_page` new records in the middle of every page.
class StoringWriter final : public TExportWriter {
public:
    StoringWriter(RecordExport& test, int per_page) : test_(test), per_page_(per_page) {}
    bool Begin(const TExportHeading&) override { return true; }
    bool Row(const TExportCells& cells, const TMessageStyle&) override {
        ids.push_back(std::stoi(cells[0]));
        if (ids.size() % TRecordExport::PAGE_ROWS == TRecordExport::PAGE_ROWS / 2) {
            test_.AddRecords(per_page_);
        }
        return true;
    }
    bool Finish() override { return true; }
    std::string Error() const override { return {}; }

    std::vector<int> ids;

private:
    RecordExport& test_;
    int per_page_;
};

TEST_F(RecordExport, RecordsStoredMeanwhileAreNeitherRepeatedNorMissed) {
    // More records each page than a page holds: every page read after the first starts
    // among rows already written.
    StoringWriter writer(*this, TRecordExport::PAGE_ROWS + 300);
    TRecordExport job(*sqlite, *record, TRecordFilter{.records_mask = 0x2}, writer);
    TRecordExport::TStep step = TRecordExport::TStep::More;
    while (step == TRecordExport::TStep::More) {
        step = job.Step();
    }
    ASSERT_EQ(step, TRecordExport::TStep::Done);
    ASSERT_EQ(writer.ids.size(), 2500U);
    for (std::size_t i = 0; i < writer.ids.size(); ++i) {
        ASSERT_EQ(writer.ids[i], 2500 - static_cast<int>(i));
    }
    EXPECT_EQ(job.Total(), 2500);
}

TEST_F(RecordExport, OnlyACompleteExportTakesTheChosenName) {
    const std::string out = dir.file("out.csv");
    TFileExport::TOptions options;
    options.out = out;
    options.filter.records_mask = 0x2;
    TAudit audit(log.get(), *sqlite);
    options.audit = &audit;

    // Cancelled after its first page: nothing under the name, no temporary file left.
    {
        TFileExport job(*sqlite, *record, options);
        ASSERT_TRUE(job.Start());
        ASSERT_EQ(job.Step(), TRecordExport::TStep::More);
        job.Cancel();
    }
    EXPECT_TRUE(Files("out.csv").empty());

    // A failure leaves the file that had the name as it was.
    std::ofstream(out) << "kept";
    options.filter.from = 2000;
    options.filter.to = 1000;
    {
        TFileExport job(*sqlite, *record, options);
        ASSERT_TRUE(job.Start());
        EXPECT_EQ(job.Step(), TRecordExport::TStep::Failed);
        EXPECT_NE(job.Error().find("раньше его начала"), std::string::npos) << job.Error();
    }
    EXPECT_EQ(ReadWholeFile(out), "kept");
    EXPECT_EQ(Files("out.csv"), std::vector<std::string>{"out.csv"});

    // The database itself is never the target.
    options.filter = TRecordFilter{.records_mask = 0x2};
    options.out = db_path;
    TFileExport onto_database(*sqlite, *record, options);
    EXPECT_FALSE(onto_database.Start());

    options.out = out;
    TFileExport job(*sqlite, *record, options);
    ASSERT_TRUE(job.Start());
    TRecordExport::TStep step = TRecordExport::TStep::More;
    while (step == TRecordExport::TStep::More) {
        step = job.Step();
    }
    ASSERT_EQ(step, TRecordExport::TStep::Done);
    EXPECT_EQ(job.Written(), 2500);
    EXPECT_TRUE(ReadWholeFile(out).starts_with("\xEF\xBB\xBF#;Device ID;"));
    EXPECT_EQ(Files("out.csv"), std::vector<std::string>{"out.csv"});
    EXPECT_EQ(AuditOutcomes(), (std::vector<std::string>{audit::CANCELLED, audit::FAILED,
                                                         audit::FAILED, audit::DONE}));
}

TEST(CsvField, QuotesWhatWouldSplitTheLine) {
    EXPECT_EQ(CsvField("Склад 1"), "Склад 1");
    EXPECT_EQ(CsvField("a;b"), "\"a;b\"");
    EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
    EXPECT_EQ(CsvField("one\ntwo"), "\"one\ntwo\"");
    EXPECT_EQ(CsvField("cr\r"), "\"cr\r\"");
}

TEST_F(RecordExport, BackupIsTheDatabaseAsItStoodAtTheStart) {
    const std::string out = dir.file("copy.db");
    TDatabaseBackup backup(2);
    ASSERT_TRUE(backup.Start(db_path, out));
    TDatabaseBackup::TStep step = backup.Step();
    ASSERT_EQ(step, TDatabaseBackup::TStep::More);
    // Records stored between the steps are not in the copy, which is whole all the same.
    AddRecords(500);
    int steps = 1;
    while (step == TDatabaseBackup::TStep::More) {
        step = backup.Step();
        ++steps;
    }
    ASSERT_EQ(step, TDatabaseBackup::TStep::Done) << backup.Error();
    EXPECT_GT(steps, 2);
    sqlite3* copy = nullptr;
    ASSERT_EQ(sqlite3_open_v2(out.c_str(), &copy, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(copy, "SELECT count( * ) FROM `record`;", -1, &statement, nullptr);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(statement, 0), 2500);
    sqlite3_finalize(statement);
    sqlite3_close(copy);
    EXPECT_EQ(Files("copy.db"), std::vector<std::string>{"copy.db"});

    TDatabaseBackup onto_itself;
    EXPECT_FALSE(onto_itself.Start(db_path, db_path));
    TDatabaseBackup foreign;
    EXPECT_FALSE(foreign.Start(dir.file("missing.db"), dir.file("copy2.db")));
    EXPECT_TRUE(Files("copy2.db").empty());
}

} // namespace
