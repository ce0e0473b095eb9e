#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "log/log.h"
#include "records/app_control.h"
#include "records/record.h"
#include "support/fake_log_pane.h"
#include "support/temp_dir.h"

// Writes a UTF-8 text to `path` as Windows-1251, the code page of the program's INI files.
bool WriteCp1251File(const std::string& path, std::string_view utf8);

// A message catalogue with a section for every record type, in which each format shows its
// arguments in the order the type passes them:
// - `name` is "Тип <code>", `color` is "Plain" (a style section with font colour 0x123456);
// - `record_format` is "R:" followed by one conversion per argument, separated by blanks
//   ("%d.%d.%d %d:%d:%d" for SYNCHRO_TIME); FIND_NEW_DEVICE..LOSS_DEVICE have "R:%d %s";
// - `device_format` is "D:%s" in every section, also where the type has no tree form;
// - value keys for the codes 1, -1 and 255 of every code-byte key and for the remote codes 2
//   and -1, each holding its own key name with a blank for the underscore ("state -1").
std::string ArgumentsCatalogue();

// Message boxes and termination requests, kept in order.
class FakeAppControl : public TAppControl {
public:
    void ShowErrorBox(std::string_view text) override { boxes.emplace_back(text); }
    bool AskQuestion(std::string_view) override { return false; }
    void Terminate() override { ++terminations; }

    std::vector<std::string> boxes;
    int terminations = 0;
};

// A temporary folder for the catalogue, a log that keeps its lines and a fake window side.
class CatalogueTest : public ::testing::Test {
protected:
    std::string CataloguePath() const {
        return dir_.file(std::string(TRecord::CATALOGUE_FILE_NAME));
    }
    void WriteCatalogue(std::string_view utf8) const {
        ASSERT_TRUE(WriteCp1251File(CataloguePath(), utf8));
    }
    std::unique_ptr<TRecord> Load() {
        return std::make_unique<TRecord>(TRecordLinks{&log_, &app_, dir_.path()});
    }
    // The texts logged so far with their level labels ("Error  text"), oldest first.
    std::vector<std::string> Logged();
    // Whether a line with exactly this level and text was logged.
    bool WasLogged(std::uint8_t level, std::string_view text);

    TempDir dir_;
    FakeLogPane pane_;
    TLog log_{&pane_, nullptr, dir_.file("ktev.log")};
    FakeAppControl app_;
};
