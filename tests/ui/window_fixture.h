#pragma once

// The main window and the settings dialog over a temporary program folder: its own catalogue,
// settings file, log, database and ports/ folder, and fakes for the message boxes and the file
// dialogs, so that nothing modal blocks a test.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <deque>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdlib.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "buslink/kordeya32.h"
#include "log/log.h"
#include "records/app_control.h"
#include "ui/ktev_main.h"
#include "ui/ktev_setup.h"

class FakeAppControl : public TAppControl {
public:
    void ShowErrorBox(std::string_view text) override { boxes.emplace_back(text); }
    bool AskQuestion(std::string_view) override { return false; }
    void Terminate() override { ++terminated; }

    std::vector<std::string> boxes;
    int terminated = 0;
};

// A pseudo-terminal whose slave side is linked as <ports>/com<n>, as an adapter would be.
class PtyPort {
public:
    PtyPort(const QString& ports_dir, int number) {
        QDir().mkpath(ports_dir);
        link_ = ports_dir + QStringLiteral("/com%1").arg(number);
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0) {
            QFile::link(QString::fromLocal8Bit(::ptsname(master_)), link_);
        }
    }
    ~PtyPort() {
        QFile::remove(link_);
        if (master_ >= 0) {
            ::close(master_);
        }
    }
    PtyPort(const PtyPort&) = delete;
    PtyPort& operator=(const PtyPort&) = delete;

private:
    QString link_;
    int master_ = -1;
};

class WindowFixture {
public:
    explicit WindowFixture(bool with_catalogue = true) {
        if (with_catalogue) {
            QFile::copy(QStringLiteral(KTEV_SOURCE_DIR "/TevMessages.ini"),
                        dir.filePath(QStringLiteral("TevMessages.ini")));
        }
    }
    ~WindowFixture() { Destroy(); }
    WindowFixture(const WindowFixture&) = delete;
    WindowFixture& operator=(const WindowFixture&) = delete;

    std::string Path(const char* name) const {
        return dir.filePath(QString::fromUtf8(name)).toStdString();
    }
    QString PortsDir() const { return dir.filePath(QStringLiteral("ports")); }
    std::string IniPath() const { return Path("ktev.ini"); }

    // The settings file, given and read back as UTF-8 (Windows-1251 on disk).
    void WriteIni(const std::string& text) const {
        std::ofstream(IniPath(), std::ios::binary) << Utf8ToCp1251(text);
    }
    std::string ReadIni() const { return ReadFile(IniPath()); }

    void Create() {
        TF_MainOptions options;
        options.program_path = Path("ktev");
        options.app = &app;
        options.db_retry_ms = db_retry_ms;
        options.choose_file = [this](const TFileChoice& choice, QString& chosen) {
            choices.push_back(choice);
            if (answers.empty()) {
                return false;
            }
            chosen = answers.front();
            answers.pop_front();
            return !chosen.isEmpty();
        };
        options.ask_comment = [this](QString& comment) {
            if (comments.empty()) {
                return false;
            }
            comment = comments.front();
            comments.pop_front();
            return true;
        };
        main = std::make_unique<TF_Main>(port, options);
        setup = std::make_unique<TF_Setup>(*main);
    }

    // Shows the window and lets the queued auto-start run.
    void Show() {
        main->show();
        QVERIFY(QTest::qWaitForWindowExposed(main.get()));
        QCoreApplication::processEvents();
    }

    // A window over the given settings file, shown.
    void Start(const std::string& ini) {
        WriteIni(ini);
        Create();
        Show();
    }

    void Destroy() {
        setup.reset();
        main.reset();
    }

    // The texts of the log file's lines, without their time stamp and level label.
    std::vector<std::string> LogTexts() const {
        if (main && main->GetLog() != nullptr) {
            main->GetLog()->Flush();
        }
        std::vector<std::string> texts;
        const std::string log = ReadFile(Path("ktev.log"));
        constexpr std::size_t prefix = 28;
        std::size_t start = 0;
        for (std::size_t end = log.find("\r\n"); end != std::string::npos;
             start = end + 2, end = log.find("\r\n", start)) {
            const std::string line = log.substr(start, end - start);
            texts.push_back(line.size() > prefix ? line.substr(prefix) : std::string());
        }
        return texts;
    }

    // Whether `wanted` appear in the log in this order (other lines may stand between them).
    bool LogHasInOrder(const std::vector<std::string>& wanted) const {
        const std::vector<std::string> texts = LogTexts();
        std::size_t next = 0;
        for (const std::string& text : texts) {
            if (next < wanted.size() && text.starts_with(wanted[next])) {
                ++next;
            }
        }
        return next == wanted.size();
    }

    int LogCount(const std::string& text) const {
        int count = 0;
        for (const std::string& line : LogTexts()) {
            count += line.starts_with(text) ? 1 : 0;
        }
        return count;
    }

    QTemporaryDir dir;
    FakeAppControl app;
    TKordeya32 port{PortsDir().toStdString()};
    // What the file dialogs were asked and what they answer next (an empty answer cancels).
    std::vector<TFileChoice> choices;
    std::deque<QString> answers;
    // The operator's comments on acknowledgements, in turn; none left: the prompt is cancelled.
    std::deque<QString> comments;
    // How often the service tries again a database that failed at its start.
    int db_retry_ms = TDevice::DB_RETRY_MS;
    std::unique_ptr<TF_Main> main;
    std::unique_ptr<TF_Setup> setup;

private:
    static std::string ReadFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return Cp1251ToUtf8(std::string(std::istreambuf_iterator<char>(in), {}));
    }
};
