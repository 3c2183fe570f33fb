// lumbra: the Orvello desktop program. It takes no command-line options;
// LUMBRA_ADAPTERS is a hook for tests only (see adapter_override_env.h).
#include <signal.h>

#include <QApplication>

#include "app/lumbra_app.h"
#include "app/qt_message_box.h"
#include "app/qt_translation.h"
#include "app/termination.h"
#include "platform/adapter_override_env.h"
#include "server/ftp_server.h"
#include "server/process_end.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);  // it lives in the tray
    ::signal(SIGPIPE, SIG_IGN);  // a client that hangs up is no reason to die
    InstallQtMessageBoxes();
    InstallKoreanQtTranslation(app);  // without it Qt's buttons stay English
    platform::InstallAdapterListFromEnvironment();  // test hook, see its header

    TerminationWatcher termination;
    CLumbraApp theApp;
    QObject::connect(&termination, &TerminationWatcher::terminationRequested, &theApp, &CLumbraApp::ExitProgram);

    int exitCode = 0;
    if (theApp.InitInstance())
        exitCode = theApp.Run();
    theApp.ExitInstance();
    return EndAfterStop(exitCode);
}
