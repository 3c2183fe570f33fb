#include "platform/registry_files.h"

#include "platform/handles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string_view>

namespace platform {
namespace {

std::mutex g_hookLock;
std::function<bool(const std::string&)> g_beforeReplaceHook;

bool RunBeforeReplaceHook(const std::string& tempPath)
{
    std::function<bool(const std::string&)> hook;
    {
        std::lock_guard<std::mutex> guard(g_hookLock);
        hook = g_beforeReplaceHook;
    }
    return !hook || hook(tempPath);
}

std::string ParentFolder(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

RegStatus WriteContent(int fd, const std::string& content)
{
    if (!platform::WriteAll(fd, content.data(), content.size()))
        return RegStatusFromErrno(errno, ERROR_CANTWRITE);
    return ERROR_SUCCESS;
}

constexpr std::string_view kTemporaryMark = ".tmp-";
constexpr std::size_t kTemporaryRandomChars = 6;  // what mkostemp puts for XXXXXX

std::string FileName(const std::string& path)
{
    return path.substr(path.find_last_of('/') + 1);
}

// "." + file name + ".tmp-" + six letters or digits, and nothing else.
bool IsTemporaryNameOf(const std::string& fileName, std::string_view candidate)
{
    const std::string prefix = "." + fileName + std::string(kTemporaryMark);
    if (candidate.size() != prefix.size() + kTemporaryRandomChars || candidate.substr(0, prefix.size()) != prefix)
        return false;
    for (char c : candidate.substr(prefix.size())) {
        const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum)
            return false;
    }
    return true;
}

// Writes and fsyncs a fresh temporary file next to `path`; returns its name.
RegStatus WriteTemporaryFile(const std::string& path, const std::string& content, std::string& tempPath)
{
    const std::size_t slash = path.find_last_of('/');
    std::string name = path.substr(0, slash + 1) + "." + FileName(path) + std::string(kTemporaryMark) +
                       std::string(kTemporaryRandomChars, 'X');
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        return RegStatusFromErrno(errno, ERROR_CANTWRITE);
    RegStatus status = fchmod(fd, 0600) == 0 ? ERROR_SUCCESS : RegStatusFromErrno(errno, ERROR_CANTWRITE);
    if (status == ERROR_SUCCESS)
        status = WriteContent(fd, content);
    if (status == ERROR_SUCCESS && fsync(fd) != 0)
        status = RegStatusFromErrno(errno, ERROR_CANTWRITE);
    if (close(fd) != 0 && status == ERROR_SUCCESS)
        status = RegStatusFromErrno(errno, ERROR_CANTWRITE);
    if (status != ERROR_SUCCESS)
        unlink(name.c_str());
    else
        tempPath = std::move(name);
    return status;
}

void SyncFolder(const std::string& folder)
{
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);  // best effort: the rename is already visible to readers
        close(fd);
    }
}

}  // namespace

RegStatus RegStatusFromErrno(int error, RegStatus fallback)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case EROFS:
        return ERROR_WRITE_PROTECT;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return fallback;
    }
}

RegStatus MakePrivateFolders(const std::string& folder)
{
    struct stat info{};
    if (stat(folder.c_str(), &info) == 0)
        return S_ISDIR(info.st_mode) ? ERROR_SUCCESS : ERROR_PATH_NOT_FOUND;
    const std::string parent = ParentFolder(folder);
    if (parent != folder) {
        const RegStatus status = MakePrivateFolders(parent);
        if (status != ERROR_SUCCESS)
            return status;
    }
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return RegStatusFromErrno(errno, ERROR_CANTWRITE);
    return ERROR_SUCCESS;
}

RegStatus RegularFileExists(const std::string& path)
{
    struct stat info{};
    if (stat(path.c_str(), &info) != 0)
        return errno == ENOENT || errno == ENOTDIR ? ERROR_FILE_NOT_FOUND : RegStatusFromErrno(errno, ERROR_CANTREAD);
    return S_ISREG(info.st_mode) ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

RegStatus ReadWholeFile(const std::string& path, std::size_t maxBytes, std::string& content)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return errno == ENOENT || errno == ENOTDIR ? ERROR_FILE_NOT_FOUND : RegStatusFromErrno(errno, ERROR_CANTREAD);
    struct stat info{};
    RegStatus status = ERROR_SUCCESS;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        status = ERROR_INVALID_DATA;
    else if (static_cast<std::size_t>(info.st_size) > maxBytes)
        status = ERROR_REGISTRY_CORRUPT;
    std::string data;
    char chunk[8192];
    while (status == ERROR_SUCCESS) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            status = RegStatusFromErrno(errno, ERROR_CANTREAD);
        else if (n == 0)
            break;
        else if (data.size() + static_cast<std::size_t>(n) > maxBytes)
            status = ERROR_REGISTRY_CORRUPT;  // grew past the limit while reading
        else
            data.append(chunk, static_cast<std::size_t>(n));
    }
    close(fd);
    if (status == ERROR_SUCCESS)
        content = std::move(data);
    return status;
}

RegStatus ReplaceFileAtomically(const std::string& path, const std::string& content)
{
    std::string tempPath;
    RegStatus status = WriteTemporaryFile(path, content, tempPath);
    if (status != ERROR_SUCCESS)
        return status;
    if (!RunBeforeReplaceHook(tempPath))
        return ERROR_CANTWRITE;
    if (rename(tempPath.c_str(), path.c_str()) != 0) {
        status = RegStatusFromErrno(errno, ERROR_CANTWRITE);
        unlink(tempPath.c_str());
        return status;
    }
    SyncFolder(ParentFolder(path));
    return ERROR_SUCCESS;
}

void RemoveLeftoverTemporaryFiles(const std::string& path)
{
    const std::string folder = ParentFolder(path);
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return;  // nothing to tidy where nothing can be listed
    const std::string fileName = FileName(path);
    while (const dirent* entry = readdir(dir)) {
        if (IsTemporaryNameOf(fileName, entry->d_name))
            unlinkat(dirfd(dir), entry->d_name, 0);  // best effort, as its writer would have
    }
    closedir(dir);
}

void SetBeforeReplaceHookForTesting(std::function<bool(const std::string& tempPath)> hook)
{
    std::lock_guard<std::mutex> guard(g_hookLock);
    g_beforeReplaceHook = std::move(hook);
}

RegFileLock::RegFileLock(const std::string& path, Wait wait)
{
    const std::string lockPath = path + ".lock";
    m_fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    Lock(wait);
}

RegFileLock::RegFileLock(OnFolder, const std::string& folder)
{
    m_fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    Lock(Wait::Yes);
}

void RegFileLock::Lock(Wait wait)
{
    if (m_fd < 0) {
        m_status = RegStatusFromErrno(errno, ERROR_CANTWRITE);
        return;
    }
    const int operation = wait == Wait::Yes ? LOCK_EX : LOCK_EX | LOCK_NB;
    while (flock(m_fd, operation) != 0) {
        if (errno == EWOULDBLOCK) {
            m_status = ERROR_SHARING_VIOLATION;
            return;
        }
        if (errno != EINTR) {
            m_status = RegStatusFromErrno(errno, ERROR_CANTWRITE);
            return;
        }
    }
}

RegFileLock::~RegFileLock()
{
    if (m_fd >= 0)
        close(m_fd);  // closing releases the flock
}

}  // namespace platform
