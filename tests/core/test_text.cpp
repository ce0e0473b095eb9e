#include "common/text.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

TEST(CodePage, CyrillicRoundTrip) {
    const std::string utf8 = "Запуск приложения: Ёё №5";
    const std::string cp1251 = Utf8ToCp1251(utf8);
    EXPECT_EQ(cp1251.size(), Utf8Length(utf8)) << "one byte per character";
    EXPECT_EQ(cp1251.substr(0, 2), "\xC7\xE0");
    EXPECT_NE(cp1251.find('\xA8'), std::string::npos) << "Ё";
    EXPECT_NE(cp1251.find('\xB9'), std::string::npos) << "№";
    EXPECT_EQ(Cp1251ToUtf8(cp1251), utf8);
    EXPECT_EQ(Cp1251ToUtf8(""), "");
    EXPECT_EQ(Utf8ToCp1251(""), "");
}

TEST(CodePage, WhatTheOtherSideLacksBecomesAQuestionMark) {
    EXPECT_EQ(Utf8ToCp1251("a中b"), "a?b");
    EXPECT_EQ(Utf8ToCp1251("😀"), "?") << "one mark per character, not per byte";
    EXPECT_EQ(Utf8ToCp1251("a\xFF\xFE"
                           "b"),
              "a??b");
    EXPECT_EQ(Utf8ToCp1251("\xD0"), "?") << "a sequence cut short at the end";
    EXPECT_EQ(Utf8ToCp1251("\xE2\x82x"), "?x") << "a sequence cut short in the middle";
    EXPECT_EQ(Cp1251ToUtf8("a\x98"
                           "b"),
              "a?b")
        << "0x98 has no character";
    EXPECT_EQ(Utf8ToCp1251(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(CodePage, BoundedConversionNeverOverruns) {
    char buffer[8];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(Utf8ToCp1251("Привет, мир", buffer, 5), 5u);
    EXPECT_EQ(std::string(buffer, 5), Utf8ToCp1251("Приве"));
    EXPECT_EQ(std::string(buffer + 5, 3), "###");
    EXPECT_EQ(Utf8ToCp1251("abc", buffer, 0), 0u);
    EXPECT_EQ(Utf8ToCp1251("a中", buffer, 1), 1u);
    EXPECT_EQ(Utf8ToCp1251("中中中", buffer, 2), 2u);
    EXPECT_EQ(std::string(buffer, 2), "??");
}

TEST(CodePage, Utf8PrefixCountsCharacters) {
    EXPECT_EQ(Utf8Prefix("Привет", 3), "При");
    EXPECT_EQ(Utf8Prefix("Привет", 100), "Привет");
    EXPECT_EQ(Utf8Prefix("ab😀c", 3), "ab😀");
    EXPECT_EQ(Utf8Prefix("abc", 0), "");
    EXPECT_EQ(Utf8Length("Привет"), 6u);
    EXPECT_EQ(Utf8Length("\xD0"), 1u);
    EXPECT_EQ(Utf8Length("\x80\x80"), 2u) << "stray continuation bytes count one each";
}

TEST(Trimming, CodesUpTo32GoAtBothEnds) {
    EXPECT_EQ(Trim(std::string("\0\t\r\n a b \x1F\x20\r\n", 13)), "a b");
    EXPECT_EQ(Trim("!x!"), "!x!") << "code 33 stays";
    EXPECT_EQ(Trim("  Ж  "), "Ж") << "UTF-8 bytes are never taken for blanks";
    EXPECT_EQ(Trim(" \t\r\n"), "");
    EXPECT_EQ(Trim(""), "");
    EXPECT_EQ(TrimRightView(" a "), " a");
    EXPECT_EQ(TrimView("\x7F"), "\x7F") << "DEL is above 32";
}

TEST(ErrorText, CodeAndSystemMessage) {
    EXPECT_EQ(GetLastErrorText(ENOENT), "[2] No such file or directory");
    errno = EACCES;
    EXPECT_EQ(GetLastErrorText(), "[13] Permission denied");
    EXPECT_EQ(GetLastErrorText(99999).substr(0, 8), "[99999] ");
}

TEST(SafeFormat, FormatsTheUsualConversions) {
    std::string out;
    EXPECT_TRUE(SafeSprintf(out, "%s, %d", "TDevice::SetService", 1));
    EXPECT_EQ(out, "TDevice::SetService, 1");
    EXPECT_TRUE(SafeSprintf(out, "%02X|%-4d|%c|%.2s", 10, 7, 'z', "abc"));
    EXPECT_EQ(out, "0A|7   |z|ab");
    EXPECT_TRUE(SafeSprintf(out, "[%4s]", "Жж")) << "widths count characters";
    EXPECT_EQ(out, "[  Жж]");
    EXPECT_TRUE(SafeSprintf(out, "%d%%", 5, "extra arguments are ignored"));
    EXPECT_EQ(out, "5%");
    EXPECT_TRUE(SafeSprintf(out, "no conversions"));
    EXPECT_EQ(out, "no conversions");
}

TEST(SafeFormat, BadFormatsFailWithoutReadingPastTheArguments) {
    std::string out = "stale";
    EXPECT_FALSE(SafeSprintf(out, "%d", "text"));
    EXPECT_EQ(out, "");
    EXPECT_FALSE(SafeSprintf(out, "%s %s %s", "one"));
    EXPECT_FALSE(SafeSprintf(out, "%d"));
    EXPECT_FALSE(SafeSprintf(out, "%n", 1));
    EXPECT_FALSE(SafeSprintf(out, "%", 1));
    const std::string longer = "ab%d";
    EXPECT_FALSE(SafeSprintf(out, std::string_view(longer).substr(0, 3), 1))
        << "a format ending in '%' is not read past its end";
    EXPECT_TRUE(SafeSprintf(out, "100%%"));
    EXPECT_EQ(out, "100%");
    EXPECT_FALSE(SafeSprintf(out, "%99999d", 1)) << "a width nobody means";
    EXPECT_FALSE(SafeSprintf(out, "%.100000s", "x"));
    EXPECT_FALSE(SafeSprintf(out, "%2147483648d", 1));
    EXPECT_TRUE(SafeSprintf(out, "%9999d", 1));
    EXPECT_EQ(out.size(), 9999u);
}

} // namespace
