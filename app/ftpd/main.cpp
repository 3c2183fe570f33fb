// lumbra-ftpd: the Orvello server without a desktop.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/ftpd/options.h"
#include "app/ftpd/stored_settings.h"
#include "app/ftpd/scan_lines.h"
#include "platform/adapter_override_env.h"
#include "platform/main_thread.h"
#include "platform/stop_signals.h"
#include "server/ftp_server.h"
#include "platform/tls.h"
#include "settings/adapter_wait.h"
#include "settings/passive_ports.h"
#include "settings/tls_settings.h"

namespace {

std::string StartFailure(const ServerSettings& s, const StartResult& result)
{
    std::string text = "lumbra-ftpd: cannot listen on " + s.m_strBindAddress + ":" +
                       std::to_string(s.m_nPort) + ": ";
    switch (result.failure) {
    case ListenFailure::PortInUse:
        return text + "the port is in use by another program";
    case ListenFailure::AddressNotLocal:
        return text + "the address is not an address of this computer";
    case ListenFailure::PortNeedsPrivilege:
        return text + "ports below 1024 need privilege; run as root, grant the program "
                      "CAP_NET_BIND_SERVICE (setcap cap_net_bind_service=+ep lumbra-ftpd), "
                      "or choose a port of 1024 or above with --port";
    default:
        return text + std::strerror(result.error);
    }
}

// Starts the server on `settings` and says where it listens. False when it
// cannot listen (the reason is on standard error).
bool StartServing(const ServerSettings& settings)
{
    theServer.SetSettings(settings);
    const StartResult started = theServer.Start();
    if (!started) {
        std::fprintf(stderr, "%s\n", StartFailure(settings, started).c_str());
        return false;
    }
    std::printf("listening on %s:%d\n", settings.m_strBindAddress.c_str(), theServer.ListeningPort());
    std::printf("passive ports %s\n", settings.m_PassivePorts.IsSet()
                                           ? FormatPortRange(settings.m_PassivePorts).c_str()
                                           : "chosen by the system");
    if (settings.m_pTls)
        std::printf("tls %s, certificate sha256 %s\n", TlsModeName(settings.m_nTlsMode),
                    settings.m_pTls->Fingerprint().c_str());
    std::fflush(stdout);
    return true;
}

// The stored adapter has no address yet (the network is not up at boot, or
// the adapter is unplugged): nothing is served until it has one, and then
// its address is. Serving another adapter meanwhile would open the scans to
// a network nobody chose.
std::unique_ptr<AdapterWait> WaitForAdapter(const ServerSettings& settings)
{
    std::fprintf(stderr,
                 "lumbra-ftpd: the network adapter %s has no IPv4 address; waiting for it "
                 "(choose another with --bind or --save --bind)\n",
                 settings.m_strAdapterName.c_str());
    return std::make_unique<AdapterWait>(settings.m_strAdapterName, [settings](const std::string& address) {
        ServerSettings found = settings;
        found.m_strBindAddress = address;
        std::fprintf(stderr, "lumbra-ftpd: the network adapter %s has the address %s\n",
                     settings.m_strAdapterName.c_str(), address.c_str());
        if (!StartServing(found))
            platform::QuitMainLoop(1);
    });
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
    // No thread runs yet; an idle server holds no certificate machinery.
    platform::DoCertificateWorkInChildProcess();
    if (options.save)
        return SaveSettingsFromOptions(options);
    ServerSettings settings;
    if (!LoadServerSettings(options, settings))
        return 1;

    theServer.SetScanListener([](const ScanEvent& event) { PrintScanEvent(event); });
    std::unique_ptr<AdapterWait> adapterWait;
    if (settings.m_strBindAddress.empty())
        adapterWait = WaitForAdapter(settings);
    else if (!StartServing(settings))
        return 1;

    const int exitCode = platform::RunMainLoop();
    adapterWait.reset();
    return theServer.Shutdown(exitCode);
}
