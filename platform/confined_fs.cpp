#include "platform/confined_fs.h"
#include "platform/staged_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>

namespace platform {

UniqueFd::~UniqueFd()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = other.Release();
    }
    return *this;
}

int UniqueFd::Release()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

namespace {

std::atomic<bool> g_levelWalk{false};

std::string WithoutTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// `local` as a path relative to `home` ("" for the home folder itself).
bool RelativeTo(const std::string& home, const std::string& local, std::string& relative)
{
    if (home.empty())
        return false;
    if (local == home) {
        relative.clear();
        return true;
    }
    const std::string prefix = home == "/" ? home : home + "/";
    if (local.size() <= prefix.size() || local.compare(0, prefix.size(), prefix) != 0)
        return false;
    relative = local.substr(prefix.size());
    return true;
}

// The folder part and the last name of `local`; false when `local` has no
// level below the home folder.
bool SplitLastLevel(const std::string& home, const std::string& local, std::string& folder,
                    std::string& name)
{
    std::string relative;
    if (!RelativeTo(home, local, relative) || relative.empty())
        return false;
    const size_t slash = local.find_last_of('/');
    folder = slash == 0 ? "/" : local.substr(0, slash);
    name = local.substr(slash + 1);
    return !name.empty() && name != "." && name != "..";
}

std::vector<std::string> SplitLevels(const std::string& relative)
{
    std::vector<std::string> levels;
    size_t start = 0;
    while (start < relative.size()) {
        size_t slash = relative.find('/', start);
        if (slash == std::string::npos)
            slash = relative.size();
        if (slash > start)
            levels.push_back(relative.substr(start, slash - start));
        start = slash + 1;
    }
    return levels;
}

bool IsLinkAt(int folderFd, const std::string& name)
{
    struct stat st {};
    return ::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

// One level at a time, following no link at all: what openat2 with
// RESOLVE_NO_SYMLINKS does, for kernels without it.
int OpenByLevels(int rootFd, const std::string& relative, int flags)
{
    const std::vector<std::string> levels = SplitLevels(relative);
    if (levels.empty())
        return ::openat(rootFd, ".", flags | O_CLOEXEC);
    UniqueFd current;
    int at = rootFd;
    for (size_t i = 0; i < levels.size(); ++i) {
        const std::string& level = levels[i];
        if (level == "." || level == "..") {
            errno = EXDEV;
            return -1;
        }
        const bool last = i + 1 == levels.size();
        const int levelFlags = (last ? flags : O_PATH | O_DIRECTORY) | O_NOFOLLOW | O_CLOEXEC;
        UniqueFd next(::openat(at, level.c_str(), levelFlags));
        if (!next.IsOpen()) {
            const int error = errno;
            errno = IsLinkAt(at, level) ? ELOOP : error;
            return -1;
        }
        // O_PATH with O_NOFOLLOW opens a final link itself rather than failing.
        struct stat st {};
        if (::fstat(next.Get(), &st) != 0 || S_ISLNK(st.st_mode)) {
            errno = ELOOP;
            return -1;
        }
        current = std::move(next);
        at = current.Get();
    }
    return current.Release();
}

// openat2 with `resolve`; kernels without it (ENOSYS, or EPERM where a
// seccomp filter hides it) are walked one level at a time instead, and
// ENOSYS makes that the rule from then on.
int OpenWithResolve(int rootFd, const std::string& relative, int flags, uint64_t resolve)
{
    if (!g_levelWalk.load(std::memory_order_relaxed)) {
        open_how how{};
        how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
        how.resolve = resolve;
        const char* path = relative.empty() ? "." : relative.c_str();
        int fd = -1;
        for (int attempt = 0; attempt < 8; ++attempt) {
            fd = static_cast<int>(::syscall(SYS_openat2, rootFd, path, &how, sizeof how));
            // EAGAIN: a rename elsewhere meant the kernel could not vouch
            // for a ".." on the way; asking again is the documented answer.
            if (fd >= 0 || errno != EAGAIN)
                break;
        }
        if (fd >= 0 || (errno != ENOSYS && errno != EPERM))
            return fd;
        if (errno == ENOSYS)
            g_levelWalk.store(true);
    }
    return OpenByLevels(rootFd, relative, flags);
}

// Beneath `rootFd`, following no link.
int OpenWithoutLinks(int rootFd, const std::string& relative, int flags)
{
    return OpenWithResolve(rootFd, relative, flags,
                           RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS);
}

// Beneath `rootFd`, following relative links that stay beneath it (the
// level walk follows none; its callers then take the link-free route).
int OpenFollowingInside(int rootFd, const std::string& relative, int flags)
{
    return OpenWithResolve(rootFd, relative, flags, RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS);
}

std::optional<std::string> RealPath(const std::string& path)
{
    char resolved[PATH_MAX];
    if (!::realpath(path.c_str(), resolved))
        return std::nullopt;
    return std::string(resolved);
}

UniqueFd OpenHome(const std::string& home)
{
    if (home.empty())
        return UniqueFd();
    return UniqueFd(::open(home.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

// Opens `local` beneath the home folder. The kernel keeps every step of the
// lookup beneath `homeFd`, so whatever is swapped into the tree meanwhile
// the result lies inside. A link written with an absolute target (or one
// that climbs) is refused by that lookup; for those the path is resolved
// in text first and its link-free form then opened beneath, following no
// link, which again cannot leave.
int OpenBeneath(const std::string& home, int homeFd, const std::string& local, int flags)
{
    std::string relative;
    if (homeFd < 0 || !RelativeTo(home, local, relative)) {
        errno = EXDEV;
        return -1;
    }
    const int fd = OpenFollowingInside(homeFd, relative, flags);
    if (fd >= 0 || (errno != EXDEV && errno != ELOOP))
        return fd;
    const auto realHome = RealPath(home);
    const auto realLocal = RealPath(local);
    if (!realHome || !realLocal || !RelativeTo(*realHome, *realLocal, relative)) {
        errno = EXDEV;
        return -1;
    }
    return OpenWithoutLinks(homeFd, relative, flags);
}

// The folder that holds the last level of `local`, opened beneath the home
// folder, and that level's name.
UniqueFd OpenHoldingFolder(const std::string& home, const std::string& local, std::string& name)
{
    std::string folder;
    if (!SplitLastLevel(home, local, folder, name)) {
        errno = EINVAL;
        return UniqueFd();
    }
    const UniqueFd homeFd = OpenHome(home);
    return UniqueFd(OpenBeneath(home, homeFd.Get(), folder, O_PATH | O_DIRECTORY));
}

int ErrnoOf(int result)
{
    return result == 0 ? 0 : (errno != 0 ? errno : EIO);
}

EntryInfo InfoOf(const struct stat& st)
{
    EntryInfo info;
    info.isDirectory = S_ISDIR(st.st_mode);
    info.size = info.isDirectory ? 0 : static_cast<uint64_t>(st.st_size);
    info.mtime = st.st_mtim.tv_sec;
    return info;
}

}  // namespace

int OpenFolderBeneath(const std::string& home, const std::string& localFolder)
{
    const std::string root = WithoutTrailingSlashes(home);
    const UniqueFd homeFd = OpenHome(root);
    return OpenBeneath(root, homeFd.Get(), WithoutTrailingSlashes(localFolder), O_RDONLY | O_DIRECTORY);
}

namespace {

// The attributes of `local`, links followed beneath the home folder.
std::optional<struct stat> StatBeneath(const std::string& home, const std::string& local)
{
    const std::string root = WithoutTrailingSlashes(home);
    const UniqueFd homeFd = OpenHome(root);
    const UniqueFd fd(OpenBeneath(root, homeFd.Get(), local, O_PATH));
    struct stat st {};
    if (!fd.IsOpen() || ::fstat(fd.Get(), &st) != 0)
        return std::nullopt;
    return st;
}

}  // namespace

EntryKind QueryBeneath(const std::string& home, const std::string& local)
{
    const auto st = StatBeneath(home, local);
    if (!st)
        return EntryKind::Missing;
    return S_ISDIR(st->st_mode) ? EntryKind::Directory : EntryKind::Other;
}

bool IsRegularFileBeneath(const std::string& home, const std::string& local)
{
    const auto st = StatBeneath(home, local);
    return st && S_ISREG(st->st_mode);
}

bool IsHomeFolderItself(const std::string& home, const std::string& local)
{
    const auto target = StatBeneath(home, local);
    const auto self = StatBeneath(home, WithoutTrailingSlashes(home));
    return target && self && target->st_dev == self->st_dev && target->st_ino == self->st_ino;
}

bool ExistsBeneath(const std::string& home, const std::string& local)
{
    const std::string root = WithoutTrailingSlashes(home);
    if (local == root)
        return QueryBeneath(root, local) != EntryKind::Missing;
    std::string name;
    const UniqueFd folder = OpenHoldingFolder(root, local, name);
    struct stat st {};
    return folder.IsOpen() && ::fstatat(folder.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

std::vector<std::string> FolderNamesBeneath(const std::string& home, const std::string& localFolder)
{
    return ConfinedFolder(home, localFolder).Names();
}

namespace {

// Runs `act` on the last level of `local`, inside the folder that holds it.
template <typename Act>
int OnLastLevel(const std::string& home, const std::string& local, Act act)
{
    std::string name;
    const UniqueFd folder = OpenHoldingFolder(WithoutTrailingSlashes(home), local, name);
    if (!folder.IsOpen())
        return ErrnoOf(-1);
    return ErrnoOf(act(folder.Get(), name.c_str()));
}

}  // namespace

int MakeFolderBeneath(const std::string& home, const std::string& local)
{
    return OnLastLevel(home, local, [](int folder, const char* name) { return ::mkdirat(folder, name, 0777); });
}

int RemoveFolderBeneath(const std::string& home, const std::string& local)
{
    return OnLastLevel(home, local,
                       [](int folder, const char* name) { return ::unlinkat(folder, name, AT_REMOVEDIR); });
}

int RemoveFileBeneath(const std::string& home, const std::string& local)
{
    return OnLastLevel(home, local, [](int folder, const char* name) { return ::unlinkat(folder, name, 0); });
}

int RenameBeneath(const std::string& home, const std::string& from, const std::string& to)
{
    const std::string root = WithoutTrailingSlashes(home);
    std::string fromName, toName;
    const UniqueFd fromFolder = OpenHoldingFolder(root, from, fromName);
    if (!fromFolder.IsOpen())
        return ErrnoOf(-1);
    const UniqueFd toFolder = OpenHoldingFolder(root, to, toName);
    if (!toFolder.IsOpen())
        return ErrnoOf(-1);
    if (::renameat2(fromFolder.Get(), fromName.c_str(), toFolder.Get(), toName.c_str(),
                    RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return ErrnoOf(-1);
    // File systems without the no-replace flag: link refuses an existing
    // target just the same.
    if (::linkat(fromFolder.Get(), fromName.c_str(), toFolder.Get(), toName.c_str(), 0) != 0)
        return ErrnoOf(-1);
    if (::unlinkat(fromFolder.Get(), fromName.c_str(), 0) != 0) {
        const int error = ErrnoOf(-1);
        ::unlinkat(toFolder.Get(), toName.c_str(), 0);
        return error;
    }
    return 0;
}

namespace {

bool SameIgnoringAsciiCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

}  // namespace

std::optional<std::string> FindNameIgnoringCase(int folder, const std::string& name)
{
    // The entries are compared where the kernel put them: a folder of
    // thousands of scans costs no string per entry.
    alignas(dirent64) char buffer[32768];
    std::optional<std::string> found;
    for (;;) {
        const ssize_t size = ::getdents64(folder, buffer, sizeof buffer);
        if (size <= 0)
            return found;
        for (ssize_t offset = 0; offset < size;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + offset);
            offset += entry->d_reclen;
            const std::string_view candidate = entry->d_name;
            // A live upload's staging file is nobody's to find under another
            // spelling of its name.
            if (candidate == "." || candidate == ".." || !SameIgnoringAsciiCase(candidate, name) ||
                StagedFile::IsStagingName(candidate))
                continue;
            if (!found || candidate < *found)
                found = std::string(candidate);
        }
    }
}

bool OpenUploadTarget(const std::string& home, const std::string& localFolder,
                      const std::string& name, UploadTarget& target)
{
    const std::string root = WithoutTrailingSlashes(home);
    {
        const UniqueFd homeFd = OpenHome(root);
        target.folder = UniqueFd(
            OpenBeneath(root, homeFd.Get(), WithoutTrailingSlashes(localFolder), O_RDONLY | O_DIRECTORY));
    }
    if (!target.folder.IsOpen())
        return false;
    target.name = name;
    target.exists = target.isLink = false;
    struct stat st {};
    if (::fstatat(target.folder.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        const auto variant = FindNameIgnoringCase(target.folder.Get(), name);
        if (!variant || ::fstatat(target.folder.Get(), variant->c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return true;  // a new name
        target.name = *variant;
    }
    target.exists = true;
    target.isLink = S_ISLNK(st.st_mode);
    return true;
}

ConfinedFolder::ConfinedFolder(const std::string& home, const std::string& localFolder)
    : m_home(WithoutTrailingSlashes(home)), m_local(WithoutTrailingSlashes(localFolder)),
      m_homeFd(OpenHome(m_home)),
      m_folder(OpenBeneath(m_home, m_homeFd.Get(), m_local, O_RDONLY | O_DIRECTORY))
{
}

std::vector<std::string> ConfinedFolder::Names() const
{
    std::vector<std::string> names;
    if (!IsOpen())
        return names;
    // A descriptor of its own: closedir closes it.
    const int fd = ::openat(m_folder.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!dir) {
        if (fd >= 0)
            ::close(fd);
        return names;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

std::optional<EntryInfo> ConfinedFolder::Info(const std::string& name) const
{
    struct stat st {};
    if (!IsOpen() || ::fstatat(m_folder.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return std::nullopt;
    if (!S_ISLNK(st.st_mode))
        return InfoOf(st);
    const std::string path = m_local == "/" ? "/" + name : m_local + "/" + name;
    const UniqueFd target(OpenBeneath(m_home, m_homeFd.Get(), path, O_PATH));
    struct stat targetSt {};
    if (target.IsOpen() && ::fstat(target.Get(), &targetSt) == 0)
        return InfoOf(targetSt);
    return EntryInfo{false, 0, st.st_mtim.tv_sec};
}

void UseLevelWalkForTesting(bool enabled)
{
    g_levelWalk.store(enabled);
}

}  // namespace platform
