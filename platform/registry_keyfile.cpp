#include "platform/registry_keyfile.h"

#include "platform/registry_files.h"

#include <cerrno>
#include <cstdio>

namespace platform {
namespace {

constexpr std::size_t kMaxKeyFileBytes = 16u << 20;

}  // namespace

RegStatus KeyFileExists(const RegKeyLocation& key)
{
    return RegularFileExists(key.filePath);
}

RegStatus CreateKeyFile(const RegKeyLocation& key, bool& created)
{
    created = false;
    RegStatus status = MakePrivateFolders(key.folder);
    if (status != ERROR_SUCCESS)
        return status;
    RegFileLock lock(key.filePath);
    if (lock.status() != ERROR_SUCCESS)
        return lock.status();
    status = KeyFileExists(key);
    if (status != ERROR_FILE_NOT_FOUND)
        return status;  // exists (even if unreadable, it is never replaced here)
    status = ReplaceFileAtomically(key.filePath, FormatRegFile(key.headerPath, {}));
    created = status == ERROR_SUCCESS;
    return status;
}

RegStatus ReadKeyFile(const RegKeyLocation& key, RegValueMap& values)
{
    std::string text;
    const RegStatus status = ReadWholeFile(key.filePath, kMaxKeyFileBytes, text);
    if (status == ERROR_FILE_NOT_FOUND)
        return ERROR_KEY_DELETED;  // must not look like an absent value
    if (status != ERROR_SUCCESS)
        return status;
    return ParseRegFile(text, key.headerPath, values) ? ERROR_SUCCESS : ERROR_REGISTRY_CORRUPT;
}

RegStatus UpdateKeyFile(const RegKeyLocation& key, const std::function<RegStatus(RegValueMap&)>& change)
{
    RegFileLock lock(key.filePath);
    if (lock.status() != ERROR_SUCCESS)
        return lock.status();
    RegValueMap values;
    RegStatus status = ReadKeyFile(key, values);
    if (status == ERROR_SUCCESS)
        status = change(values);
    if (status == ERROR_SUCCESS)
        status = ReplaceFileAtomically(key.filePath, FormatRegFile(key.headerPath, values));
    return status;
}

RegStatus SetAsideDamagedKeyFile(const RegKeyLocation& key, std::string& setAsidePath)
{
    setAsidePath.clear();
    RegFileLock lock(key.filePath);
    if (lock.status() != ERROR_SUCCESS)
        return lock.status();
    RegValueMap values;
    RegStatus status = ReadKeyFile(key, values);
    if (status == ERROR_SUCCESS || status == ERROR_KEY_DELETED)
        return ERROR_SUCCESS;  // nothing damaged to keep
    if (status != ERROR_REGISTRY_CORRUPT)
        return status;
    const std::string damagedPath = key.filePath + ".damaged";
    if (std::rename(key.filePath.c_str(), damagedPath.c_str()) != 0)
        return RegStatusFromErrno(errno, ERROR_CANTWRITE);
    setAsidePath = damagedPath;
    return ReplaceFileAtomically(key.filePath, FormatRegFile(key.headerPath, {}));
}

}  // namespace platform
