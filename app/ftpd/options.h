// The command line of lumbra-ftpd.
#pragma once

#include <optional>
#include <string>

#include "server/server_settings.h"
#include "settings/tls_settings.h"

struct FtpdOptions {
    std::optional<std::string> bindAddress;
    std::optional<int> port;
    std::optional<std::string> homePath;
    bool anonymous = false;
    std::optional<std::string> user;
    std::optional<std::string> passwordFile;
    std::optional<int> timeout;
    std::optional<bool> plainScan;
    std::optional<bool> autoStart;  // --save only
    std::optional<PortRange> passivePorts;  // "off" gives an unset range
    // FTPS: --tls MODE, --tls-legacy, --tls-cert FILE --tls-key FILE.
    std::optional<int> tlsMode;
    bool tlsLegacy = false;
    std::optional<std::string> tlsCert;
    std::optional<std::string> tlsKey;
    bool save = false;
    bool help = false;
    bool version = false;
};

// False with `error` set when an option or a value is bad.
bool ParseFtpdOptions(int argc, char** argv, FtpdOptions& options, std::string& error);
const char* FtpdUsage();
// "lumbra-ftpd 1.0.2.2" and a line feed.
std::string FtpdVersion();
