// Faults of the files around the running service: the database locked by another process, made
// read-only or on a full disk; the catalogue broken while the bus runs; a damaged settings file.
// Each must leave a clear log line, crash nothing and recover once the cause goes away, with no
// event lost or doubled.
#include "database/record_types.h"
#include "records/style_cell.h"
#include "support/bus_fixture.h"
#include "support/fault_vfs.h"
#include "support/locker_process.h"
#include "support/tiny_disk.h"
#include "support/without_file_override.h"
#include "ui/settings/settings_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sys/stat.h>

namespace {

constexpr std::uint32_t PANEL_1 = 0x11111111;
constexpr std::uint32_t PANEL_3 = 0x33333333;

// Short enough that a test sees many failed attempts, long enough to be a real wait.
constexpr int SHORT_BUSY_TIMEOUT_MS = 300;

// Replaces a file the way an editor that saves to a new file does: the change is whole when it
// shows.
bool ReplaceFile(const std::string& path, const std::string& bytes) {
    const std::string fresh = path + ".new";
    {
        std::ofstream out(fresh, std::ios::binary | std::ios::trunc);
        out << bytes;
        if (!out) {
            return false;
        }
    }
    return std::rename(fresh.c_str(), path.c_str()) == 0;
}

// Installed before the fixture opens the database, so that its connection goes through it.
struct FaultShimInstalled {
    FaultShimInstalled() { SetWriteFault(TWriteFault::None); }
};

class DatabaseFaults : public FaultShimInstalled, public BusFixture {
protected:
    DatabaseFaults() : BusFixture(ProgramDir(), SHORT_BUSY_TIMEOUT_MS) {}

    void SetUp() override {
        BusFixture::SetUp();
        device->SetService(true);
        ASSERT_TRUE(device->IsRunning());
        ASSERT_TRUE(Eventually([this] { return AllComplete(); }));
        sound->SetSound(SOUND_OFF);
    }
    void TearDown() override {
        SetWriteFault(TWriteFault::None);
        BusFixture::TearDown();
    }

    // A battery fault of panel 3 happens while the database cannot store it; once `mend` has
    // run, it is stored exactly once, and the bus went on with no device taken for lost.
    void BatteryFaultOutlivesTheFault(const std::string& error, const std::function<void()>& mend) {
        // The debug lines show each attempt to store; nothing else is stored meanwhile.
        log->IsLogDebug = true;
        ASSERT_TRUE(Inject(TSimAction::Battery, 3, 0, 3));
        ASSERT_TRUE(Eventually([&] { return CountLog(LOG_TYPE_ERROR, error) > 0; }));
        // The change is met again at the next answers, and fails again.
        ASSERT_TRUE(
            Eventually([&] { return CountLog(LOG_TYPE_DEBUG, "TSQLite::InsertRecord") >= 3; }, 60));
        log->IsLogDebug = false;
        EXPECT_EQ(CountLog(LOG_TYPE_ERROR, error), 1) << "logged once, not at every attempt";
        EXPECT_EQ(CountRecords(PANEL_3, DEVICE_BATTERY), 0);
        EXPECT_EQ(static_cast<int>(device->GetItem(device->FindDevice(PANEL_3))->battery), 0)
            << "the device table waits for the change to be stored";
        EXPECT_EQ(sound->GetSound(), SOUND_ALERT) << "heard while it waits to be stored";
        sound->SetSound(SOUND_OFF);

        mend();
        ASSERT_TRUE(Eventually([&] { return CountRecords(PANEL_3, DEVICE_BATTERY, 3) == 1; }));
        EXPECT_TRUE(Eventually(
            [&] { return LogHas(LOG_TYPE_INFO, "База данных снова принимает записи"); }));
        EXPECT_EQ(sound->GetSound(), SOUND_ALERT);
        // A later change of the same item is stored after it; the first is not stored again.
        ASSERT_TRUE(Inject(TSimAction::Battery, 3, 0, 0));
        ASSERT_TRUE(Eventually([&] { return CountRecords(PANEL_3, DEVICE_BATTERY, 0) == 1; }));
        EXPECT_EQ(CountRecords(PANEL_3, DEVICE_BATTERY, 3), 1);
        EXPECT_EQ(static_cast<int>(device->GetItem(device->FindDevice(PANEL_3))->battery), 0);
        for (const std::uint32_t id : {0x11111111u, 0x22222222u, 0x33333333u}) {
            EXPECT_EQ(CountRecords(id, LOSS_DEVICE), 0) << std::hex << id;
        }
        EXPECT_EQ(device->GetOnlineCount(), 3);
    }
};

} // namespace

// A power cut takes what the system had not written yet: the bus cycle flushes what it stored
// before it reads on.
TEST_F(DatabaseFaults, AStoredEventIsFlushedToTheDiskByTheBusCycle) {
    const int before = WalFlushes();
    ASSERT_TRUE(Inject(TSimAction::Battery, 3, 0, 3));
    ASSERT_TRUE(Eventually([&] { return CountRecords(PANEL_3, DEVICE_BATTERY) == 1; }));
    EXPECT_TRUE(Eventually([&] { return WalFlushes() > before; }));
}

TEST_F(DatabaseFaults, LockedByAnotherProcessLongerThanTheBusyTimeout) {
    LockerProcess locker;
    std::string error;
    ASSERT_TRUE(locker.Lock(KTEV_DB_LOCKER, db_path, error)) << error;
    BatteryFaultOutlivesTheFault("[5] database is locked", [&] { EXPECT_TRUE(locker.Release()); });
}

TEST_F(DatabaseFaults, FileRefusesWrites) {
    SetWriteFault(TWriteFault::ReadOnly);
    BatteryFaultOutlivesTheFault("[8] attempt to write a readonly database",
                                 [] { SetWriteFault(TWriteFault::None); });
}

TEST_F(DatabaseFaults, DiskFull) {
    SetWriteFault(TWriteFault::DiskFull);
    BatteryFaultOutlivesTheFault("[13] database or disk is full",
                                 [] { SetWriteFault(TWriteFault::None); });
}

// A file made read-only while the program runs is still written through the descriptors SQLite
// holds; it shows at the next service start, which says so and waits for the file.
TEST_F(DatabaseFaults, FileMadeReadOnlyIsWaitedForAtTheNextStart) {
    device->SetService(false);
    ASSERT_TRUE(Inject(TSimAction::Power, 1, 0, 0)); // happens while the service is stopped
    ASSERT_EQ(::chmod(db_path.c_str(), 0444), 0);
    {
        // Start and stop run on this thread, so only it must lose root's right to write.
        WithoutFileOverride read_only;
        device->SetService(true);
        EXPECT_TRUE(device->IsRunning());
        EXPECT_TRUE(device->IsWaitingForDatabase());
        EXPECT_TRUE(LogHas(LOG_TYPE_ERROR, "[8] attempt to write a readonly database"));
        ASSERT_EQ(::chmod(db_path.c_str(), 0644), 0);
        device->SetService(false);
        device->SetService(true);
    }
    ASSERT_TRUE(device->IsRunning());
    EXPECT_FALSE(device->IsWaitingForDatabase());
    EXPECT_TRUE(Eventually([this] { return CountRecords(PANEL_1, DEVICE_POWER, 0) == 1; }));
}

namespace {

// A copy of the shipped catalogue in a folder of its own, made before the service reads it.
class CatalogueCopy {
public:
    CatalogueCopy()
        : path(dir.file(std::string(TRecord::CATALOGUE_FILE_NAME))),
          shipped(ReadWholeFile(ProgramDir() + "/" + std::string(TRecord::CATALOGUE_FILE_NAME))) {
        ReplaceFile(path, shipped);
    }
    TempDir dir;
    std::string path;
    std::string shipped;
};

class CatalogueFaults : public CatalogueCopy, public BusFixture {
protected:
    CatalogueFaults() : BusFixture(CatalogueCopy::dir.path()) {}

    void SetUp() override {
        BusFixture::SetUp();
        device->SetService(true);
        ASSERT_TRUE(device->IsRunning());
        ASSERT_TRUE(Eventually([this] { return AllComplete(); }));
    }

    // The catalogue as it is now, with one piece of text (UTF-8) replaced.
    bool Edit(const std::string& from, const std::string& to) {
        std::string text = ReadWholeFile(path);
        const std::string cp_from = Utf8ToCp1251(from);
        const std::size_t at = text.find(cp_from);
        EXPECT_NE(at, std::string::npos) << from;
        if (at == std::string::npos) {
            return false;
        }
        text.replace(at, cp_from.size(), Utf8ToCp1251(to));
        return ReplaceFile(path, text);
    }

    bool MessageOf(std::uint8_t type, std::int32_t value, std::string& text) {
        TMessageStyle style;
        return record->GetRecordMessage(type, value, true, style, text);
    }

    int Battery(std::uint32_t id) {
        return static_cast<int>(device->GetItem(device->FindDevice(id))->battery);
    }
};

} // namespace

TEST_F(CatalogueFaults, AlarmsAreStoredOnceAndSoundWhileTheirFormatsAreBroken) {
    ASSERT_TRUE(Edit("record_format=ШС %d: %s", "record_format=ШС %d: %d"));
    ASSERT_TRUE(Edit("record_format=Сводное состояние: %s", "record_format=Сводное %q"));
    sound->SetSound(SOUND_OFF);
    ASSERT_TRUE(Inject(TSimAction::Loop, 1, 2, 0x0E)); // loop 3: alarm
    ASSERT_TRUE(Inject(TSimAction::Summary, 1, 0, 4));
    const TDeviceEntry& panel = *device->GetItem(device->FindDevice(PANEL_1));
    ASSERT_TRUE(Eventually([&] { return panel.line[2].state == 0x0E && panel.max_state == 4; }));
    EXPECT_EQ(CountRecords(PANEL_1, LINE_STATE, 0x2000E), 1);
    EXPECT_EQ(CountRecords(PANEL_1, MAX_STATE, 4), 1);
    EXPECT_EQ(sound->GetSound(), SOUND_ALARM);
    EXPECT_TRUE(LogHas(LOG_TYPE_ERROR, "Ошибка в поле формата \"record_format\" в секции "
                                       "\"LINE_STATE\" в INI файле сообщений \"TevMessages.ini\""));
    EXPECT_TRUE(LogHas(LOG_TYPE_ERROR, "Ошибка в поле формата \"record_format\" в секции "
                                       "\"MAX_STATE\" в INI файле сообщений \"TevMessages.ini\""));

    ASSERT_TRUE(ReplaceFile(path, shipped));
    std::string text;
    EXPECT_TRUE(MessageOf(LINE_STATE, 0x2000E, text));
    EXPECT_EQ(text, "ШС 3: Тревога");
    EXPECT_TRUE(MessageOf(MAX_STATE, 4, text));
    ASSERT_TRUE(Inject(TSimAction::Loop, 1, 2, 0x00));
    ASSERT_TRUE(Eventually([this] { return CountRecords(PANEL_1, LINE_STATE, 0x20000) == 1; }));
    EXPECT_EQ(CountRecords(PANEL_1, LINE_STATE, 0x2000E), 1);
    EXPECT_EQ(CountRecords(PANEL_1, MAX_STATE, 4), 1);
}

TEST_F(CatalogueFaults, ARecordFormatRemovedWhileRunningIsNamedInTheLog) {
    ASSERT_TRUE(Edit("record_format=Аккумулятор: %s\r\n", ""));
    sound->SetSound(SOUND_OFF);
    ASSERT_TRUE(Inject(TSimAction::Battery, 3, 0, 3));
    ASSERT_TRUE(Eventually([this] { return Battery(PANEL_3) == 3; }));
    EXPECT_EQ(CountRecords(PANEL_3, DEVICE_BATTERY, 3), 1);
    EXPECT_TRUE(LogHas(LOG_TYPE_ERROR,
                       "Не найдено поле формата \"record_format\" в секции \"DEVICE_BATTERY\" в "
                       "INI файле сообщений \"TevMessages.ini\""));
    EXPECT_EQ(sound->GetSound(), SOUND_ALERT);

    ASSERT_TRUE(ReplaceFile(path, shipped));
    std::string text;
    EXPECT_TRUE(MessageOf(DEVICE_BATTERY, 3, text));
    EXPECT_EQ(text, "Аккумулятор: Неисправен");
}

namespace {

// The settings file as a crashed editor, a disk error or a careless hand may leave it.
class SettingsFileFaults : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = dir.file("ktev.ini");
    const std::string default_db = dir.file("default.db");
};

bool SameValues(const TSettingsFileValues& a, const TSettingsFileValues& b) {
    const auto same_field = [](const TFieldOptions& x, const TFieldOptions& y) {
        return x.width == y.width && x.checked == y.checked;
    };
    return a.options.top == b.options.top && a.options.left == b.options.left &&
           a.options.width == b.options.width && a.options.height == b.options.height &&
           a.options.tree_view_width == b.options.tree_view_width &&
           a.options.rich_edit_height == b.options.rich_edit_height &&
           a.panels.tool_buttons == b.panels.tool_buttons &&
           a.panels.tree_devices == b.panels.tree_devices &&
           a.panels.log_application == b.panels.log_application &&
           std::equal(a.fields.begin(), a.fields.end(), b.fields.begin(), same_field) &&
           a.setup.db_file == b.setup.db_file && a.setup.show_lines == b.setup.show_lines &&
           a.setup.com_num == b.setup.com_num && a.setup.ctrl_dtr == b.setup.ctrl_dtr &&
           a.setup.ctrl_rts == b.setup.ctrl_rts && a.setup.ctrl_inv == b.setup.ctrl_inv &&
           a.setup.is_sound == b.setup.is_sound && a.setup.is_auto_run == b.setup.is_auto_run &&
           a.setup.records_mask == b.setup.records_mask;
}

} // namespace

TEST_F(SettingsFileFaults, GarbageGivesDefaultsAndASaveWritesASoundFile) {
    using namespace std::string_literals;
    std::string garbage = "\xFF\xFE\x00\x01[Options\r\nWindowsTop=12abc\r\n"s;
    garbage += "[Options]\r\nWindowsTop=0x\r\nWindowsLeft=99999999999\r\n";
    garbage += "WindowsWidth=" + std::string(5000, '9') + "\r\n";
    garbage += "WindowsHeight=\x98\x00\x07\r\n"s + std::string(100000, '\x01') + "\n";
    garbage += "[Setup]\r\nComNum=--1\r\nRecordsMask=$\r\nShowLines= \r\nIsSound=yes\r\n";
    garbage += "DBFile=" + std::string(3000, 'd') + "\r\n=nameless\r\n[]\r\n\r\r\n[Setup]=x\r\n";
    ASSERT_TRUE(ReplaceFile(path, garbage));

    TProfileFile file(path);
    ASSERT_TRUE(file.IsLoaded());
    TSettingsFileValues read = ReadSettingsFile(file, default_db);
    const TSettingsFileValues defaults;
    EXPECT_EQ(read.options.top, defaults.options.top);
    EXPECT_EQ(read.options.left, defaults.options.left);
    EXPECT_EQ(read.options.width, defaults.options.width);
    EXPECT_EQ(read.options.height, defaults.options.height);
    EXPECT_EQ(read.setup.com_num, defaults.setup.com_num);
    EXPECT_EQ(read.setup.records_mask, defaults.setup.records_mask);
    EXPECT_EQ(read.setup.show_lines, defaults.setup.show_lines);
    EXPECT_EQ(read.setup.is_sound, defaults.setup.is_sound) << "a word is not a number";
    EXPECT_EQ(read.setup.db_file.size(), TProfileFile::MaxValueChars) << "cut, never overrun";

    read.options.top = 33;
    read.setup.com_num = 5;
    read.setup.db_file = default_db;
    ASSERT_TRUE(WriteSettingsFile(file, read, true));
    // What was saved is what the next start reads, and a second save changes no byte.
    const TSettingsFileValues again = ReadSettingsFile(TProfileFile(path), dir.file("other.db"));
    EXPECT_TRUE(SameValues(again, read));
    const std::string saved = ReadWholeFile(path);
    ASSERT_TRUE(WriteSettingsFile(file, read, true));
    EXPECT_EQ(ReadWholeFile(path), saved);
}

TEST_F(SettingsFileFaults, AnOversizedFileIsNeitherReadNorOverwritten) {
    const std::string huge(static_cast<std::size_t>(TProfileFile::MaxFileSize) + 1, '[');
    ASSERT_TRUE(ReplaceFile(path, huge));
    TProfileFile file(path);
    const TSettingsFileValues read = ReadSettingsFile(file, default_db);
    TSettingsFileValues defaults;
    defaults.setup.db_file = default_db;
    EXPECT_TRUE(SameValues(read, defaults));
    EXPECT_FALSE(WriteSettingsFile(file, read, true));
    EXPECT_EQ(ReadWholeFile(path).size(), huge.size()) << "the file is kept for its owner to mend";
}

// A save on a full disk fails and leaves the file whole: the new text would need more room than
// the old file's, which a rewrite in place gives up first and then cuts off at.
TEST_F(SettingsFileFaults, ASaveOnAFullDiskLeavesTheFileAsItWas) {
    TinyDisk disk(dir.file("disk"));
    if (!disk.mounted()) {
        GTEST_SKIP() << "mounting a tmpfs needs CAP_SYS_ADMIN";
    }
    const std::string ini = dir.file("disk/ktev.ini");
    const std::string before = "; " + std::string(4000, '-') + "\r\n[Setup]\r\nComNum=5\r\n";
    ASSERT_TRUE(ReplaceFile(ini, before));
    const std::string filler = dir.file("disk/filler");
    {
        std::ofstream out(filler, std::ios::binary);
        while (out << std::string(1024, 'f') << std::flush) {
        }
    }
    TProfileFile file(ini);
    TSettingsFileValues values = ReadSettingsFile(file, default_db);
    ASSERT_EQ(values.setup.com_num, 5);
    values.setup.com_num = 7;
    EXPECT_FALSE(WriteSettingsFile(file, values, true));
    EXPECT_TRUE(ReadWholeFile(ini) == before) << "cut to " << ReadWholeFile(ini).size() << " bytes";

    ASSERT_EQ(std::remove(filler.c_str()), 0);
    ASSERT_TRUE(WriteSettingsFile(file, values, true));
    EXPECT_EQ(ReadSettingsFile(TProfileFile(ini), default_db).setup.com_num, 7);
    EXPECT_TRUE(ReadWholeFile(ini).starts_with(before.substr(0, 4004)));
}
