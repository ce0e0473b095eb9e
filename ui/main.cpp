// The program entry: an export or a backup the command line asks for, without a window; else
// the protocol object, the main window, the settings dialog, the message loop. SIGINT and
// SIGTERM close the main window as its close button does.

#include <QGuiApplication>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "buslink/kordeya32.h"
#include "common/program_home.h"
#include "records/command_line.h"
#include "ui/application.h"
#include "ui/command_line_run.h"
#include "ui/ktev_main.h"
#include "ui/ktev_setup.h"
#include "ui/signal_close.h"
#include "ui/single_instance.h"

namespace {

// A box only where someone can see it: the offscreen platform has no one to close it.
bool HasScreen() {
    const QString platform = QGuiApplication::platformName();
    return platform != QStringLiteral("offscreen") && platform != QStringLiteral("minimal");
}

} // namespace

int main(int argc, char* argv[]) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    TCommandLine line;
    std::string error;
    if (!ParseCommandLine(args, line, error)) {
        std::fprintf(stderr, "ktev: %s\n%s", error.c_str(), COMMAND_LINE_USAGE);
        return 2;
    }
    if (line.action == TCommandLine::TAction::Help) {
        std::fputs(COMMAND_LINE_USAGE, stdout);
        return 0;
    }
    TProgramHome home;
    if (!ResolveProgramHome(line.home, std::getenv("KTEV_HOME"), home, error)) {
        std::fprintf(stderr, "ktev: --home: %s\n", error.c_str());
        return 1;
    }
    if (line.action != TCommandLine::TAction::Window) {
        return RunCommandLine(argc, argv, line, home);
    }
    // Created first and destroyed last: the parts use it until the log's last line.
    TKordeya32 port(home.dir + "/ports");
    TApplication app(argc, argv, TF_Main::Caption());
    app.setApplicationName(QStringLiteral("ktev"));
    TSingleInstance instance(home.dir);
    QString instance_error;
    if (!instance.Acquire(instance_error)) {
        std::fprintf(stderr, "ktev: %s\n", instance_error.toLocal8Bit().constData());
        if (HasScreen()) {
            instance_error[0] = instance_error[0].toUpper();
            QMessageBox::information(nullptr, TF_Main::Caption(), instance_error);
        }
        return instance.IsHeldByAnother() ? TSingleInstance::ALREADY_RUNNING_EXIT : 1;
    }
    if (!instance_error.isEmpty()) {
        std::fprintf(stderr, "ktev: %s\n", instance_error.toLocal8Bit().constData());
    }
    try {
        TF_MainOptions options;
        options.program_path = home.base_path;
        options.data_dir = home.data;
        TF_Main main_window(port, std::move(options));
        TF_Setup setup(main_window);
        TSignalClose signal_close(&main_window);
        QObject::connect(&instance, &TSingleInstance::RaiseRequested, &main_window, [&main_window] {
            main_window.setWindowState(main_window.windowState() & ~Qt::WindowMinimized);
            main_window.show();
            main_window.raise();
            main_window.activateWindow();
        });
        main_window.show();
        const int result = QApplication::exec();
        // Ended by the catalogue check: the program did not work, whatever the loop says.
        return main_window.IsTerminated() ? 1 : result;
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, TF_Main::Caption(), QString::fromLocal8Bit(e.what()));
        return 1;
    }
}
