// lumbra-ftpd: the Orvello server without a desktop.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/ftpd/options.h"
#include "app/ftpd/stored_settings.h"
#include "app/ftpd/scan_lines.h"
#include "platform/adapter_override_env.h"
#include "server/ftp_server.h"
#include "server/process_end.h"
#include "settings/passive_ports.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void OnStopSignal(int)
{
    const char byte = 1;
    ssize_t ignored = ::write(g_signalPipe[1], &byte, 1);
    (void)ignored;
}

std::string StartFailure(const ServerSettings& s, int error)
{
    std::string text = "lumbra-ftpd: cannot listen on " + s.m_strBindAddress + ":" +
                       std::to_string(s.m_nPort) + ": ";
    if (error == EADDRINUSE)
        return text + "the port is in use by another program";
    if (error == EADDRNOTAVAIL)
        return text + "the address is not an address of this computer";
    if (error == EACCES && s.m_nPort < 1024)
        return text + "ports below 1024 need privilege; run as root, grant the program "
                      "CAP_NET_BIND_SERVICE (setcap cap_net_bind_service=+ep lumbra-ftpd), "
                      "or choose a port of 1024 or above with --port";
    return text + std::strerror(error);
}

bool InstallStopSignals()
{
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    FtpdOptions options;
    std::string error;
    if (!ParseFtpdOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "lumbra-ftpd: %s\n%s", error.c_str(), FtpdUsage());
        return 2;
    }
    if (options.help) {
        std::fputs(FtpdUsage(), stdout);
        return 0;
    }
    QCoreApplication app(argc, argv);
    if (!InstallStopSignals()) {
        std::perror("lumbra-ftpd: signals");
        return 1;
    }

    platform::InstallAdapterListFromEnvironment();
    if (options.save)
        return SaveSettingsFromOptions(options);
    ServerSettings settings;
    if (!LoadServerSettings(options, settings))
        return 1;

    theServer.SetSettings(settings);
    if (!theServer.Start()) {
        std::fprintf(stderr, "%s\n", StartFailure(settings, theServer.LastStartError()).c_str());
        return 1;
    }
    std::printf("listening on %s:%d\n", settings.m_strBindAddress.c_str(), theServer.ListeningPort());
    std::printf("passive ports %s\n", settings.m_PassivePorts.IsSet()
                                           ? FormatPortRange(settings.m_PassivePorts).c_str()
                                           : "chosen by the system");
    std::fflush(stdout);
    theServer.SetScanListener([](const ScanEvent& event) { PrintScanEvent(event); });

    QSocketNotifier stopNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, [&app] {
        theServer.Stop();
        app.quit();
    });
    app.exec();
    theServer.Stop();
    return EndAfterStop(0);
}
