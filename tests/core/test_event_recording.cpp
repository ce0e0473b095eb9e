#include "common/text.h"
#include "database/record_types.h"
#include "records/style_cell.h"
#include "support/catalogue_fixture.h"
#include "support/device_fixture.h"

#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <sstream>

namespace {

using Stored = std::vector<StoredRecord>;
constexpr std::uint32_t ID = 0x0A0B0C0D;

class EventRecording : public ::testing::Test, public DeviceFixture {
protected:
    // Records one event and returns the level the player was asked for (-1: none asked).
    int LevelAskedFor(std::uint8_t type, std::int32_t value) {
        sound->SetSound(static_cast<TSoundLevel>(99));
        const TSoundLevel before = sound->GetSound();
        TStyleCell cell;
        EXPECT_TRUE(record->AddRecord(ID, type, cell, value));
        const TSoundLevel after = sound->GetSound();
        return after == before ? -1 : after;
    }
};

} // namespace

namespace {

// A copy of the shipped catalogue with one edit, in a folder of its own.
class EditedCatalogue {
public:
    explicit EditedCatalogue(void (*edit)(std::string&)) {
        std::ifstream in(ProgramDir() + "/TevMessages.ini", std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        std::string catalogue = text.str();
        edit(catalogue);
        std::ofstream(dir.file("TevMessages.ini"), std::ios::binary) << catalogue;
    }
    TempDir dir;
};

template <void (*Edit)(std::string&)>
class EventRecordingWith : public ::testing::Test, public EditedCatalogue, public DeviceFixture {
protected:
    EventRecordingWith() : EditedCatalogue(Edit), DeviceFixture(EditedCatalogue::dir.path()) {}
};

// A site's change: a loop's delay is worth attention.
void LoopDelayIsAttention(std::string& catalogue) {
    const std::string delay = "state_2=" + Utf8ToCp1251("Задержка") + "\r\n";
    const auto at = catalogue.find(delay, catalogue.find("[LINE_STATE]"));
    catalogue.insert(at + delay.size() - 2, ";Attention");
}

void WithoutDeviceState(std::string& catalogue) {
    catalogue.replace(catalogue.find("[DEVICE_STATE]"), 14, "[NOT_A_TYPE]");
}

using EventRecordingSiteCatalogue = EventRecordingWith<LoopDelayIsAttention>;
using EventRecordingBrokenCatalogue = EventRecordingWith<WithoutDeviceState>;

} // namespace

TEST_F(EventRecording, StoresWithTheCurrentTimeAndHandsBackTheStyle) {
    const std::time_t before = std::time(nullptr);
    TStyleCell cell;
    cell.Store(TMessageStyle{0x123456, 0x654321, true, true, true, true});
    ASSERT_TRUE(record->AddRecord(ID, LOSS_DEVICE, cell, 0));
    const std::time_t after = std::time(nullptr);
    const Stored rows = NewRecords();
    ASSERT_EQ(rows, (Stored{{ID, LOSS_DEVICE, 0}}));
    EXPECT_GE(rows[0].utime, before);
    EXPECT_LE(rows[0].utime, after);

    TMessageStyle expected;
    std::string text;
    ASSERT_TRUE(record->GetRecordMessage(LOSS_DEVICE, 0, true, expected, text));
    EXPECT_EQ(cell.Load(), expected);
    EXPECT_EQ(sound->GetSound(), SOUND_LOSS_DEVICE);

    // The time of a time sync is the PC's, not the device's carried in the value.
    ASSERT_TRUE(record->AddRecord(ID, SYNCHRO_TIME, cell, 86400));
    EXPECT_GE(NewRecords()[0].utime, before);
}

TEST_F(EventRecording, SoundLevelsFollowTypeAndCodeByte) {
    EXPECT_EQ(LevelAskedFor(FIND_NEW_DEVICE, 0), SOUND_NEW_DEVICE);
    EXPECT_EQ(LevelAskedFor(RECOVERY_DEVICE, 0), SOUND_RECOVERY_DEVICE);
    EXPECT_EQ(LevelAskedFor(DEVICE_STATE, 1), -1);
    EXPECT_EQ(LevelAskedFor(DEVICE_STATE, 2), SOUND_FAILURE);
    EXPECT_EQ(LevelAskedFor(DEVICE_STATE, 3), SOUND_ALARM);
    EXPECT_EQ(LevelAskedFor(DEVICE_STATE, 0x12340003), SOUND_ALARM) << "the low byte alone";
    EXPECT_EQ(LevelAskedFor(MAX_STATE, 2), SOUND_FAILURE);
    EXPECT_EQ(LevelAskedFor(MAX_STATE, 3), SOUND_ATTENTION);
    EXPECT_EQ(LevelAskedFor(MAX_STATE, 4), SOUND_ALARM);
    EXPECT_EQ(LevelAskedFor(MAX_STATE, 5), SOUND_ALARM);
    EXPECT_EQ(LevelAskedFor(MAX_STATE, 6), -1);
    EXPECT_EQ(LevelAskedFor(DEVICE_POWER, 0), SOUND_FAILURE);
    EXPECT_EQ(LevelAskedFor(DEVICE_POWER, 1), -1);
    EXPECT_EQ(LevelAskedFor(DEVICE_BATTERY, 3), SOUND_ALERT);
    EXPECT_EQ(LevelAskedFor(DEVICE_BATTERY, 2), -1);
    EXPECT_EQ(NewRecords().size(), 15u);
}

TEST_F(EventRecording, LoopAndSensorStatesSoundByTheClassTheCatalogueDrawsThemIn) {
    // Loop 2: fire, fire of a type-1 loop, attention, short circuit, normal, off.
    EXPECT_EQ(LevelAskedFor(LINE_STATE, 0x10006), SOUND_ALARM);
    EXPECT_EQ(LevelAskedFor(LINE_STATE, 0x1000E), SOUND_ALARM);
    EXPECT_EQ(LevelAskedFor(LINE_STATE, 0x10005), SOUND_ATTENTION);
    EXPECT_EQ(LevelAskedFor(LINE_STATE, 0x10004), SOUND_FAILURE);
    EXPECT_EQ(LevelAskedFor(LINE_STATE, 0x10000), -1);
    EXPECT_EQ(LevelAskedFor(LINE_STATE, 0x10001), -1);
    // A sensor that stopped answering is a fault.
    EXPECT_EQ(LevelAskedFor(SENSOR_STATE, 0x4), SOUND_FAILURE);
    EXPECT_EQ(LevelAskedFor(SENSOR_STATE, 0x7), SOUND_ALARM);
    EXPECT_EQ(LevelAskedFor(SENSOR_STATE, 0x2), -1);
    // Other types keep their own table whatever their codes' styles.
    EXPECT_EQ(LevelAskedFor(RELAY_CONTROL, 0x2), -1);
}

TEST_F(EventRecordingSiteCatalogue, ASiteRedrawingACodeChangesItsSound) {
    TStyleCell cell;
    ASSERT_TRUE(record->AddRecord(ID, LINE_STATE, cell, 0x2));
    EXPECT_EQ(sound->GetSound(), SOUND_ATTENTION);
}

TEST_F(EventRecording, EventTheDatabaseCannotTakeTouchesNothingButStillSounds) {
    sqlite->Close();
    TStyleCell cell;
    const TMessageStyle marked{0x111111, 0x222222, true, false, false, false};
    cell.Store(marked);
    sound->SetSound(SOUND_OFF);
    EXPECT_FALSE(record->AddRecord(ID, LOSS_DEVICE, cell, 0));
    EXPECT_EQ(cell.Load(), marked);
    EXPECT_EQ(sound->GetSound(), SOUND_LOSS_DEVICE);
    sound->SetSound(SOUND_OFF);
    EXPECT_FALSE(record->AddRecord(ID, LINE_STATE, cell, 0x0001));
    EXPECT_EQ(sound->GetSound(), SOUND_OFF) << "an event with no sound of its own asks for none";
}

TEST_F(EventRecordingBrokenCatalogue, EventIsStoredOnceCountedAndSoundedWithTheDefaultStyle) {
    TStyleCell cell;
    cell.Store(TMessageStyle{0x111111, 0x222222, true, false, false, false});
    sound->SetSound(SOUND_OFF);
    const int counted = sqlite->GetRecordsMaskCount();
    // Taken in: the caller must not store it again at the next answer.
    EXPECT_TRUE(record->AddRecord(ID, DEVICE_STATE, cell, 3));
    EXPECT_EQ(NewRecords(), (Stored{{ID, DEVICE_STATE, 3}}));
    EXPECT_EQ(cell.Load(), TMessageStyle{});
    EXPECT_EQ(sound->GetSound(), SOUND_ALARM) << "an alarm sounds whatever its text";
    EXPECT_EQ(sqlite->GetRecordsMaskCount(), counted + 1);
    EXPECT_FALSE(LogLines(LOG_TYPE_ERROR).empty()) << "the formatter says what is wrong";
}
