#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>

#include "common/text.h"

#include "support/catalogue_fixture.h"

namespace {

struct TFormatted {
    bool ok = false;
    std::string text;
    TMessageStyle style;
};

// A catalogue of one LINE_STATE section with the given lines and any further sections.
std::string LineStateCatalogue(std::string_view section_lines, std::string_view more = "") {
    return "[LINE_STATE]\r\nname=Шлейф\r\nrecord_format=ШС %d: %s\r\n" +
           std::string(section_lines) + "\r\n" + std::string(more);
}

const std::string line_state_section_error =
    "Не найдена секция \"LINE_STATE\" в INI файле сообщений \"TevMessages.ini\"";

} // namespace

class RecordMessage : public CatalogueTest {
protected:
    void Use(std::string_view catalogue) {
        WriteCatalogue(catalogue);
        if (!record_) {
            record_ = Load();
        }
    }
    TFormatted Format(std::uint8_t type, std::int32_t value, bool for_record = true) {
        TFormatted result;
        // Outputs start dirty: the formatter must reset both.
        result.text = "old";
        result.style.is_bold = true;
        result.ok = record_->GetRecordMessage(type, value, for_record, result.style, result.text);
        return result;
    }

    std::unique_ptr<TRecord> record_;
};

struct TTypeCase {
    std::uint8_t type;
    std::int32_t value;
    const char* record_text;
    const char* device_text; // null: as the record text
};

// Every row of the formatting table: which keys each type reads (signed or unsigned code
// byte, signed remote byte), the order of its arguments, and which types have a tree form.
TEST_F(RecordMessage, EveryTypeInBothForms) {
    Use(ArgumentsCatalogue());
    const TTypeCase cases[] = {
        {FIND_NEW_DEVICE, 0x1234, "R:%d %s", nullptr},
        {RECOVERY_DEVICE, 0, "R:%d %s", nullptr},
        {LOSS_DEVICE, 0, "R:%d %s", nullptr},
        {MAX_STATE, 1, "R:state 1", "D:state 1"},
        {DEVICE_STATE, 0xFF, "R:state -1", "D:state -1"},
        {DEVICE_POWER, 1, "R:power 1", "D:power 1"},
        {DEVICE_BATTERY, 0x7FFF01, "R:battery 1", "D:battery 1"},
        {DEVICE_RESET, 0x02FF, "R:remote 2", nullptr},
        {LINE_STATE, MakeRecordValue(2, 0, 1), "R:3 state 1", "D:state 1"},
        {LINE_ON_OFF, MakeRecordValue(4, 2, 1), "R:state 1 5 remote 2", nullptr},
        {LINE_ON_OFF, MakeRecordValue(0, 2, 0xFF), "R:state 255 1 remote 2", nullptr},
        {LINE_TYPE, MakeRecordValue(0, 0, 0xFF), "R:1 type -1", "D:type -1"},
        {LINE_SET_TYPE, MakeRecordValue(1, 2, 0xFF), "R:2 type -1 remote 2", nullptr},
        {LINE_RESET, MakeRecordValue(4, 2, 0xFF), "R:5 remote 2", nullptr},
        {SENSOR_STATE, MakeRecordValue(0, 0, 0xFF), "R:1 state -1", "D:state -1"},
        {SENSOR_ON_OFF, MakeRecordValue(0, 0xFF, 0xFF), "R:state 255 1 remote -1", nullptr},
        {SENSOR_RESET, MakeRecordValue(2, 0xFF, 0xFF), "R:3 remote -1", nullptr},
        {RELAY_STATE, MakeRecordValue(3, 0, 1), "R:4 state 1", "D:state 1"},
        {RELAY_ON_OFF, MakeRecordValue(0, 2, 0xFF), "R:state 255 1 remote 2", nullptr},
        {RELAY_CONTROL, MakeRecordValue(0, 0, 0xFF), "R:1 control -1", "D:control -1"},
        {RELAY_SET_CONTROL, MakeRecordValue(0, 2, 0xFF), "R:control 255 1 remote 2", nullptr},
        {RELAY_TYPE, MakeRecordValue(1, 0, 0xFF), "R:2 type -1", "D:type -1"},
        {RELAY_SET_TYPE, MakeRecordValue(0, 2, 1), "R:1 type 1 remote 2", nullptr},
        {RELAY_MODE, MakeRecordValue(0, 0, 1), "R:1 mode 1", "D:mode 1"},
        {RELAY_SET_MODE, MakeRecordValue(0, 0xFF, 0xFF), "R:1 mode -1 remote -1", nullptr},
        {SET_DEVICE_ID, -1, "R:-1", nullptr},
        {SET_ADDRESS, 200, "R:200", nullptr},
        {SET_USER_NAME, static_cast<std::int32_t>(0xFF7F0141), "R:65 1 127 -1", nullptr},
        {SYNCHRO_TIME, 0, "R:1.1.1970 0:0:0", nullptr},
    };
    for (const auto& c : cases) {
        const TFormatted record = Format(c.type, c.value, true);
        EXPECT_TRUE(record.ok) << int{c.type};
        EXPECT_EQ(record.text, c.record_text) << int{c.type};
        EXPECT_EQ(record.style.font_color, 0x123456u) << int{c.type};
        EXPECT_FALSE(record.style.is_bold);
        const TFormatted device = Format(c.type, c.value, false);
        EXPECT_TRUE(device.ok) << int{c.type};
        EXPECT_EQ(device.text, c.device_text != nullptr ? c.device_text : c.record_text)
            << int{c.type};
    }
    EXPECT_TRUE(Logged().empty());
}

TEST_F(RecordMessage, ElementNumberIsTheUnsignedIndexPlusOne) {
    Use(ArgumentsCatalogue());
    EXPECT_EQ(Format(LINE_STATE, MakeRecordValue(0, 0, 1)).text, "R:1 state 1");
    EXPECT_EQ(Format(LINE_STATE, MakeRecordValue(0x8000, 0, 1)).text, "R:32769 state 1");
    EXPECT_EQ(Format(LINE_STATE, MakeRecordValue(0xFFFF, 0, 1)).text, "R:65536 state 1");
}

// The date is universal time whatever the zone, and the device's 32-bit clock is unsigned.
TEST_F(RecordMessage, SynchroTimeIsUniversalTime) {
    Use(ArgumentsCatalogue());
    const char* old_zone = std::getenv("TZ");
    const std::string saved = old_zone != nullptr ? old_zone : "";
    ::setenv("TZ", "Asia/Vladivostok", 1);
    ::tzset();
    EXPECT_EQ(Format(SYNCHRO_TIME, 1700000000).text, "R:14.11.2023 22:13:20");
    EXPECT_EQ(Format(SYNCHRO_TIME, -1).text, "R:7.2.2106 6:28:15");
    if (old_zone != nullptr) {
        ::setenv("TZ", saved.c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
    ::tzset();
}

TEST_F(RecordMessage, UserNameBytesAsWindows1251Characters) {
    Use("[SET_USER_NAME]\r\nname=x\r\nrecord_format=[%c%c%-3c|%2c]\r\ncolor=S\r\n"
        "[S]\r\nis_bold=0\r\n");
    // "Пуль" in Windows-1251, lowest byte first.
    EXPECT_EQ(Format(SET_USER_NAME, static_cast<std::int32_t>(0xFCEBF3CF)).text, "[Пул  | ь]");
    // The zero bytes after the end of a short name write nothing.
    EXPECT_EQ(Format(SET_USER_NAME, 0x4241).text, "[AB   |  ]");
}

TEST_F(RecordMessage, UnknownTypeGivesFalseEmptyTextAndDefaultStyle) {
    Use(ArgumentsCatalogue());
    for (const std::uint8_t type : {std::uint8_t{28}, std::uint8_t{255}}) {
        const TFormatted result = Format(type, 1);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.text, "");
        EXPECT_EQ(result.style, TMessageStyle{});
    }
    EXPECT_TRUE(WasLogged(LOG_TYPE_ERROR, "Неизвестный тип записи 255"));
}

TEST_F(RecordMessage, MissingSectionOrFieldsGiveFalseAndLog) {
    Use(LineStateCatalogue("color=S\r\nstate_1=Пожар", "[S]\r\nis_bold=1\r\n"));
    const TFormatted missing = Format(MAX_STATE, 1);
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.text, "");
    EXPECT_TRUE(WasLogged(LOG_TYPE_ERROR, "Не найдена секция \"MAX_STATE\" в INI файле "
                                          "сообщений \"TevMessages.ini\""));

    WriteCatalogue("[LINE_STATE]\r\nname=x\r\nrecord_format=  \r\ncolor=S\r\n");
    EXPECT_FALSE(Format(LINE_STATE, 1).ok);
    EXPECT_TRUE(WasLogged(LOG_TYPE_ERROR,
                          "Не найдено поле формата \"record_format\" в секции \"LINE_STATE\" в "
                          "INI файле сообщений \"TevMessages.ini\""));

    // A device-form call needs record_format and color as well.
    WriteCatalogue("[LINE_STATE]\r\nname=x\r\nrecord_format=%d %s\r\ndevice_format=%s\r\n");
    const TFormatted no_color = Format(LINE_STATE, 1, false);
    EXPECT_FALSE(no_color.ok);
    EXPECT_EQ(no_color.text, "");
    EXPECT_EQ(no_color.style, TMessageStyle{});
    EXPECT_TRUE(WasLogged(LOG_TYPE_ERROR, "Не найдено поле \"color\" в секции \"LINE_STATE\" в "
                                          "INI файле сообщений \"TevMessages.ini\""));
}

TEST_F(RecordMessage, DeviceFormMissingGivesAnEmptyText) {
    Use("[LINE_STATE]\r\nname=x\r\nrecord_format=%d %s\r\ncolor=S\r\nstate_1=Пожар\r\n"
        "[S]\r\nis_bold=1\r\n");
    const TFormatted result = Format(LINE_STATE, 1, false);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.text, "");
    EXPECT_TRUE(result.style.is_bold);
}

// Which style a message gets: the type's, or the one a value names after its semicolon, the
// code-byte value's winning over the remote value's.
TEST_F(RecordMessage, ValueStylesReplaceTheTypeStyle) {
    Use("[LINE_ON_OFF]\r\nname=x\r\nrecord_format=%s %d %s\r\ncolor=Type\r\n"
        "state_0=Выкл\r\nstate_1=Вкл ; Code \r\nstate_2=Сброс;\r\nstate_3= Два ; Code ; X\r\n"
        "remote_2=Оператор;Remote\r\nremote_3=Пульт\r\n"
        "[Type]\r\nfont_color=1\r\n[Code]\r\nfont_color=2\r\n[Remote]\r\nfont_color=3\r\n");
    const auto check = [&](std::uint8_t code, std::uint8_t remote, bool ok, std::string_view text,
                           std::uint32_t font_color) {
        const TFormatted result = Format(LINE_ON_OFF, MakeRecordValue(0, remote, code));
        EXPECT_EQ(result.ok, ok) << text;
        EXPECT_EQ(result.text, text);
        EXPECT_EQ(result.style.font_color, font_color) << text;
    };
    check(0, 3, true, "Выкл 1 Пульт", 1);
    check(1, 3, true, "Вкл 1 Пульт", 2);
    check(0, 2, true, "Выкл 1 Оператор", 3);
    check(1, 2, true, "Вкл 1 Оператор", 2);
    // A bare semicolon asks for the default style, whatever was named before.
    check(2, 2, true, "Сброс 1 Оператор", 0);
    // Everything after the first semicolon names the style: "Code ; X" does not exist.
    check(3, 3, false, "Два 1 Пульт", 0);
    EXPECT_TRUE(WasLogged(LOG_TYPE_ERROR, "Не найдена секция \"Code ; X\" в INI файле сообщений "
                                          "\"TevMessages.ini\""));
    // A missing value key reads "???" in the type's style.
    check(9, 9, true, "??? 1 ???", 1);
}

TEST_F(RecordMessage, StyleSectionWithoutKeysCountsAsMissing) {
    Use(LineStateCatalogue("color=Empty\r\nstate_1=Пожар", "[Empty]\r\n; no keys\r\n"));
    const TFormatted result = Format(LINE_STATE, MakeRecordValue(1, 0, 1));
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.text, "ШС 2: Пожар");
    EXPECT_EQ(result.style, TMessageStyle{});
    EXPECT_TRUE(WasLogged(LOG_TYPE_ERROR,
                          "Не найдена секция \"Empty\" в INI файле сообщений \"TevMessages.ini\""));
}

TEST_F(RecordMessage, StyleIntegersAndFlags) {
    Use(LineStateCatalogue(
        "color=A\r\nstate_1=x;B\r\nstate_2=x;C\r\nstate_3=x;D",
        "[A]\r\nbg_color=0xFF\r\nis_bold=2\r\nis_italic=1\r\nis_underline=1\r\nis_strikeout=1\r\n"
        "[B]\r\nbg_color=$FF\r\nis_bold=yes\r\nfont_color=$FFFFFFFF\r\n"
        "[C]\r\nbg_color=FF\r\nfont_color=0x\r\n"
        "[D]\r\nBG_COLOR=12345\r\nfont_color=-1\r\n"));
    const TMessageStyle a = Format(LINE_STATE, 0).style;
    EXPECT_EQ(a.bg_color, 255u);
    EXPECT_EQ(a.font_color, 0u);
    EXPECT_TRUE(a.is_bold && a.is_italic && a.is_underline && a.is_strikeout);
    const TMessageStyle b = Format(LINE_STATE, 1).style;
    EXPECT_EQ(b.bg_color, 255u);
    EXPECT_FALSE(b.is_bold);
    EXPECT_EQ(b.font_color, 0xFFFFFFu);
    const TMessageStyle c = Format(LINE_STATE, 2).style;
    EXPECT_EQ(c.bg_color, 0xFFFFFFu);
    EXPECT_EQ(c.font_color, 0u);
    const TMessageStyle d = Format(LINE_STATE, 3).style;
    EXPECT_EQ(d.bg_color, 12345u);
    EXPECT_EQ(d.font_color, 0xFFFFFFu);
}

// Formats come from a file: a wrong one fails with a log line and never reads a missing
// argument, never makes a huge text.
TEST_F(RecordMessage, BadFormatsFailWithALogLine) {
    const std::string_view bad_formats[] = {
        "%s %s",    "%d %d",      "%n %s",   "%*d %s",  "%d %s %",
        "%d %s %d", "%99999d %s", "%1$d %s", "%d %.*s", "%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d",
    };
    for (const std::string_view format : bad_formats) {
        WriteCatalogue("[LINE_STATE]\r\nname=x\r\ncolor=S\r\nstate_1=Пожар\r\nrecord_format=" +
                       std::string(format) + "\r\n[S]\r\nis_bold=1\r\n");
        if (!record_) {
            record_ = Load();
        }
        const TFormatted result = Format(LINE_STATE, MakeRecordValue(0, 0, 1));
        EXPECT_FALSE(result.ok) << format;
        EXPECT_EQ(result.text, "") << format;
        EXPECT_EQ(result.style, TMessageStyle{}) << format;
    }
    EXPECT_TRUE(WasLogged(LOG_TYPE_ERROR,
                          "Ошибка в поле формата \"record_format\" в секции \"LINE_STATE\" в INI "
                          "файле сообщений \"TevMessages.ini\""));

    WriteCatalogue(LineStateCatalogue("device_format=%d\r\ncolor=S", "[S]\r\nis_bold=1\r\n"));
    EXPECT_FALSE(Format(LINE_STATE, 1, false).ok);
    EXPECT_TRUE(WasLogged(LOG_TYPE_ERROR,
                          "Ошибка в поле формата \"device_format\" в секции \"LINE_STATE\" в INI "
                          "файле сообщений \"TevMessages.ini\""));
}

TEST_F(RecordMessage, LongValuesAreCut) {
    const std::string long_text(3000, 'x');
    Use("[FIND_NEW_DEVICE]\r\nname=x\r\nrecord_format=" + long_text + "\r\ncolor=S\r\n" +
        LineStateCatalogue("color=S\r\nstate_1=" + long_text, "[S]\r\nis_bold=1\r\n"));
    EXPECT_EQ(Format(FIND_NEW_DEVICE, 0).text, std::string(2047, 'x'));
    EXPECT_EQ(Format(LINE_STATE, 1).text, "ШС 1: " + std::string(2047, 'x'));
}

// Widths line up the tree's columns, so they count Cyrillic letters as one character each.
TEST_F(RecordMessage, WidthsCountCharacters) {
    Use("[LINE_ON_OFF]\r\nname=x\r\nrecord_format=%-6s|%3d|%.2s|\r\ncolor=S\r\n"
        "state_1=Пуск\r\nremote_2=Оператор\r\n[S]\r\nis_bold=1\r\n");
    EXPECT_EQ(Format(LINE_ON_OFF, MakeRecordValue(0, 2, 1)).text, "Пуск  |  1|Оп|");
}

TEST_F(RecordMessage, ByteWithoutACharacterBecomesAQuestionMark) {
    std::string bytes =
        Utf8ToCp1251(LineStateCatalogue("color=S\r\nstate_1=a#z", "[S]\r\nis_bold=1\r\n"));
    bytes[bytes.find('#')] = '\x98';
    std::ofstream(CataloguePath(), std::ios::binary) << bytes;
    record_ = Load();
    EXPECT_EQ(Format(LINE_STATE, 1).text, "ШС 1: a?z");
}

TEST(SplitValue, TextBeforeTheFirstSemicolonAndStyleAfterIt) {
    std::string style = "Before";
    EXPECT_EQ(TRecord::SplitValue("  Норма \t", style), "Норма");
    EXPECT_EQ(style, "Before");
    EXPECT_EQ(TRecord::SplitValue(" Пожар ; Alarm ", style), "Пожар");
    EXPECT_EQ(style, "Alarm");
    EXPECT_EQ(TRecord::SplitValue("a ; b ; c", style), "a");
    EXPECT_EQ(style, "b ; c");
    EXPECT_EQ(TRecord::SplitValue("Сброс;", style), "Сброс");
    EXPECT_EQ(style, "");
    EXPECT_EQ(TRecord::SplitValue(";Alarm", style), "");
    EXPECT_EQ(style, "Alarm");
}

TEST(MessageStyle, PacksIntoOneWordAndBack) {
    EXPECT_EQ(TMessageStyle::Unpack(TMessageStyle{}.Pack()), TMessageStyle{});
    TMessageStyle style;
    style.font_color = 0x0102FE;
    style.bg_color = 0xFEFDFC;
    for (int flag = 0; flag < 4; ++flag) {
        style.is_bold = flag == 0;
        style.is_italic = flag == 1;
        style.is_underline = flag == 2;
        style.is_strikeout = flag == 3;
        EXPECT_EQ(TMessageStyle::Unpack(style.Pack()), style) << flag;
    }
    // Only the colours' low 24 bits are kept.
    style.font_color = 0xFF000001;
    EXPECT_EQ(TMessageStyle::Unpack(style.Pack()).font_color, 1u);
}
