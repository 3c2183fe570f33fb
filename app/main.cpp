// lumbra: the Orvello desktop program. It takes no command-line options;
// LUMBRA_ADAPTERS is a hook for tests only (see adapter_override_env.h).
#include <QApplication>

#include "app/lumbra_app.h"
#include "app/qt_message_box.h"
#include "app/qt_translation.h"
#include "platform/adapter_override_env.h"
#include "platform/stop_signals.h"
#include "server/ftp_server.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);  // it lives in the tray
    InstallQtMessageBoxes();
    InstallKoreanQtTranslation(app);  // without it Qt's buttons stay English
    platform::InstallAdapterListFromEnvironment();  // test hook, see its header

    CLumbraApp theApp;
    // SIGTERM (the desktop session ending) exits like "종료" without asking.
    platform::StopSignalWatcher stopSignals([&theApp] { theApp.ExitProgram(); });

    int exitCode = 0;
    if (theApp.InitInstance())
        exitCode = theApp.Run();
    theApp.ExitInstance();
    return theServer.Shutdown(exitCode);
}
