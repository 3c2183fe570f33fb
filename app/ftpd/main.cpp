// lumbra-ftpd: the Orvello server without a desktop.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/ftpd/options.h"
#include "app/ftpd/stored_settings.h"
#include "app/ftpd/scan_lines.h"
#include "platform/adapter_override_env.h"
#include "platform/main_thread.h"
#include "platform/stop_signals.h"
#include "server/ftp_server.h"
#include "platform/tls.h"
#include "settings/passive_ports.h"
#include "settings/tls_settings.h"

namespace {

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

}  // namespace

int main(int argc, char** argv)
{
    FtpdOptions options;
    std::string error;
    if (!ParseFtpdOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "lumbra-ftpd: %s\n%s", error.c_str(), FtpdUsage());
        return 2;
    }
    if (options.help || options.version) {
        std::fputs(options.help ? FtpdUsage() : FtpdVersion().c_str(), stdout);
        return 0;
    }
    platform::StopSignalWatcher stopSignals([] { platform::QuitMainLoop(0); });
    if (!stopSignals.IsInstalled()) {
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
    if (settings.m_pTls)
        std::printf("tls %s, certificate sha256 %s\n", TlsModeName(settings.m_nTlsMode),
                    settings.m_pTls->Fingerprint().c_str());
    std::fflush(stdout);
    theServer.SetScanListener([](const ScanEvent& event) { PrintScanEvent(event); });

    platform::RunMainLoop();
    return theServer.Shutdown(0);
}
