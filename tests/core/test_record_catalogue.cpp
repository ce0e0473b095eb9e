#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "common/program_path.h"
#include "common/text.h"
#include "support/catalogue_fixture.h"

namespace {

// The catalogue without one section's lines, that section replaced by `replacement`.
std::string ReplaceSection(const std::string& catalogue, std::string_view section,
                           std::string_view replacement) {
    const std::string header = "[" + std::string(section) + "]";
    const std::size_t start = catalogue.find(header);
    const std::size_t end = catalogue.find("\r\n[", start);
    return catalogue.substr(0, start) + std::string(replacement) + catalogue.substr(end + 2);
}

const std::string missing_file = "Не найден INI файл сообщений \"TevMessages.ini\"";
const std::string catalogue_error = "Ошибка в INI файле сообщений \"TevMessages.ini\"";

} // namespace

TEST_F(CatalogueTest, LoadsEveryTypeNameInCodeOrder) {
    WriteCatalogue(ArgumentsCatalogue());
    const auto record = Load();
    EXPECT_TRUE(app_.boxes.empty());
    EXPECT_EQ(app_.terminations, 0);
    for (int type = 0; type < RECORD_TYPE_COUNT; ++type) {
        EXPECT_EQ(record->GetTypeName(type), "Тип " + std::to_string(type));
    }
    EXPECT_EQ(record->GetTypeName(-1), "");
    EXPECT_EQ(record->GetTypeName(RECORD_TYPE_COUNT), "");
    EXPECT_EQ(record->GetCataloguePath(), CataloguePath());
}

TEST_F(CatalogueTest, MissingFileShowsBothBoxesAndAsksToEnd) {
    const auto record = Load();
    EXPECT_EQ(app_.boxes, (std::vector<std::string>{missing_file, catalogue_error}));
    EXPECT_EQ(app_.terminations, 2);
    EXPECT_EQ(Logged(), (std::vector<std::string>{
                            "Fatal  " + missing_file,
                            "Error  Не найдена секция \"FIND_NEW_DEVICE\" в INI файле сообщений "
                            "\"TevMessages.ini\"",
                            "Fatal  " + catalogue_error,
                        }));
    EXPECT_EQ(record->GetTypeName(FIND_NEW_DEVICE), "");
}

TEST_F(CatalogueTest, SectionWithoutKeysStopsLoadingAndKeepsEarlierNames) {
    WriteCatalogue(ReplaceSection(ArgumentsCatalogue(), "LINE_TYPE", "[LINE_TYPE]\r\n\r\n"));
    const auto record = Load();
    EXPECT_EQ(app_.boxes, std::vector<std::string>{catalogue_error});
    EXPECT_EQ(app_.terminations, 1);
    EXPECT_TRUE(
        WasLogged(LOG_TYPE_ERROR,
                  "Не найдена секция \"LINE_TYPE\" в INI файле сообщений \"TevMessages.ini\""));
    EXPECT_EQ(record->GetTypeName(LINE_ON_OFF), "Тип 9");
    EXPECT_EQ(record->GetTypeName(LINE_TYPE), "");
    EXPECT_EQ(record->GetTypeName(SYNCHRO_TIME), "");
}

TEST_F(CatalogueTest, BlankNameFailsAndNamesAreTrimmed) {
    std::string catalogue = ReplaceSection(ArgumentsCatalogue(), "FIND_NEW_DEVICE",
                                           "[find_new_device]\r\nNAME= \t Новое  \r\n");
    catalogue =
        ReplaceSection(catalogue, "MAX_STATE", "[MAX_STATE]\r\nname=   \r\ncolor=Plain\r\n");
    WriteCatalogue(catalogue);
    const auto record = Load();
    EXPECT_EQ(app_.boxes, std::vector<std::string>{catalogue_error});
    EXPECT_TRUE(WasLogged(LOG_TYPE_ERROR, "Не найдено поле \"name\" в секции \"MAX_STATE\" в INI "
                                          "файле сообщений \"TevMessages.ini\""));
    EXPECT_EQ(record->GetTypeName(FIND_NEW_DEVICE), "Новое");
    EXPECT_EQ(record->GetTypeName(LOSS_DEVICE), "Тип 2");
    EXPECT_EQ(record->GetTypeName(MAX_STATE), "");
}

// Formats, texts and styles are taken from the file as it is at each call; names only at start.
TEST_F(CatalogueTest, EditedFileShowsAtNextFormattingButNamesStay) {
    WriteCatalogue(ArgumentsCatalogue());
    const auto record = Load();
    TMessageStyle style;
    std::string text;
    ASSERT_TRUE(record->GetRecordMessage(MAX_STATE, 1, true, style, text));
    EXPECT_EQ(text, "R:state 1");

    std::string edited = ReplaceSection(ArgumentsCatalogue(), "MAX_STATE",
                                        "[MAX_STATE]\r\nname=Новое имя\r\nrecord_format=Итог: "
                                        "%s\r\ncolor=Plain\r\nstate_1=Пожар\r\n");
    WriteCatalogue(edited);
    EXPECT_TRUE(record->GetRecordMessage(MAX_STATE, 1, true, style, text));
    EXPECT_EQ(text, "Итог: Пожар");
    EXPECT_EQ(record->GetTypeName(MAX_STATE), "Тип 3");

    std::filesystem::remove(CataloguePath());
    EXPECT_FALSE(record->GetRecordMessage(MAX_STATE, 1, true, style, text));
    EXPECT_TRUE(
        WasLogged(LOG_TYPE_ERROR,
                  "Не найдена секция \"MAX_STATE\" в INI файле сообщений \"TevMessages.ini\""));
}

// Three threads format (as the bus cycle, the record list and the tree do) while the file is
// rewritten: every call sees one whole version of the file or the other.
TEST_F(CatalogueTest, FormattingWhileTheFileChangesSeesWholeVersions) {
    const std::string first = ArgumentsCatalogue();
    const std::string second =
        ReplaceSection(first, "LINE_STATE",
                       "[LINE_STATE]\r\nname=x\r\nrecord_format=Шлейф %d: %s\r\ncolor=Other\r\n"
                       "state_1=Пожар\r\n\r\n[Other]\r\nis_bold=1\r\n");
    WriteCatalogue(first);
    const auto record = Load();
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            TMessageStyle style;
            std::string text;
            while (!stop.load()) {
                const bool ok = record->GetRecordMessage(LINE_STATE, MakeRecordValue(1, 0, 1), true,
                                                         style, text);
                const bool is_first = text == "R:2 state 1" && style.font_color == 0x123456;
                const bool is_second = text == "Шлейф 2: Пожар" && style.is_bold;
                if (!ok || !(is_first || is_second)) {
                    ++wrong;
                }
            }
        });
    }
    for (int i = 0; i < 40; ++i) {
        // Write beside and rename, as an editor saves, so that no reader meets a half file.
        ASSERT_TRUE(WriteCp1251File(CataloguePath() + ".new", i % 2 == 0 ? second : first));
        std::filesystem::rename(CataloguePath() + ".new", CataloguePath());
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    stop = true;
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

// An editor may save the catalogue as UTF-8 with a byte-order mark: its first section and
// every text read as they are meant.
TEST_F(CatalogueTest, AUtf8CatalogueWithAByteOrderMarkLoadsWhole) {
    const std::string shipped = ReadWholeFile(ProgramDir() + "/TevMessages.ini");
    const std::string sections = shipped.substr(shipped.find("[FIND_NEW_DEVICE]"));
    std::ofstream(CataloguePath(), std::ios::binary) << "\xEF\xBB\xBF" << Cp1251ToUtf8(sections);
    const auto record = Load();
    EXPECT_TRUE(app_.boxes.empty());
    EXPECT_EQ(record->GetTypeName(FIND_NEW_DEVICE), "Новое устройство");
    TMessageStyle style;
    std::string text;
    EXPECT_TRUE(record->GetRecordMessage(LINE_STATE, 0x2000E, true, style, text));
    EXPECT_EQ(text, "ШС 3: Тревога");
}

// The catalogue that ships with the program, copied beside the tests by the build.
class ShippedCatalogue : public CatalogueTest {
protected:
    void SetUp() override {
        std::filesystem::copy_file(ProgramDir() + "/TevMessages.ini", CataloguePath());
        record_ = Load();
    }

    TMessageStyle StyleOf(std::uint8_t type, std::int32_t value) {
        TMessageStyle style;
        std::string text;
        EXPECT_TRUE(record_->GetRecordMessage(type, value, true, style, text)) << int{type};
        return style;
    }

    std::unique_ptr<TRecord> record_;
};

TEST_F(ShippedCatalogue, LoadsWithDistinctNames) {
    EXPECT_TRUE(app_.boxes.empty());
    std::set<std::string> names;
    for (int type = 0; type < RECORD_TYPE_COUNT; ++type) {
        names.insert(record_->GetTypeName(type));
    }
    EXPECT_EQ(names.size(), std::size_t{RECORD_TYPE_COUNT});
    EXPECT_EQ(names.count(""), 0u);
}

// Every value the devices and the acknowledgements produce has its own text and a style that
// exists, in both forms.
TEST_F(ShippedCatalogue, EveryProducedCodeHasAText) {
    std::vector<std::pair<std::uint8_t, std::int32_t>> produced = {
        {FIND_NEW_DEVICE, 0},       {RECOVERY_DEVICE, 0},    {LOSS_DEVICE, 0},
        {DEVICE_RESET, 0x02FF},     {SET_ADDRESS, 17},       {SET_USER_NAME, 0x41424344},
        {SYNCHRO_TIME, 1700000000}, {SET_DEVICE_ID, 0x12AB}, {LINE_RESET, 0x402FF},
        {SENSOR_RESET, 0x102FF},
    };
    const auto codes = [&](std::uint8_t type, int count, int remote = 0) {
        for (int code = 0; code < count; ++code) {
            produced.emplace_back(type, MakeRecordValue(3, static_cast<std::uint8_t>(remote),
                                                        static_cast<std::uint8_t>(code)));
        }
    };
    codes(MAX_STATE, 6);
    codes(DEVICE_STATE, 4);
    codes(DEVICE_POWER, 2);
    codes(DEVICE_BATTERY, 4);
    codes(LINE_STATE, 32);
    codes(LINE_TYPE, 4);
    codes(RELAY_STATE, 2);
    codes(RELAY_CONTROL, 8);
    codes(RELAY_TYPE, 8);
    codes(RELAY_MODE, 2);
    codes(SENSOR_STATE, 8);
    for (const std::uint8_t type :
         {LINE_ON_OFF, SENSOR_ON_OFF, RELAY_ON_OFF, RELAY_SET_CONTROL, RELAY_SET_MODE}) {
        codes(type, 2, 2);
    }
    codes(LINE_SET_TYPE, 4, 2);
    codes(RELAY_SET_TYPE, 8, 2);
    for (const auto& [type, value] : produced) {
        for (const bool for_record : {true, false}) {
            TMessageStyle style;
            std::string text;
            EXPECT_TRUE(record_->GetRecordMessage(type, value, for_record, style, text))
                << int{type} << " " << value;
            EXPECT_FALSE(text.empty()) << int{type} << " " << value;
            EXPECT_EQ(text.find("???"), std::string::npos) << text;
        }
    }
    EXPECT_TRUE(Logged().empty());
}

// What sounds the alarm is drawn as an alarm, failures as faults, and each level apart.
TEST_F(ShippedCatalogue, StylesFollowTheSoundLevels) {
    const TMessageStyle alarm = StyleOf(MAX_STATE, 4);
    EXPECT_EQ(StyleOf(MAX_STATE, 5), alarm);
    EXPECT_EQ(StyleOf(DEVICE_STATE, 3), alarm);
    EXPECT_TRUE(alarm.is_bold);
    EXPECT_EQ(alarm.bg_color, 0x0000FFu);

    const TMessageStyle fault = StyleOf(MAX_STATE, 2);
    EXPECT_EQ(StyleOf(DEVICE_STATE, 2), fault);
    EXPECT_EQ(StyleOf(DEVICE_POWER, 0), fault);
    EXPECT_EQ(StyleOf(DEVICE_BATTERY, 3), fault);

    const TMessageStyle attention = StyleOf(MAX_STATE, 3);
    const TMessageStyle normal = StyleOf(MAX_STATE, 0);
    EXPECT_EQ(StyleOf(DEVICE_STATE, 0), normal);
    EXPECT_EQ(StyleOf(DEVICE_POWER, 1), normal);
    EXPECT_EQ(normal, TMessageStyle{});
    const TMessageStyle offline = StyleOf(LOSS_DEVICE, 0);
    const std::set<std::uint64_t> levels = {alarm.Pack(), fault.Pack(), attention.Pack(),
                                            normal.Pack(), offline.Pack()};
    EXPECT_EQ(levels.size(), 5u);

    // A loop in alarm, of any loop type, is an alarm too; the tree draws it alike.
    for (std::uint8_t loop_type = 0; loop_type < 4; ++loop_type) {
        const auto code = static_cast<std::uint8_t>(loop_type << 3 | 6);
        EXPECT_EQ(StyleOf(LINE_STATE, code), alarm);
        TMessageStyle tree_style;
        std::string text;
        EXPECT_TRUE(record_->GetRecordMessage(LINE_STATE, code, false, tree_style, text));
        EXPECT_EQ(tree_style, alarm);
    }
}
