// The single-value reads of the settings key. Each opens the key, reads one
// value and closes the key again.
#include "settings/scoped_reg_key.h"
#include "settings/settings_keys.h"
#include "settings/settings_store.h"

#include <array>

using namespace platform;

namespace {

constexpr std::uint32_t kReadWrite = KEY_READ | KEY_WRITE;

struct RawValue {
    std::uint32_t type = REG_NONE;
    std::array<char, settings_keys::kReadBufferBytes> bytes{};
    std::uint32_t size = settings_keys::kReadBufferBytes;
};

RegStatus QueryIntoBuffer(const char* name, std::uint32_t access, RawValue& raw)
{
    if (name == nullptr)
        return ERROR_INVALID_PARAMETER;
    ScopedRegKey key;
    const RegStatus status = key.Open(settings_keys::kSettingsKey, access);
    if (status != ERROR_SUCCESS)
        return status == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : status;  // a missing key is no absent value
    return RegQueryValueExA(key.get(), name, &raw.type, raw.bytes.data(), &raw.size);
}

}  // namespace

bool EnsureSettingsKey()
{
    HKEY key{};
    if (RegCreateKeyExA(HKEY_CURRENT_USER, settings_keys::kSettingsKey, kReadWrite, key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool SettingsKeyExists()
{
    HKEY key{};
    if (RegOpenKeyExA(HKEY_CURRENT_USER, settings_keys::kSettingsKey, KEY_READ, key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool GetRegDword(const char* name, std::uint32_t& value)
{
    std::uint32_t type = REG_NONE, data = 0, size = sizeof data;
    ScopedRegKey key;
    if (name == nullptr || key.Open(settings_keys::kSettingsKey, kReadWrite) != ERROR_SUCCESS)
        return false;
    const RegStatus status = RegQueryValueExA(key.get(), name, &type, &data, &size);
    if (status == ERROR_FILE_NOT_FOUND)
        return true;  // the caller's default stands
    if (status != ERROR_SUCCESS || type != REG_DWORD || size != sizeof data)
        return false;
    value = data;
    return true;
}

bool GetRegString(const char* name, std::string& value)
{
    RawValue raw;
    const RegStatus status = QueryIntoBuffer(name, kReadWrite, raw);
    if (status == ERROR_FILE_NOT_FOUND)
        return true;
    if (status != ERROR_SUCCESS || (raw.type != REG_SZ && raw.type != REG_EXPAND_SZ))
        return false;
    if (raw.size > 0 && raw.bytes[raw.size - 1] != '\0')
        return false;  // text without its terminator
    value = raw.bytes.data();  // up to the first NUL; the buffer is zero-filled
    return true;
}

bool GetRegBinary(const char* name, std::string& value)
{
    RawValue raw;
    if (QueryIntoBuffer(name, KEY_QUERY_VALUE, raw) != ERROR_SUCCESS)
        return false;  // an absent value included
    value.assign(raw.bytes.data(), raw.size);
    return true;
}
