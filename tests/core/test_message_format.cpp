#include "records/message_format.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// The text, or "<failed>" when the format was refused.
std::string Format(std::string_view format, std::vector<TFormatArg> args) {
    std::string out = "old";
    if (!FormatCatalogueText(format, args, out)) {
        EXPECT_EQ(out, "") << format;
        return "<failed>";
    }
    return out;
}

} // namespace

TEST(CatalogueFormat, ConversionsWithFlagsWidthsAndPrecisions) {
    EXPECT_EQ(Format("100%% %d", {5}), "100% 5");
    EXPECT_EQ(Format("[%5.3d|%-4i|%+d|% d]", {7, -2, 3, 4}), "[  007|-2  |+3| 4]");
    EXPECT_EQ(Format("%08X %#x %o %u", {0xAB, 255, 8, -1}), "000000AB 0xff 10 4294967295");
    EXPECT_EQ(Format("%ld %lld %hhd %zu", {5, 6, 300, 7}), "5 6 44 7");
    EXPECT_EQ(Format("%c%c|%-3c|%3c", {0xC0, 'b', 0xFF, 0}), "Аb|я  |   ");
    EXPECT_EQ(Format("%s %.1s %5.2s|", {"Шлейф", "Шлейф", "Шлейф"}), "Шлейф Ш    Шл|");
    EXPECT_EQ(Format("no conversions", {}), "no conversions");
    EXPECT_EQ(Format("%d", {1, 2, "extra"}), "1");
}

TEST(CatalogueFormat, RefusesWhatItCannotApplySafely) {
    const std::vector<TFormatArg> args = {1, "text"};
    for (const std::string_view format :
         {"%",        "%d %", "%5",    "%-",    "%.",       "%*d",      "%.*d",  "%1$d",
          "%n",       "%p",   "%f",    "%e",    "%a",       "%lln",     "%hhhd", "%12345d",
          "%.12345d", "%s",   "%d %d", "%c %c", "%d %s %d", "%d %s %s", "%q"}) {
        EXPECT_EQ(Format(format, args), "<failed>") << format;
    }
}
