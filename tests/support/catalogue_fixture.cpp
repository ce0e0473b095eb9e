#include "support/catalogue_fixture.h"

#include <algorithm>
#include <array>
#include <fstream>

#include <fmt/format.h>

#include "common/text.h"
#include "database/record_types.h"

bool WriteCp1251File(const std::string& path, std::string_view utf8) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << Utf8ToCp1251(utf8);
    return static_cast<bool>(out);
}

std::string ArgumentsCatalogue() {
    constexpr std::array<std::string_view, RECORD_TYPE_COUNT> formats = {
        "R:%d %s", "R:%d %s",    "R:%d %s",       "R:%s",
        "R:%s",    "R:%s",       "R:%s",          "R:%s",
        "R:%d %s", "R:%s %d %s", "R:%d %s",       "R:%d %s %s",
        "R:%d %s", "R:%d %s",    "R:%s %d %s",    "R:%d %s",
        "R:%d %s", "R:%s %d %s", "R:%d %s",       "R:%s %d %s",
        "R:%d %s", "R:%d %s %s", "R:%d %s",       "R:%d %s %s",
        "R:%d",    "R:%d",       "R:%d %d %d %d", "R:%d.%d.%d %d:%d:%d",
    };
    constexpr std::array<std::string_view, 6> code_keys = {"state", "power",   "battery",
                                                           "type",  "control", "mode"};
    std::string text;
    for (int type = 0; type < RECORD_TYPE_COUNT; ++type) {
        text += fmt::format("[{}]\r\nname=Тип {}\r\nrecord_format={}\r\ndevice_format=D:%s\r\n"
                            "color=Plain\r\n",
                            RecordTypeName(type), type, formats[static_cast<std::size_t>(type)]);
        for (const std::string_view key : code_keys) {
            for (const int code : {1, -1, 255}) {
                text += fmt::format("{0}_{1}={0} {1}\r\n", key, code);
            }
        }
        text += "remote_2=remote 2\r\nremote_-1=remote -1\r\n\r\n";
    }
    text += "[Plain]\r\nfont_color=$123456\r\n";
    return text;
}

std::vector<std::string> CatalogueTest::Logged() {
    log_.Flush();
    std::vector<std::string> texts;
    for (const auto& line : pane_.lines) {
        // Each line starts with its time stamp and two blanks.
        const std::size_t start = line.text.find("  ");
        texts.push_back(start == std::string::npos ? line.text : line.text.substr(start + 2));
    }
    return texts;
}

bool CatalogueTest::WasLogged(std::uint8_t level, std::string_view text) {
    const std::string wanted = std::string(LogLabel(level)) + "  " + std::string(text);
    const auto texts = Logged();
    return std::find(texts.begin(), texts.end(), wanted) != texts.end();
}
