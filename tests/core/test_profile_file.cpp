#include "common/profile_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <sys/stat.h>

#include "common/text.h"
#include "support/temp_dir.h"

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream data;
    data << in.rdbuf();
    return data.str();
}

void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

class ProfileFileTest : public ::testing::Test {
protected:
    // Writes the (UTF-8) text to the file in Windows-1251 and reads it.
    TProfileFile Load(const std::string& utf8) {
        WriteFile(path_, Utf8ToCp1251(utf8));
        return TProfileFile(path_);
    }

    TempDir dir_;
    std::string path_ = dir_.file("ktev.ini");
};

TEST(Integers, DecimalAndHexadecimalForms) {
    std::int32_t v = 0;
    EXPECT_TRUE(ParseInteger("123", v));
    EXPECT_EQ(v, 123);
    EXPECT_TRUE(ParseInteger("-45", v));
    EXPECT_EQ(v, -45);
    EXPECT_TRUE(ParseInteger("$FF", v));
    EXPECT_EQ(v, 255);
    EXPECT_TRUE(ParseInteger("0xFF", v));
    EXPECT_EQ(v, 255);
    EXPECT_TRUE(ParseInteger("0Xff", v));
    EXPECT_EQ(v, 255);
    EXPECT_TRUE(ParseInteger("$7FFFFFFF", v));
    EXPECT_EQ(v, 2147483647);
    EXPECT_TRUE(ParseInteger("0xFFFFFFFF", v));
    EXPECT_EQ(v, -1);
    EXPECT_TRUE(ParseInteger("-2147483648", v));
    EXPECT_EQ(v, -2147483647 - 1);
    EXPECT_TRUE(ParseInteger("00", v));
    EXPECT_EQ(v, 0);

    v = 77;
    for (const char* bad : {"", "FF", "0x", "$", "12abc", "yes", "1 2", "+5", "--1", "2147483648",
                            "-2147483649", "$100000000", "0x1G", "-$10", "99999999999999999999"}) {
        EXPECT_FALSE(ParseInteger(bad, v)) << bad;
    }
    EXPECT_EQ(v, 77) << "a failed parse leaves the value alone";
    EXPECT_FALSE(ParseDecimal("$10", v)) << "the decimal form takes digits only";
    EXPECT_TRUE(ParseDecimal(" 50 ", v));
    EXPECT_EQ(v, 50);
}

TEST_F(ProfileFileTest, NamesMatchWithoutRegardToCase) {
    const TProfileFile ini = Load("[Setup]\r\nDBFile=/data/Сигнал.db\r\n[Разделы]\r\nКлюч=1\r\n");
    EXPECT_EQ(ini.ReadString("setup", "dbfile", ""), "/data/Сигнал.db");
    EXPECT_EQ(ini.ReadString("SETUP", "DBFILE", ""), "/data/Сигнал.db");
    EXPECT_EQ(ini.ReadInteger("РАЗДЕЛЫ", "ключ", 0), 1);
    EXPECT_EQ(ini.ReadInteger("разделы", "КЛЮЧ", 0), 1);
    EXPECT_FALSE(ini.KeyExists("Setup", "Ключ"));
}

TEST_F(ProfileFileTest, ValuesAreTrimmedAndCutTo2047Characters) {
    std::string long_cyrillic;
    for (int i = 0; i < 3000; ++i) {
        long_cyrillic += "ы";
    }
    const TProfileFile ini = Load("[S]\n  padded  =  \t value with  inner  blanks \t \n"
                                  "empty=\nlong=" +
                                  std::string(3000, 'x') + "\nlong_ru=" + long_cyrillic +
                                  "\ncut_at_blank=" + std::string(2046, 'y') + "   tail\n");
    EXPECT_EQ(ini.ReadString("S", "padded", "def"), "value with  inner  blanks");
    EXPECT_EQ(ini.ReadString("S", "empty", "def"), "") << "an empty value is a value";
    EXPECT_EQ(ini.ReadString("S", "long", ""), std::string(2047, 'x'));
    EXPECT_EQ(Utf8Length(ini.ReadString("S", "long_ru", "")), 2047u);
    EXPECT_EQ(ini.ReadString("S", "cut_at_blank", ""), std::string(2046, 'y'))
        << "trimmed again after the cut";
}

TEST_F(ProfileFileTest, TypedReadsFallBackToTheirDefaults) {
    const TProfileFile ini = Load("[Setup]\nShowLines=abc\nComNum=-1\nbg=0xFF\nbg2=$FF\nbg3=FF\n"
                                  "bg4=0x\nIsSound=2\nIsAutoRun=yes\nCtrlDtr=0\nMask=0x7FFFFFFF\n");
    EXPECT_EQ(ini.ReadInteger("Setup", "ShowLines", 50), 50);
    EXPECT_EQ(ini.ReadInteger("Setup", "ComNum", 0), -1);
    EXPECT_EQ(ini.ReadInteger("Setup", "bg", 0xFFFFFF), 255);
    EXPECT_EQ(ini.ReadInteger("Setup", "bg2", 0xFFFFFF), 255);
    EXPECT_EQ(ini.ReadInteger("Setup", "bg3", 0xFFFFFF), 0xFFFFFF);
    EXPECT_EQ(ini.ReadInteger("Setup", "bg4", 0xFFFFFF), 0xFFFFFF);
    EXPECT_EQ(ini.ReadInteger("Setup", "Mask", 0), 2147483647);
    EXPECT_EQ(ini.ReadInteger("Setup", "Missing", 42), 42);
    EXPECT_EQ(ini.ReadInteger("Nowhere", "ShowLines", 42), 42);
    EXPECT_TRUE(ini.ReadBool("Setup", "IsSound", false)) << "any value but 0 is true";
    EXPECT_TRUE(ini.ReadBool("Setup", "IsAutoRun", true)) << "not a number: the default";
    EXPECT_FALSE(ini.ReadBool("Setup", "IsAutoRun", false));
    EXPECT_FALSE(ini.ReadBool("Setup", "CtrlDtr", true));
    EXPECT_EQ(ini.ReadString("Setup", "Missing", "fallback"), "fallback");
}

TEST_F(ProfileFileTest, SectionExistsOnlyWithAKey) {
    const TProfileFile ini =
        Load("[Empty]\n; a comment\n\n[NoKeys]\njust text\n[Full]\nfont_color=0\n");
    EXPECT_FALSE(ini.SectionExists("Empty"));
    EXPECT_FALSE(ini.SectionExists("NoKeys"));
    EXPECT_TRUE(ini.SectionExists("full"));
    EXPECT_FALSE(ini.SectionExists("Absent"));
}

TEST_F(ProfileFileTest, FirstOfRepeatedSectionsAndKeysCounts) {
    const TProfileFile ini = Load("[A]\nk=first\nk=second\n[B]\nx=1\n[a]\nk=third\nonly_later=1\n");
    EXPECT_EQ(ini.ReadString("A", "k", ""), "first");
    EXPECT_FALSE(ini.KeyExists("A", "only_later"));
    EXPECT_EQ(ini.ReadInteger("B", "x", 0), 1);
}

TEST_F(ProfileFileTest, LinesOutsideTheRulesAreIgnored) {
    const TProfileFile ini = Load("orphan=1\n[Open\nk=v\n  [ Spaced ]  \n  key = 5 \n=novalue\n"
                                  ";k=commented\n[Tail]\nk=\xD0\n");
    EXPECT_FALSE(ini.KeyExists("", "orphan"));
    EXPECT_EQ(ini.ReadString("Open", "k", ""), "v") << "a header without ']' names the rest";
    EXPECT_EQ(ini.ReadInteger("Spaced", "key", 0), 5);
    EXPECT_FALSE(ini.KeyExists("Spaced", ";k"));
    EXPECT_EQ(ini.ReadString("Tail", "k", ""), "?") << "unconvertible text comes out marked";
}

TEST_F(ProfileFileTest, MissingFileReadsEmptyAndIsCreatedByAWrite) {
    TProfileFile ini(path_);
    EXPECT_FALSE(ini.IsLoaded());
    EXPECT_EQ(ini.ReadInteger("Setup", "ShowLines", 50), 50);
    ASSERT_TRUE(ini.WriteInteger("Setup", "ShowLines", 75));
    ASSERT_TRUE(ini.WriteBool("Setup", "IsSound", true));
    ASSERT_TRUE(ini.WriteString("Setup", "DBFile", "/дом/default.db"));
    EXPECT_EQ(ReadFile(path_), Utf8ToCp1251("[Setup]\r\nShowLines=75\r\nIsSound=1\r\n"
                                            "DBFile=/дом/default.db\r\n"));
    EXPECT_EQ(TProfileFile(path_).ReadString("setup", "dbfile", ""), "/дом/default.db");
}

TEST_F(ProfileFileTest, AWriteChangesOneKeyAndKeepsEveryOtherLine) {
    const std::string original = "; settings\n"
                                 "[Options]\n"
                                 "  WindowsTop = 100  \r\n"
                                 "Unknown=kept as is\r\n"
                                 "not a key line\n"
                                 "\n"
                                 "[Setup]\r\n"
                                 "isLogDebug=1\r\n"
                                 "ComNum=3\r\n"
                                 "\r\n"
                                 "; trailing comment\r\n"
                                 "[Other]\n"
                                 "x=\x98\x01 binary";
    WriteFile(path_, original);
    TProfileFile ini(path_);
    ASSERT_TRUE(ini.WriteInteger("options", "windowstop", 120));
    ASSERT_TRUE(ini.WriteInteger("Setup", "ShowLines", 50));
    ASSERT_TRUE(ini.WriteString("Panels", "ToolButtons", "1"));
    ASSERT_TRUE(ini.WriteInteger("Other", "y", 2));
    const std::string expected = "; settings\n"
                                 "[Options]\n"
                                 "WindowsTop=120\r\n"
                                 "Unknown=kept as is\r\n"
                                 "not a key line\n"
                                 "\n"
                                 "[Setup]\r\n"
                                 "isLogDebug=1\r\n"
                                 "ComNum=3\r\n"
                                 "ShowLines=50\r\n"
                                 "\r\n"
                                 "; trailing comment\r\n"
                                 "[Other]\n"
                                 "x=\x98\x01 binary\r\n"
                                 "y=2\r\n"
                                 "[Panels]\r\n"
                                 "ToolButtons=1\r\n";
    EXPECT_EQ(ReadFile(path_), expected);
    EXPECT_EQ(TProfileFile(path_).ReadInteger("SETUP", "IsLogDebug", 0), 1);
}

TEST_F(ProfileFileTest, ChangesMadeByOthersSurviveAWrite) {
    WriteFile(path_, "[Setup]\r\nComNum=3\r\n");
    TProfileFile ini(path_);
    EXPECT_FALSE(ini.ReloadIfChanged());
    // The operator edits the file by hand while the program runs.
    WriteFile(path_, "[Setup]\r\nComNum=3\r\nIsLogDebug=1\r\n");
    ASSERT_TRUE(ini.WriteInteger("Setup", "ComNum", 4));
    EXPECT_EQ(ReadFile(path_), "[Setup]\r\nComNum=4\r\nIsLogDebug=1\r\n");
    EXPECT_EQ(ini.ReadInteger("Setup", "IsLogDebug", 0), 1);
}

TEST_F(ProfileFileTest, BadWritesChangeNothing) {
    WriteFile(path_, "[S]\r\nk=1\r\n");
    TProfileFile ini(path_);
    EXPECT_FALSE(ini.WriteString("", "k", "v"));
    EXPECT_FALSE(ini.WriteString("S", "  ", "v"));
    EXPECT_FALSE(ini.WriteString("S]x", "k", "v"));
    EXPECT_FALSE(ini.WriteString("S", "a=b", "v"));
    EXPECT_FALSE(ini.WriteString("S", "[k", "v"));
    EXPECT_FALSE(ini.WriteString("S", ";k", "v"));
    EXPECT_FALSE(ini.WriteString("S\n", "k", "v"));
    EXPECT_EQ(ReadFile(path_), "[S]\r\nk=1\r\n");

    ASSERT_TRUE(ini.WriteString("S", "k", "two\r\nlines"));
    EXPECT_EQ(ReadFile(path_), "[S]\r\nk=two  lines\r\n") << "a value cannot add lines";
    EXPECT_EQ(ini.ReadString("S", "k", ""), "two  lines");
}

TEST_F(ProfileFileTest, UnwritablePlacesFailTheWrite) {
    TProfileFile in_missing_folder(dir_.file("no/such/folder/ktev.ini"));
    EXPECT_FALSE(in_missing_folder.WriteInteger("Setup", "ComNum", 1));

    // A path that names a folder is not a file that could be read, so it is never written.
    const std::string folder = dir_.file("folder.ini");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    TProfileFile not_a_file(folder);
    EXPECT_FALSE(not_a_file.IsLoaded());
    EXPECT_FALSE(not_a_file.WriteInteger("Setup", "ComNum", 1));
}

// An editor may save the file as UTF-8 with a byte-order mark: the mark hides no section, the
// text reads as UTF-8, and a write keeps the file UTF-8 with its mark.
TEST_F(ProfileFileTest, AByteOrderMarkHidesNoSectionAndSaysHowTheFileReads) {
    WriteFile(path_, "\xEF\xBB\xBF[Setup]\r\nComNum=5\r\nDBFile=/srv/архив.db\r\n");
    TProfileFile ini(path_);
    EXPECT_EQ(ini.ReadInteger("Setup", "ComNum", 0), 5);
    EXPECT_EQ(ini.ReadString("setup", "dbfile", ""), "/srv/архив.db");
    ASSERT_TRUE(ini.WriteInteger("Setup", "ComNum", 7));
    ASSERT_TRUE(ini.WriteString("Журнал", "Файл", "/srv/журнал.log"));
    EXPECT_EQ(ReadFile(path_), "\xEF\xBB\xBF[Setup]\r\nComNum=7\r\nDBFile=/srv/архив.db\r\n"
                               "[Журнал]\r\nФайл=/srv/журнал.log\r\n");
    // Values are cut by characters, never inside one.
    std::string long_value;
    for (int i = 0; i < 3000; ++i) {
        long_value += "ж";
    }
    WriteFile(path_, "\xEF\xBB\xBF[S]\r\nk=" + long_value + "\r\n");
    const std::string cut = TProfileFile(path_).ReadString("S", "k", "");
    EXPECT_EQ(cut, long_value.substr(0, 2 * TProfileFile::MaxValueChars));

    // A mark before Windows-1251 text is skipped all the same, and kept.
    WriteFile(path_, "\xEF\xBB\xBF[Setup]\r\nDBFile=" + Utf8ToCp1251("/srv/архив.db") + "\r\n");
    TProfileFile cp1251(path_);
    EXPECT_EQ(cp1251.ReadString("Setup", "DBFile", ""), "/srv/архив.db");
    ASSERT_TRUE(cp1251.WriteInteger("Setup", "ComNum", 3));
    EXPECT_EQ(ReadFile(path_), "\xEF\xBB\xBF[Setup]\r\nDBFile=" + Utf8ToCp1251("/srv/архив.db") +
                                   "\r\nComNum=3\r\n");
}

TEST_F(ProfileFileTest, GarbageNeverBreaksTheReaderOrIsLostByAWrite) {
    std::mt19937 random(12345);
    std::string garbage;
    for (int i = 0; i < 200000; ++i) {
        const char pieces[] = {'[', ']', '=', '\r', '\n', ';', '\0', ' ', 'a'};
        garbage += random() % 4 == 0 ? pieces[random() % sizeof pieces]
                                     : static_cast<char>(random() % 256);
    }
    garbage += std::string(1 << 20, 'z'); // one overlong line at the end
    WriteFile(path_, garbage);
    TProfileFile ini(path_);
    EXPECT_TRUE(ini.IsLoaded());
    EXPECT_EQ(ini.ReadInteger("Setup", "ComNum", -1), -1);
    ASSERT_TRUE(ini.WriteInteger("Setup", "ComNum", 7));
    const std::string after = ReadFile(path_);
    EXPECT_EQ(after.substr(0, garbage.size()), garbage);
    EXPECT_EQ(TProfileFile(path_).ReadInteger("Setup", "ComNum", -1), 7);
}

} // namespace
