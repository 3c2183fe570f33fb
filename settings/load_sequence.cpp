// The load sequence: every setting read in a fixed order; the first failure
// is shown and ends the load.
#include "settings/settings_keys.h"
#include "settings/settings_store.h"

#include <cstdio>

#include "platform/message_box.h"
#include "platform/registry.h"
#include "settings/passive_ports.h"

namespace {

bool ShowLoadFailure(const char* message)
{
    platform::AfxMessageBox(message, platform::MessageIcon::Error, platform::MessageButtons::Ok);
    return false;
}

// A dword setting held as int; the stored bits are taken as they are.
bool ReadIntSetting(const char* name, int& held)
{
    auto value = static_cast<std::uint32_t>(held);
    if (!GetRegDword(name, value))
        return false;
    held = static_cast<int>(value);
    return true;
}

// What the network dialog refuses would cut every session short (0) or keep
// a dead one for days; such a value, written by hand or by an older
// version, gives way to the default.
bool ReadTimeout(LumbraSettings& s)
{
    if (!ReadIntSetting(settings_keys::kTimeout, s.m_nTimeout))
        return false;
    if (s.m_nTimeout < kShortestTimeout || s.m_nTimeout > kLongestTimeout) {
        std::fprintf(stderr, "the stored time-out %u is not %d to %d minutes; the default %d is used\n",
                     static_cast<unsigned>(s.m_nTimeout), kShortestTimeout, kLongestTimeout, kDefaultTimeout);
        s.m_nTimeout = kDefaultTimeout;
    }
    return true;
}

bool ReadBindAddress(LumbraSettings& s)
{
    std::string adapterName;
    if (!GetRegString(settings_keys::kNic, adapterName))
        return false;
    s.m_strIPAddress = GetIPAddressOfAdapter(adapterName);
    s.m_strAdapterName = std::move(adapterName);
    return true;
}

// User ID and password; only read in named (non-anonymous) mode.
bool ReadLogin(LumbraSettings& s, Vesk::CVeskCrypt& crypt)
{
    if (!GetRegString(settings_keys::kUserId, s.m_strUserID))
        return ShowLoadFailure("환경설정정보(사용자ID) 취득에 실패하였습니다.");
    std::string cipher;
    if (!GetRegBinary(settings_keys::kPassword, cipher))
        return ShowLoadFailure("환경설정정보(비밀번호) 취득에 실패하였습니다.");
    std::string plain;  // an empty stored password is not deciphered
    if (!cipher.empty() && !crypt.Decrypt(cipher, plain))
        return ShowLoadFailure("환경설정정보(비밀번호:복호화) 취득에 실패하였습니다.");
    s.m_strPassword = std::move(plain);
    return true;
}

}  // namespace

bool RunLoadSequence(LumbraSettings& s, Vesk::CVeskCrypt& crypt, const std::function<void()>& afterLogin)
{
    using namespace settings_keys;
    platform::RegTidyKey(kSettingsKey);  // never a reason to refuse the load
    if (crypt.Initialize() != Vesk::CVeskCrypt::kReady)
        return ShowLoadFailure("암호화 객체 생성에 실패하였습니다.");
    if (!ReadIntSetting(kLaunchOnStartup, s.m_bLaunchOnStartup))
        return ShowLoadFailure("환경설정정보(자동시작) 취득에 실패하였습니다.");
    if (!ReadBindAddress(s))
        return ShowLoadFailure("환경설정정보(NIC) 취득에 실패하였습니다.");
    if (!ReadIntSetting(kPort, s.m_nPort))
        return ShowLoadFailure("환경설정정보(포트번호) 취득에 실패하였습니다.");
    if (!ReadTimeout(s))
        return ShowLoadFailure("환경설정정보(타임아웃) 취득에 실패하였습니다.");
    if (!GetRegString(kHomePath, s.m_strHomePath))
        return ShowLoadFailure("환경설정정보(저장경로) 취득에 실패하였습니다.");
    if (!ReadIntSetting(kIsAnonymous, s.m_bAnonymous))
        return ShowLoadFailure("환경설정정보(Anonymous) 취득에 실패하였습니다.");
    if (s.m_bAnonymous == 0 && !ReadLogin(s, crypt))
        return false;
    if (afterLogin)
        afterLogin();
    if (!ReadIntSetting(kIsPlainScan, s.m_bPlainScan))
        return ShowLoadFailure("환경설정정보(PlainScan) 취득에 실패하였습니다.");
    // Our own optional value: an unusable one costs only the firewall-friendly
    // ports, never the start.
    if (!ReadStoredPassivePorts(s.m_PassivePorts))
        std::fprintf(stderr, "the stored passive ports are not a range LOW-HIGH; the system chooses them\n");
    ReadStoredTls(s.m_Tls);
    return true;
}
