// The save sequence: the autostart entry made to agree with auto-start, then
// every setting in a fixed order. The settings are gathered first and reach
// the store file in one replacement, so a save that fails or is killed
// leaves either all the new values or none of them. A failure is shown and
// ends the save.
#include "settings/run_entry.h"
#include "settings/save_messages.h"
#include "settings/scoped_reg_key.h"
#include "settings/settings_keys.h"
#include "settings/settings_store.h"

#include <cstdio>
#include <vector>

#include "settings/passive_ports.h"

using namespace platform;

namespace {

constexpr const char* kEncryptFailure = "환경설정정보 등록(비밀번호:암호화)에 실패하였습니다.";
constexpr const char* kSaveFailure = "환경설정정보 등록에 실패하였습니다.(%d)";

// Gathers the values of one save and writes them together. A value the
// load could not read back is refused with its own message before anything
// is written.
class SettingsWriter {
public:
    RegStatus Open() { return m_key.Open(settings_keys::kSettingsKey, KEY_READ | KEY_WRITE); }

    void Dword(const char* name, int value)
    {
        const auto data = static_cast<std::uint32_t>(value);
        Add(name, REG_DWORD, std::string(reinterpret_cast<const char*>(&data), sizeof data));
    }

    // Text of up to 259 bytes: a longer one would fail every later start.
    bool Text(const char* name, const std::string& text, const char* failure)
    {
        if (text.size() + 1 > settings_keys::kReadBufferBytes)
            return ShowSaveFailure(WithResultCode(failure, ERROR_INVALID_PARAMETER));
        Add(name, REG_SZ, text + '\0');
        return true;
    }

    bool Binary(const char* name, const std::string& bytes, const char* failure)
    {
        if (bytes.size() > settings_keys::kReadBufferBytes)
            return ShowSaveFailure(WithResultCode(failure, ERROR_INVALID_PARAMETER));
        Add(name, REG_BINARY, bytes);
        return true;
    }

    void Remove(const char* name) { m_changes.push_back({name, std::nullopt}); }

    // One write of everything gathered. A file that cannot be parsed would
    // refuse every save and so lock the user out for good: it is kept beside
    // for the user to look at and the fresh settings replace it.
    bool Commit()
    {
        std::string keptAt;
        const RegStatus status = RegSetValuesA(m_key.get(), m_changes, true, &keptAt);
        if (!keptAt.empty())
            std::fprintf(stderr, "the damaged settings file was kept as %s; fresh settings are saved\n", keptAt.c_str());
        return status == ERROR_SUCCESS || ShowSaveFailure(WithResultCode(kSaveFailure, status));
    }

private:
    void Add(const char* name, std::uint32_t type, std::string data)
    {
        m_changes.push_back({name, RegValue{type, std::move(data)}});
    }

    ScopedRegKey m_key;
    std::vector<RegValueChange> m_changes;
};

// User ID and password, only in named mode. A password that cannot be
// enciphered is not written at all: storing an empty cipher text in its
// place would silently turn it into an empty password.
bool GatherLogin(SettingsWriter& writer, const LumbraSettings& s, Vesk::CVeskCrypt& crypt, bool& encryptFailed)
{
    using namespace settings_keys;
    if (!writer.Text(kUserId, s.m_strUserID, "환경설정정보 등록(사용자ID)에 실패하였습니다.(%d)"))
        return false;
    std::string cipher;
    if (!crypt.Encrypt(s.m_strPassword, cipher)) {
        AfxMessageBox(kEncryptFailure, MessageIcon::None, MessageButtons::Ok);
        encryptFailed = true;
        return true;
    }
    return writer.Binary(kPassword, cipher, "환경설정정보 등록(비밀번호)에 실패하였습니다.(%d)");
}

void GatherPassivePorts(SettingsWriter& writer, const PortRange& range)
{
    if (range.IsSet())
        writer.Text(settings_keys::kPassivePorts, FormatPortRange(range), "");  // always short enough
    else
        writer.Remove(settings_keys::kPassivePorts);
}

// Our own additions, read after the designed values: an empty file name
// removes the stored one.
bool GatherTls(SettingsWriter& writer, const TlsSettings& tls)
{
    using namespace settings_keys;
    writer.Dword(kTlsMode, static_cast<int>(tls.mode));
    writer.Dword(kTlsLegacy, tls.legacy ? 1 : 0);
    for (const auto& [name, file] : {std::pair{kTlsCertFile, &tls.certFile}, std::pair{kTlsKeyFile, &tls.keyFile}}) {
        if (file->empty())
            writer.Remove(name);
        else if (!writer.Text(name, *file, "환경설정정보 등록에 실패하였습니다.(%d)"))
            return false;
    }
    return true;
}

}  // namespace

bool RunSaveSequence(const LumbraSettings& s, Vesk::CVeskCrypt& crypt, const std::optional<PortRange>& passivePorts,
                     bool withTls)
{
    using namespace settings_keys;
    if (!MakeRunEntryAgree(s.m_bLaunchOnStartup != 0))
        return false;

    SettingsWriter writer;
    const RegStatus status = writer.Open();
    if (status != ERROR_SUCCESS)
        return ShowSaveFailure(WithResultCode(kSaveFailure, status));
    // An adapter waited for keeps its name until another address is chosen.
    const std::string adapterName =
        s.m_strIPAddress.empty() ? s.m_strAdapterName : GetAdapterNameOfIPAddress(s.m_strIPAddress);
    if (!writer.Text(kNic, adapterName, "환경설정정보 등록(NIC)에 실패하였습니다.(%d)"))
        return false;
    writer.Dword(kPort, s.m_nPort);
    writer.Dword(kTimeout, s.m_nTimeout);
    writer.Dword(kLaunchOnStartup, s.m_bLaunchOnStartup);
    if (!writer.Text(kHomePath, s.m_strHomePath, "환경설정정보 등록(저장경로)에 실패하였습니다.(%d)"))
        return false;
    bool encryptFailed = false;
    if (s.m_bAnonymous == 0 && !GatherLogin(writer, s, crypt, encryptFailed))
        return false;
    writer.Dword(kIsAnonymous, s.m_bAnonymous);
    writer.Dword(kIsPlainScan, s.m_bPlainScan);
    if (passivePorts)
        GatherPassivePorts(writer, *passivePorts);
    if (withTls && !GatherTls(writer, s.m_Tls))
        return false;
    if (!writer.Commit())
        return false;

    // After a failed encipherment the closing box repeats that failure
    // rather than claiming complete success.
    AfxMessageBox(encryptFailed ? kEncryptFailure : "환경설정정보 등록에 성공하였습니다.", MessageIcon::Information,
                  MessageButtons::Ok);
    return true;
}
