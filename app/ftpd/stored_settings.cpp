#include "app/ftpd/stored_settings.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>

#include "settings/server_handover.h"
#include "settings/settings_store.h"

namespace {

bool ReadFirstLine(std::istream& in, std::string& line)
{
    if (!std::getline(in, line) && !in.eof())
        return false;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return true;
}

bool ReadPassword(const FtpdOptions& options, std::string& password)
{
    if (!options.passwordFile)
        return ReadFirstLine(std::cin, password);
    std::ifstream file(*options.passwordFile, std::ios::binary);
    if (file && ReadFirstLine(file, password))
        return true;
    std::fprintf(stderr, "lumbra-ftpd: cannot read the password file %s: %s\n",
                 options.passwordFile->c_str(), std::strerror(errno));
    return false;
}

bool LoadStored(LumbraSettings& s, Vesk::CVeskCrypt& crypt)
{
    if (!EnsureSettingsKey()) {
        std::fprintf(stderr, "환경정보 생성/접근에 실패하였습니다.\n");
        return false;
    }
    return RunLoadSequence(s, crypt);
}

bool ApplyOptions(const FtpdOptions& options, LumbraSettings& s)
{
    if (options.bindAddress)
        s.m_strIPAddress = *options.bindAddress;
    if (options.port)
        s.m_nPort = *options.port;
    if (options.timeout)
        s.m_nTimeout = *options.timeout;
    if (options.homePath)
        s.m_strHomePath = *options.homePath;
    if (options.plainScan)
        s.m_bPlainScan = *options.plainScan ? 1 : 0;
    if (options.autoStart)
        s.m_bLaunchOnStartup = *options.autoStart ? 1 : 0;
    if (options.anonymous) {
        s.m_bAnonymous = 1;
        s.m_strUserID = "anonymous";
    }
    if (options.user) {
        s.m_bAnonymous = 0;
        s.m_strUserID = *options.user;
        return ReadPassword(options, s.m_strPassword);
    }
    return true;
}

}  // namespace

bool LoadServerSettings(const FtpdOptions& options, ServerSettings& out)
{
    LumbraSettings s;
    Vesk::CVeskCrypt crypt;
    if (!LoadStored(s, crypt) || !ApplyOptions(options, s))
        return false;
    out = ServerSettingsFrom(s);
    // Without any adapter the server still serves this computer itself.
    if (out.m_strBindAddress.empty())
        out.m_strBindAddress = "127.0.0.1";
    return true;
}

int SaveSettingsFromOptions(const FtpdOptions& options)
{
    LumbraSettings s;
    Vesk::CVeskCrypt crypt;
    if (!LoadStored(s, crypt))
        return 1;
    const int launchBefore = s.m_bLaunchOnStartup;
    if (!ApplyOptions(options, s))
        return 1;
    return RunSaveSequence(s, launchBefore, crypt) ? 0 : 1;
}
