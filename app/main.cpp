// lumbra: the Orvello desktop program. Besides the toolkit's own options it
// takes only --help and --version; LUMBRA_ADAPTERS is a hook for tests only
// (see adapter_override_env.h).
#include <QApplication>
#include <cstdio>
#include <cstring>

#include "app/lumbra_app.h"
#include "app/qt_message_box.h"
#include "app/qt_translation.h"
#include "platform/adapter_override_env.h"
#include "platform/stop_signals.h"
#include "server/ftp_server.h"

namespace {

constexpr const char* kUsage =
    "usage: lumbra [--help | --version]\n"
    "The Orvello desktop program: its icon in the notification area serves the\n"
    "stored settings to the scanner, and its settings dialog changes them.\n"
    "Without a desktop, lumbra-ftpd serves the same settings.\n";

// --help and --version are answered before the toolkit looks for a display,
// so they work without one. Returns the exit code, or -1 to go on.
int AnswerInformationOptions(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("lumbra %s\n", LUMBRA_VERSION);
            return 0;
        }
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (const int code = AnswerInformationOptions(argc, argv); code >= 0)
        return code;
    QApplication app(argc, argv);  // takes the toolkit's options out of argv
    if (argc > 1) {
        std::fprintf(stderr, "lumbra: unknown option: %s\n%s", argv[1], kUsage);
        return 2;
    }
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
