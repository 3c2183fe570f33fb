#include "platform/registry.h"

#include "platform/registry_autostart.h"
#include "platform/registry_keyfile.h"

#include <cstring>
#include <map>
#include <mutex>

namespace platform {
namespace {

struct OpenKey {
    RegKeyLocation location;
    std::uint32_t access = 0;
};

// Handles are numbers into this table, never pointers, so a stale or made-up
// handle is refused instead of being followed.
class HandleTable {
public:
    HKEY Add(OpenKey key)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const HKEY handle = static_cast<HKEY>(m_next++);
        m_keys.emplace(handle, std::move(key));
        return handle;
    }

    bool Find(HKEY handle, OpenKey& key)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const auto it = m_keys.find(handle);
        if (it == m_keys.end())
            return false;
        key = it->second;
        return true;
    }

    bool Remove(HKEY handle)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_keys.erase(handle) == 1;
    }

private:
    std::mutex m_lock;
    std::map<HKEY, OpenKey> m_keys;
    std::uintptr_t m_next = 0x1000;  // never reused, so a double close is caught
};

HandleTable& Handles()
{
    static HandleTable table;
    return table;
}

RegStatus FindKey(HKEY handle, std::uint32_t neededAccess, OpenKey& key)
{
    if (!Handles().Find(handle, key))
        return ERROR_INVALID_HANDLE;
    return (key.access & neededAccess) == neededAccess ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

RegStatus ReadValue(const OpenKey& key, const std::string& name, RegValue& value)
{
    if (key.location.isRunKey)
        return ReadAutostartValue(key.location, name, value);
    RegValueMap values;
    const RegStatus status = ReadKeyFile(key.location, values);
    if (status != ERROR_SUCCESS)
        return status;
    const auto it = values.find(name);
    if (it == values.end())
        return ERROR_FILE_NOT_FOUND;
    value = it->second;
    return ERROR_SUCCESS;
}

RegStatus OpenOrCreate(HKEY root, const std::string& subKey, std::uint32_t access, HKEY& result, bool create,
                       std::uint32_t* disposition)
{
    if (root != HKEY_CURRENT_USER)
        return ERROR_INVALID_HANDLE;
    OpenKey key;
    key.access = access;
    RegStatus status = LocateRegKey(subKey, key.location);
    bool created = false;
    if (status == ERROR_SUCCESS && !key.location.isRunKey)
        status = create ? CreateKeyFile(key.location, created) : KeyFileExists(key.location);
    if (status != ERROR_SUCCESS)
        return status;
    if (disposition != nullptr)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    result = Handles().Add(std::move(key));
    return ERROR_SUCCESS;
}

bool IsStorableChange(const RegValueChange& change)
{
    return IsStorableValueName(change.name) && (!change.value || change.value->data.size() <= kMaxRegValueBytes);
}

void ApplyChange(RegValueMap& values, const RegValueChange& change)
{
    values.erase(change.name);  // a new spelling of the name replaces the old one
    if (change.value)
        values.emplace(change.name, *change.value);
}

}  // namespace

RegStatus RegCreateKeyExA(HKEY root, const std::string& subKey, std::uint32_t access, HKEY& result,
                          std::uint32_t* disposition)
{
    return OpenOrCreate(root, subKey, access, result, true, disposition);
}

RegStatus RegOpenKeyExA(HKEY root, const std::string& subKey, std::uint32_t access, HKEY& result)
{
    return OpenOrCreate(root, subKey, access, result, false, nullptr);
}

RegStatus RegQueryValueExA(HKEY handle, const std::string& valueName, std::uint32_t* type, void* data,
                           std::uint32_t* dataSize)
{
    OpenKey key;
    RegStatus status = FindKey(handle, KEY_QUERY_VALUE, key);
    if (status != ERROR_SUCCESS)
        return status;
    if (data != nullptr && dataSize == nullptr)
        return ERROR_INVALID_PARAMETER;
    RegValue value;
    status = ReadValue(key, valueName, value);
    if (status != ERROR_SUCCESS)
        return status;
    if (type != nullptr)
        *type = value.type;
    if (dataSize == nullptr)
        return ERROR_SUCCESS;
    const auto size = static_cast<std::uint32_t>(value.data.size());
    const std::uint32_t room = *dataSize;
    *dataSize = size;
    if (data == nullptr)
        return ERROR_SUCCESS;
    if (room < size)
        return ERROR_MORE_DATA;
    if (size > 0)
        std::memcpy(data, value.data.data(), size);
    return ERROR_SUCCESS;
}

RegStatus RegSetValueExA(HKEY handle, const std::string& valueName, std::uint32_t type, const void* data,
                         std::uint32_t size)
{
    OpenKey key;
    const RegStatus status = FindKey(handle, KEY_SET_VALUE, key);
    if (status != ERROR_SUCCESS)
        return status;
    if ((data == nullptr && size > 0) || size > kMaxRegValueBytes || !IsStorableValueName(valueName))
        return ERROR_INVALID_PARAMETER;
    RegValue value;
    value.type = type;
    if (size > 0)
        value.data.assign(static_cast<const char*>(data), size);
    if (key.location.isRunKey)
        return WriteAutostartValue(key.location, valueName, value);
    return UpdateKeyFile(key.location, [&](RegValueMap& values) {
        ApplyChange(values, {valueName, std::move(value)});
        return ERROR_SUCCESS;
    });
}

RegStatus RegSetValuesA(HKEY handle, const std::vector<RegValueChange>& changes, bool keepDamagedBeside,
                        std::string* keptAt)
{
    OpenKey key;
    const RegStatus status = FindKey(handle, KEY_SET_VALUE, key);
    if (status != ERROR_SUCCESS)
        return status;
    if (key.location.isRunKey)
        return ERROR_INVALID_PARAMETER;
    for (const RegValueChange& change : changes) {
        if (!IsStorableChange(change))
            return ERROR_INVALID_PARAMETER;
    }
    const DamagedKeyFile damaged = keepDamagedBeside ? DamagedKeyFile::KeepBesideAndStartEmpty : DamagedKeyFile::Refuse;
    return UpdateKeyFile(
        key.location,
        [&](RegValueMap& values) {
            for (const RegValueChange& change : changes)
                ApplyChange(values, change);
            return ERROR_SUCCESS;
        },
        damaged, keptAt);
}

RegStatus RegDeleteValueA(HKEY handle, const std::string& valueName)
{
    OpenKey key;
    const RegStatus status = FindKey(handle, KEY_SET_VALUE, key);
    if (status != ERROR_SUCCESS)
        return status;
    if (key.location.isRunKey)
        return DeleteAutostartValue(key.location, valueName);
    return UpdateKeyFile(key.location, [&](RegValueMap& values) {
        return values.erase(valueName) == 1 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

std::string RegKeyFilePath(const std::string& subKey)
{
    RegKeyLocation location;
    if (LocateRegKey(subKey, location) != ERROR_SUCCESS || location.isRunKey)
        return {};
    return location.filePath;
}

bool RegKeyIsDamaged(const std::string& subKey)
{
    RegKeyLocation location;
    if (LocateRegKey(subKey, location) != ERROR_SUCCESS || location.isRunKey)
        return false;
    RegValueMap values;
    return ReadKeyFile(location, values) == ERROR_REGISTRY_CORRUPT;
}

RegStatus RegTidyKey(const std::string& subKey)
{
    RegKeyLocation location;
    const RegStatus status = LocateRegKey(subKey, location);
    if (status != ERROR_SUCCESS)
        return status;
    return location.isRunKey ? ERROR_INVALID_PARAMETER : TidyKeyFile(location);
}

RegStatus RegCloseKey(HKEY handle)
{
    if (handle == HKEY_CURRENT_USER)
        return ERROR_SUCCESS;
    return Handles().Remove(handle) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

}  // namespace platform
