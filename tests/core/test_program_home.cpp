// The home folder and the installed data folder: which one a file is taken from, which home
// the command line and the environment give, and the session's autostart entry.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/autostart_entry.h"
#include "common/program_home.h"
#include "support/temp_dir.h"

namespace {

void Touch(const std::string& path) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << "x";
}

} // namespace

TEST(ProgramHome, HomeFilesComeBeforeTheInstalledOnesFileByFile) {
    TempDir dir;
    const TProgramHome home{dir.file("home"), dir.file("data"), dir.file("home/ktev")};
    Touch(dir.file("data/TevMessages.ini"));
    Touch(dir.file("data/sound/alarm.wav"));
    Touch(dir.file("data/sound/alert.wav"));
    Touch(dir.file("home/sound/alarm.wav"));

    EXPECT_EQ(home.CatalogueDir(), dir.file("data"));
    EXPECT_EQ(home.SoundFile("sound/alarm.wav"), dir.file("home/sound/alarm.wav"));
    EXPECT_EQ(home.SoundFile("sound/alert.wav"), dir.file("data/sound/alert.wav"));
    // Neither has it: the name as the build folder's program always took it.
    EXPECT_EQ(home.SoundFile("sound/failure.wav"), "sound/failure.wav");

    Touch(dir.file("home/TevMessages.ini"));
    EXPECT_EQ(home.CatalogueDir(), dir.file("home"));
}

TEST(ProgramHome, TheOptionWinsOverTheEnvironmentAndAnUnusableHomeIsRefused) {
    TempDir dir;
    TProgramHome home;
    std::string error;
    ASSERT_TRUE(ResolveProgramHome(dir.file("a/b"), dir.file("env").c_str(), home, error));
    EXPECT_EQ(home.dir, dir.file("a/b"));
    EXPECT_EQ(home.base_path, dir.file("a/b/ktev"));
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("a/b")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("env")));

    ASSERT_TRUE(ResolveProgramHome("", (dir.path() + "/env/").c_str(), home, error));
    EXPECT_EQ(home.dir, dir.file("env"));

    Touch(dir.file("file"));
    EXPECT_FALSE(ResolveProgramHome(dir.file("file/home"), nullptr, home, error));
    EXPECT_NE(error.find(dir.file("file/home")), std::string::npos) << error;
    EXPECT_FALSE(ResolveProgramHome(dir.file("file"), nullptr, home, error));
    EXPECT_NE(error.find(dir.file("file")), std::string::npos) << error;
}

TEST(AutostartEntry, ExecQuotesWhatTheDesktopEntryFormatReserves) {
    EXPECT_EQ(TAutostartEntry::ExecLine({"/usr/bin/ktev-workstation", "--home", "/srv/ktev"}),
              "/usr/bin/ktev-workstation --home /srv/ktev");
    // Quoted for the space; "$" and the quote escaped, "%" doubled, and each backslash of the
    // quoting doubled again for the string the value is.
    EXPECT_EQ(TAutostartEntry::ExecLine({"/opt/k tev/ktev", "--home", "/h/100%$\"x"}),
              "\"/opt/k tev/ktev\" --home \"/h/100%%\\\\$\\\\\"x\"");
}
