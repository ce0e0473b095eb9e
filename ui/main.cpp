// The program entry: the protocol object, the main window, the settings dialog, the message
// loop. SIGINT and SIGTERM close the main window as its close button does.

#include <QMessageBox>

#include <exception>

#include "buslink/kordeya32.h"
#include "ui/application.h"
#include "ui/ktev_main.h"
#include "ui/ktev_setup.h"
#include "ui/signal_close.h"

int main(int argc, char* argv[]) {
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
