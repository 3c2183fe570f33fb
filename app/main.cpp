// lumbra: the Orvello desktop program. It takes no command-line options.
#include <signal.h>

#include <QApplication>

#include "app/adapter_env.h"
#include "app/lumbra_app.h"
#include "app/qt_message_box.h"
#include "app/termination.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);  // it lives in the tray
    ::signal(SIGPIPE, SIG_IGN);  // a client that hangs up is no reason to die
    InstallQtMessageBoxes();
    InstallAdapterListFromEnvironment();

    TerminationWatcher termination;
    CLumbraApp theApp;
    QObject::connect(&termination, &TerminationWatcher::terminationRequested, &theApp, &CLumbraApp::ExitProgram);

    int exitCode = 0;
    if (theApp.InitInstance())
        exitCode = theApp.Run();
    theApp.ExitInstance();
    return exitCode;
}
