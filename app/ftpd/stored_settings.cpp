#include "app/ftpd/stored_settings.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>

#include "platform/registry.h"
#include "settings/passive_ports.h"
#include "settings/server_handover.h"
#include "settings/settings_keys.h"
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

std::string SettingsFile()
{
    return platform::RegKeyFilePath(settings_keys::kSettingsKey);
}

// After the designed message, the line that tells a user without a desktop
// which file is at fault and how to get out.
void NameSettingsFile(bool damaged)
{
    const std::string file = SettingsFile();
    if (damaged)
        std::fprintf(stderr,
                     "lumbra-ftpd: the settings file %s is damaged; repair or remove it, or store fresh "
                     "settings with lumbra-ftpd --save (the damaged file is then kept as %s.damaged)\n",
                     file.c_str(), file.c_str());
    else
        std::fprintf(stderr, "lumbra-ftpd: settings file: %s\n", file.c_str());
}

enum class LoadResult { Loaded, Damaged, Failed };

LoadResult LoadStored(LumbraSettings& s, Vesk::CVeskCrypt& crypt)
{
    if (!EnsureSettingsKey()) {
        std::fprintf(stderr, "환경정보 생성/접근에 실패하였습니다.\n");
        NameSettingsFile(false);
        return LoadResult::Failed;
    }
    if (RunLoadSequence(s, crypt))
        return LoadResult::Loaded;
    const bool damaged = platform::RegKeyIsDamaged(settings_keys::kSettingsKey);
    NameSettingsFile(damaged);
    return damaged ? LoadResult::Damaged : LoadResult::Failed;
}

void ApplyTlsOptions(const FtpdOptions& options, TlsSettings& tls)
{
    if (options.tlsMode)
        tls.mode = *options.tlsMode;
    if (options.tlsLegacy)
        tls.legacy = true;
    if (options.tlsCert) {
        tls.certFile = *options.tlsCert;
        tls.keyFile = *options.tlsKey;
    }
}

bool HasTlsOptions(const FtpdOptions& options)
{
    return options.tlsMode || options.tlsLegacy || options.tlsCert;
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
    if (options.passivePorts)
        s.m_PassivePorts = *options.passivePorts;
    ApplyTlsOptions(options, s.m_Tls);
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
    if (LoadStored(s, crypt) != LoadResult::Loaded || !ApplyOptions(options, s))
        return false;
    std::string error;
    if (s.m_Tls.mode != kTlsOff && !TlsContextFor(s.m_Tls, error)) {
        std::fprintf(stderr, "lumbra-ftpd: TLS: %s\n", error.c_str());
        return false;
    }
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
    // A damaged file does not stop the save: it is kept beside and fresh
    // settings (the defaults with the options) replace it.
    const LoadResult loaded = LoadStored(s, crypt);
    if (loaded == LoadResult::Failed)
        return 1;
    if (loaded == LoadResult::Damaged)
        s = LumbraSettings{};
    const int launchBefore = s.m_bLaunchOnStartup;
    if (!ApplyOptions(options, s) || !RunSaveSequence(s, launchBefore, crypt))
        return 1;
    if (HasTlsOptions(options)) {
        const platform::RegStatus status = StoreTls(s.m_Tls);
        if (status != platform::ERROR_SUCCESS) {
            std::fprintf(stderr, "lumbra-ftpd: cannot store the TLS settings in %s (%ld)\n",
                         SettingsFile().c_str(), static_cast<long>(status));
            return 1;
        }
    }
    if (!options.passivePorts)
        return 0;
    const platform::RegStatus status = StorePassivePorts(*options.passivePorts);
    if (status == platform::ERROR_SUCCESS)
        return 0;
    std::fprintf(stderr, "lumbra-ftpd: cannot store the passive ports in %s (%ld)\n", SettingsFile().c_str(),
                 static_cast<long>(status));
    return 1;
}
