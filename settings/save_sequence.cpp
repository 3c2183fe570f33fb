// The save sequence: the Run entry if auto-start changed, then every setting
// in a fixed order. A failure is shown and ends the save; what was written
// before stays written. Each value reaches the store file atomically.
#include "settings/run_entry.h"
#include "settings/save_messages.h"
#include "settings/scoped_reg_key.h"
#include "settings/settings_keys.h"
#include "settings/settings_store.h"

#include <cstdio>

using namespace platform;

namespace {

constexpr const char* kEncryptFailure = "환경설정정보 등록(비밀번호:암호화)에 실패하였습니다.";

// Writes values through one open handle of the settings key.
class SettingsWriter {
public:
    RegStatus Open() { return m_key.Open(settings_keys::kSettingsKey, KEY_READ | KEY_WRITE); }

    bool Dword(const char* name, int value, const char* failure)
    {
        const auto data = static_cast<std::uint32_t>(value);
        return Write(name, REG_DWORD, &data, sizeof data, failure);
    }

    // Text the load could not read back (259 bytes at most) is refused
    // instead of being stored and failing every later start.
    bool Text(const char* name, const std::string& text, const char* failure)
    {
        if (text.size() + 1 > settings_keys::kReadBufferBytes)
            return ShowSaveFailure(WithResultCode(failure, ERROR_INVALID_PARAMETER));
        return Write(name, REG_SZ, text.c_str(), text.size() + 1, failure);
    }

    bool Binary(const char* name, const std::string& bytes, const char* failure)
    {
        if (bytes.size() > settings_keys::kReadBufferBytes)
            return ShowSaveFailure(WithResultCode(failure, ERROR_INVALID_PARAMETER));
        return Write(name, REG_BINARY, bytes.data(), bytes.size(), failure);
    }

private:
    bool Write(const char* name, std::uint32_t type, const void* data, std::size_t size, const char* failure)
    {
        const RegStatus status = RegSetValueExA(m_key.get(), name, type, data, static_cast<std::uint32_t>(size));
        return status == ERROR_SUCCESS || ShowSaveFailure(WithResultCode(failure, status));
    }

    ScopedRegKey m_key;
};

// User ID and password, only in named mode. A password that cannot be
// enciphered is not written at all: storing an empty cipher text in its
// place would silently turn it into an empty password.
bool WriteLogin(SettingsWriter& writer, const LumbraSettings& s, Vesk::CVeskCrypt& crypt, bool& encryptFailed)
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

// A settings file that cannot be parsed would refuse every write and so
// lock the user out for good: a save keeps it beside for the user to look at
// and writes fresh settings. If that fails, the writes report it as usual.
void KeepDamagedSettingsAside()
{
    std::string keptAt;
    if (RegSetAsideDamagedKey(settings_keys::kSettingsKey, keptAt) == ERROR_SUCCESS && !keptAt.empty())
        std::fprintf(stderr, "the damaged settings file was kept as %s; fresh settings are saved\n", keptAt.c_str());
}

}  // namespace

bool RunSaveSequence(const LumbraSettings& s, int launchOnStartupBefore, Vesk::CVeskCrypt& crypt)
{
    using namespace settings_keys;
    if (s.m_bLaunchOnStartup != launchOnStartupBefore && !ApplyRunEntry(s.m_bLaunchOnStartup != 0))
        return false;

    KeepDamagedSettingsAside();
    SettingsWriter writer;
    const RegStatus status = writer.Open();
    if (status != ERROR_SUCCESS)
        return ShowSaveFailure(WithResultCode("환경설정정보 등록에 실패하였습니다.(%d)", status));
    const std::string adapterName = GetAdapterNameOfIPAddress(s.m_strIPAddress);
    if (!writer.Text(kNic, adapterName, "환경설정정보 등록(NIC)에 실패하였습니다.(%d)") ||
        !writer.Dword(kPort, s.m_nPort, "환경설정정보 등록(포트번호)에 실패하였습니다.(%d)") ||
        !writer.Dword(kTimeout, s.m_nTimeout, "환경설정정보 등록(타임아웃)에 실패하였습니다.(%d)") ||
        !writer.Dword(kLaunchOnStartup, s.m_bLaunchOnStartup, "환경설정정보 등록(자동시작)에 실패하였습니다.(%d)") ||
        !writer.Text(kHomePath, s.m_strHomePath, "환경설정정보 등록(저장경로)에 실패하였습니다.(%d)"))
        return false;
    bool encryptFailed = false;
    if (s.m_bAnonymous == 0 && !WriteLogin(writer, s, crypt, encryptFailed))
        return false;
    if (!writer.Dword(kIsAnonymous, s.m_bAnonymous, "환경설정정보 등록(Anonymous)에 실패하였습니다.(%d)") ||
        !writer.Dword(kIsPlainScan, s.m_bPlainScan, "환경설정정보 등록(PlainScan)에 실패하였습니다.(%d)"))
        return false;

    // After a failed encipherment the closing box repeats that failure
    // rather than claiming complete success.
    AfxMessageBox(encryptFailed ? kEncryptFailure : "환경설정정보 등록에 성공하였습니다.", MessageIcon::Information,
                  MessageButtons::Ok);
    return true;
}
