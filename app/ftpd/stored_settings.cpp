#include "app/ftpd/stored_settings.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "platform/message_box.h"
#include "platform/registry.h"
#include "platform/registry_autostart.h"
#include "platform/terminal.h"
#include "settings/passive_ports.h"
#include "settings/run_entry.h"
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

// At a terminal the password is asked for and not shown as it is typed.
bool ReadPasswordFromStandardInput(const std::string& user, std::string& password)
{
    if (!platform::StandardInputIsTerminal())
        return ReadFirstLine(std::cin, password);
    const platform::StandardInputEchoOff hidden;  // before the prompt: typing may start at once
    std::fprintf(stderr, "Password for %s: ", user.c_str());
    std::fflush(stderr);
    return ReadFirstLine(std::cin, password);
}

bool ReadPasswordFile(const std::string& path, std::string& password)
{
    std::ifstream file(path, std::ios::binary);
    if (file && ReadFirstLine(file, password))
        return true;
    std::fprintf(stderr, "lumbra-ftpd: cannot read the password file %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
}

// An empty password would let anyone who knows the user name in.
bool ReadPassword(const FtpdOptions& options, std::string& password)
{
    const bool read = options.passwordFile ? ReadPasswordFile(*options.passwordFile, password)
                                           : ReadPasswordFromStandardInput(*options.user, password);
    if (!read)
        return false;
    if (!password.empty())
        return true;
    std::fprintf(stderr, "lumbra-ftpd: the password for %s is empty; a named login needs a password\n",
                 options.user->c_str());
    return false;
}

// The autostart entry starts the desktop program, which lies beside this
// one; without it (a server with no desktop) the entry starts this program.
void NameTheProgramTheRunEntryStarts()
{
    std::string self;
    if (platform::GetOwnExecutablePath(self) != platform::ERROR_SUCCESS)
        return;
    const std::filesystem::path desktop = std::filesystem::path(self).parent_path() / "lumbra";
    std::error_code error;
    if (std::filesystem::is_regular_file(desktop, error))
        SetRunEntryProgram(desktop.string());
}

// What a save says: its success on standard output, everything else on
// standard error.
void ReportSaveMessagesOnTheirStreams()
{
    platform::SetMessageBoxHandler(
        [](const std::string& text, platform::MessageIcon icon, platform::MessageButtons) {
            std::FILE* out = icon == platform::MessageIcon::Information ? stdout : stderr;
            std::fprintf(out, "%s\n", text.c_str());
            std::fflush(out);
            return platform::MessageResult::Ok;
        });
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

// Test hook: LUMBRA_TIMEOUT_MINUTES sets the idle time-out past the range
// that --timeout keeps to, so that tests see it act within seconds (0 cuts
// a client off after about a second of silence). Not for use otherwise.
void ApplyTimeoutTestHook(ServerSettings& settings)
{
    const char* text = std::getenv("LUMBRA_TIMEOUT_MINUTES");
    int minutes = 0;
    if (text && std::from_chars(text, text + std::strlen(text), minutes).ec == std::errc() && minutes >= 0)
        settings.m_nTimeout = minutes;
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
    ApplyTimeoutTestHook(out);
    // Without any adapter (and none chosen) the server still serves this
    // computer itself; a chosen adapter without an address is waited for.
    if (out.m_strBindAddress.empty() && out.m_strAdapterName.empty())
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
    if (!ApplyOptions(options, s))
        return 1;
    NameTheProgramTheRunEntryStarts();
    ReportSaveMessagesOnTheirStreams();
    const bool saved = RunSaveSequence(s, crypt, options.passivePorts, HasTlsOptions(options));
    platform::SetMessageBoxHandler({});
    return saved ? 0 : 1;
}
