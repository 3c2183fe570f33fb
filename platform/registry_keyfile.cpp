#include "platform/registry_keyfile.h"

#include "platform/registry_files.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace platform {
namespace {

constexpr std::size_t kMaxKeyFileBytes = 16u << 20;

// Every writer of a key file holds this lock from creating its temporary
// file to renaming it, so whatever temporary file the holder finds belongs
// to a writer that died.
class KeyFileLock {
public:
    explicit KeyFileLock(const RegKeyLocation& key, RegFileLock::Wait wait = RegFileLock::Wait::Yes)
        : m_lock(key.filePath, wait)
    {
        if (m_lock.status() == ERROR_SUCCESS)
            RemoveLeftoverTemporaryFiles(key.filePath);
    }

    RegStatus status() const { return m_lock.status(); }

private:
    RegFileLock m_lock;
};

// The damaged file stays under its own name until the fresh one replaces it
// (a hard link keeps it beside), so a crash in between loses nothing. Where
// the file system has no hard links it is moved instead.
RegStatus KeepDamagedFileBeside(const RegKeyLocation& key, std::string& setAsidePath)
{
    const std::string damagedPath = key.filePath + ".damaged";
    if (unlink(damagedPath.c_str()) != 0 && errno != ENOENT)
        return RegStatusFromErrno(errno, ERROR_CANTWRITE);
    if (link(key.filePath.c_str(), damagedPath.c_str()) != 0 &&
        std::rename(key.filePath.c_str(), damagedPath.c_str()) != 0)
        return RegStatusFromErrno(errno, ERROR_CANTWRITE);
    setAsidePath = damagedPath;
    return ERROR_SUCCESS;
}

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
    KeyFileLock lock(key);
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

RegStatus UpdateKeyFile(const RegKeyLocation& key, const std::function<RegStatus(RegValueMap&)>& change,
                        DamagedKeyFile damaged, std::string* setAsidePath)
{
    std::string keptAt;
    KeyFileLock lock(key);
    if (lock.status() != ERROR_SUCCESS)
        return lock.status();
    RegValueMap values;
    RegStatus status = ReadKeyFile(key, values);
    if (status == ERROR_REGISTRY_CORRUPT && damaged == DamagedKeyFile::KeepBesideAndStartEmpty) {
        values.clear();
        status = KeepDamagedFileBeside(key, keptAt);
    }
    if (status == ERROR_SUCCESS)
        status = change(values);
    if (status == ERROR_SUCCESS)
        status = ReplaceFileAtomically(key.filePath, FormatRegFile(key.headerPath, values));
    if (setAsidePath != nullptr)
        *setAsidePath = keptAt;
    return status;
}

RegStatus TidyKeyFile(const RegKeyLocation& key)
{
    if (KeyFileExists(key) != ERROR_SUCCESS)
        return ERROR_SUCCESS;  // no key, no lock file to make for it
    return KeyFileLock(key, RegFileLock::Wait::No).status();
}

}  // namespace platform
