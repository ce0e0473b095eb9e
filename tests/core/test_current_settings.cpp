#include "ui/settings/current_settings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "common/program_path.h"

namespace {

TEST(CurrentSettings, AsBuiltBeforeTheSettingsFileIsRead) {
    const TCurrentSettings settings;
    EXPECT_EQ(settings.GetRecordsMask(), 2147483647);
    EXPECT_EQ(settings.GetShowLines(), 50) << "an empty text is not a number";
    EXPECT_EQ(settings.GetComNum(), 0);
    EXPECT_EQ(TCurrentSettings::DefaultDBFile(), ProgramDir() + "/default.db");
}

TEST(CurrentSettings, RecordsPerPageAreClampedOnlyWhenSet) {
    TCurrentSettings settings;
    settings.SetShowLines(5);
    EXPECT_EQ(settings.GetShowLinesText(), "10");
    settings.SetShowLines(1000);
    EXPECT_EQ(settings.GetShowLinesText(), "300");
    settings.SetShowLines(-2147483647 - 1);
    EXPECT_EQ(settings.GetShowLines(), 10);
    settings.SetShowLines(123);
    EXPECT_EQ(settings.GetShowLines(), 123);

    settings.SetShowLinesText("7");
    EXPECT_EQ(settings.GetShowLines(), 7) << "the read does not clamp";
    settings.SetShowLinesText("abc");
    EXPECT_EQ(settings.GetShowLines(), 50);
    settings.SetShowLinesText("99999999999");
    EXPECT_EQ(settings.GetShowLines(), 50);
    // Normalising replaces a text that is not a number by "50".
    settings.SetShowLines(settings.GetShowLines());
    EXPECT_EQ(settings.GetShowLinesText(), "50");
}

TEST(CurrentSettings, TheConfiguredPortIsKeptWhateverTheScanFound) {
    TCurrentSettings settings;
    settings.SetComNum(9);
    EXPECT_EQ(settings.GetComNum(), 9) << "before any scan: an adapter not plugged in yet";

    settings.SetComPorts({1, 3});
    EXPECT_EQ(settings.GetComNum(), 9) << "a scan that does not find it leaves it configured";
    settings.SetComNum(7);
    EXPECT_EQ(settings.GetComNum(), 7);
    settings.SetComNum(3);
    EXPECT_EQ(settings.GetComNum(), 3);
    settings.SetComPorts({5});
    EXPECT_EQ(settings.GetComNum(), 3) << "a port gone from the list is still the one to open";

    // Only 1..255 names a port; anything else (the file's -1 among them) is none.
    for (const int none : {-1, 0, 256, 99999}) {
        settings.SetComNum(none);
        EXPECT_EQ(settings.GetComNum(), 0) << none;
    }
    settings.SetComNum(255);
    EXPECT_EQ(settings.GetComNum(), 255);

    settings.SetComPorts({0, 1, 255, 256, -4});
    EXPECT_EQ(settings.GetComPorts(), (std::vector<int>{1, 255}));
}

TEST(CurrentSettings, ReadsFromOtherThreadsWhileTheGuiWrites) {
    TCurrentSettings settings;
    settings.SetComPorts({1, 2});
    std::atomic<bool> running{true};
    std::vector<std::thread> readers;
    std::atomic<long> checks{0};
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            while (running) {
                const int lines = settings.GetShowLines();
                const int port = settings.GetComNum();
                const std::string db = settings.GetDBFile();
                EXPECT_TRUE(lines == 50 || lines == 10 || lines == 300) << lines;
                EXPECT_TRUE(port >= 0 && port <= 2) << port;
                EXPECT_TRUE(db.empty() || db == "/a/first.db" || db == "/b/second.db") << db;
                (void)(settings.GetCtrlDtr() + settings.GetCtrlRts() + settings.GetCtrlInv() +
                       settings.GetIsSound() + settings.GetIsAutoRun());
                (void)settings.GetRecordsMask();
                ++checks;
            }
        });
    }
    // Write until the readers have read a good many values in between.
    for (int i = 0; i < 2000 || checks < 2000; ++i) {
        settings.SetShowLines(i % 2 == 0 ? 5 : 1000);
        settings.SetComNum(i % 3);
        settings.SetDBFile(i % 2 == 0 ? "/a/first.db" : "/b/second.db");
        settings.SetCtrlDtr(i % 2 == 0);
        settings.SetCtrlRts(i % 3 == 0);
        settings.SetCtrlInv(i % 5 == 0);
        settings.SetIsSound(i % 7 == 0);
        settings.SetIsAutoRun(i % 11 == 0);
        settings.SetRecordsMask(i);
    }
    running = false;
    for (auto& reader : readers) {
        reader.join();
    }
}

} // namespace
