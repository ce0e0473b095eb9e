// The program entry: an export or a backup the command line asks for, without a window; else
// the protocol object, the main window, the settings dialog, the message loop. SIGINT and
// SIGTERM close the main window as its close button does.

#include <QMessageBox>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "buslink/kordeya32.h"
#include "records/command_line.h"
#include "ui/application.h"
#include "ui/command_line_run.h"
#include "ui/ktev_main.h"
#include "ui/ktev_setup.h"
#include "ui/signal_close.h"

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
    if (line.action != TCommandLine::TAction::Window) {
        return RunCommandLine(argc, argv, line);
    }
    // Created first and destroyed last: the parts use it until the log's last line.
    TKordeya32 port(TComp32::DefaultPortsDir());
    TApplication app(argc, argv, TF_Main::Caption());
    app.setApplicationName(QStringLiteral("ktev"));
    try {
        TF_Main main_window(port);
        TF_Setup setup(main_window);
        TSignalClose signal_close(&main_window);
        main_window.show();
        const int result = QApplication::exec();
        // Ended by the catalogue check: the program did not work, whatever the loop says.
        return main_window.IsTerminated() ? 1 : result;
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, TF_Main::Caption(), QString::fromLocal8Bit(e.what()));
        return 1;
    }
}
