// lumbra-ftpd: the Orvello server without a desktop.
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "app/ftpd/options.h"
#include "server/ftp_server.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void OnStopSignal(int)
{
    const char byte = 1;
    ssize_t ignored = ::write(g_signalPipe[1], &byte, 1);
    (void)ignored;
}

std::string FirstAdapterAddress()
{
    std::string address = "127.0.0.1";
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return address;
    for (ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || (a->ifa_flags & IFF_LOOPBACK))
            continue;
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, text, sizeof text);
        address = text;
        break;
    }
    ::freeifaddrs(list);
    return address;
}

bool ReadPasswordFile(const std::string& path, std::string& password)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    std::getline(file, password);
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    return true;
}

std::string HomeDefault()
{
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/root") + "/VESK_SCAN";
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

    ServerSettings settings;
    settings.m_strBindAddress = options.bindAddress.value_or(FirstAdapterAddress());
    settings.m_nPort = options.port.value_or(21);
    settings.m_nTimeout = options.timeout.value_or(5);
    settings.m_strHomePath = options.homePath.value_or(HomeDefault());
    settings.m_bPlainScan = options.plainScan ? 1 : 0;
    settings.m_bAnonymous = options.user ? 0 : 1;
    settings.m_strUserID = options.user.value_or("anonymous");
    if (options.passwordFile && !ReadPasswordFile(*options.passwordFile, settings.m_strPassword)) {
        std::fprintf(stderr, "lumbra-ftpd: cannot read the password file %s: %s\n",
                     options.passwordFile->c_str(), std::strerror(errno));
        return 1;
    }

    theServer.SetSettings(settings);
    if (!theServer.Start()) {
        std::fprintf(stderr, "%s\n", StartFailure(settings, theServer.LastStartError()).c_str());
        return 1;
    }
    std::printf("listening on %s:%d\n", settings.m_strBindAddress.c_str(), theServer.ListeningPort());
    std::fflush(stdout);

    QSocketNotifier stopNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, [&app] {
        theServer.Stop();
        app.quit();
    });
    app.exec();
    theServer.Stop();
    return 0;
}
