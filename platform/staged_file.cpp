#include "platform/staged_file.h"

#include "platform/confined_fs.h"
#include "platform/handles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>

namespace platform {
namespace {

constexpr std::string_view kStagingPrefix = ".lumbra-upload-";
constexpr std::string_view kStagingSuffix = ".part";
constexpr int kNameAttempts = 16;
// A staging file that nobody holds is still spared this long after its last
// write: its writer may be between creating and locking it, or may hold its
// lock on another host of a network share that does not pass locks on (a
// paused flatbed upload, say). Ages are read on the folder's own clock, so
// hosts whose clocks differ agree on them.
constexpr int64_t kUnheldGraceSeconds = 15 * 60;
// Where the file system keeps no locks at all, nobody can tell a live writer
// from a dead one: only a file left alone this long is taken for a leftover.
constexpr int64_t kUnlockableLeftoverSeconds = 24 * 60 * 60;
// How long an exit that cannot wait waits for an upload in mid-commit.
constexpr auto kExitLockWait = std::chrono::seconds(1);

std::atomic<unsigned> g_nextStaging{0};

// The uploads open in this process. Never destroyed: a session's upload may
// end while the program's globals are being taken down.
struct OpenUploads {
    std::timed_mutex lock;
    StagedFile* first = nullptr;
    bool closedForExit = false;
};

OpenUploads& Uploads()
{
    static auto* uploads = new OpenUploads;
    return *uploads;
}

bool AllDigits(std::string_view text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// A lock on the whole file that belongs to the open file description, not to
// the process: any other open of the file conflicts with it, in this process
// too, and closing another descriptor of the file does not drop it. 0 or the
// errno of the failure.
int LockWholeFile(int fd, short type)
{
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0 ? 0 : errno;
}

enum class Verdict { Kept, TooYoung, Removed };

// Removes `name` if it is still the file `judged`, not one put there since.
Verdict RemoveJudged(int folder, const char* name, const struct stat& judged)
{
    struct stat named {};
    if (::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == judged.st_dev &&
        named.st_ino == judged.st_ino)
        ::unlinkat(folder, name, 0);
    return Verdict::Removed;
}

// Removes the staging file `name` when its writer is gone: nobody holds its
// lock and it has not been written for a while. `now` is the folder's clock.
Verdict RemoveIfLeftover(int folder, const char* name, const timespec& now)
{
    const UniqueFd file(::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (!file.IsOpen() || ::fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        return Verdict::Kept;
    const int error = LockWholeFile(file.Get(), F_RDLCK);
    if (error == EAGAIN || error == EACCES)
        return Verdict::Kept;  // a live writer holds it
    const int64_t age = static_cast<int64_t>(now.tv_sec) - static_cast<int64_t>(st.st_mtim.tv_sec);
    if (error != 0)
        return age >= kUnlockableLeftoverSeconds ? RemoveJudged(folder, name, st) : Verdict::Kept;
    return age >= kUnheldGraceSeconds ? RemoveJudged(folder, name, st) : Verdict::TooYoung;
}

// False when a file that nobody holds was spared for its youth.
bool SweepLeftovers(int folder, const timespec& now)
{
    const int handle = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handle < 0)
        return true;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(handle), ::closedir);
    if (!dir) {
        ::close(handle);
        return true;
    }
    bool complete = true;
    while (const dirent* entry = ::readdir(dir.get())) {
        if (StagedFile::IsStagingName(entry->d_name) &&
            RemoveIfLeftover(folder, entry->d_name, now) == Verdict::TooYoung)
            complete = false;
    }
    return complete;
}

// A crash leaves its staging file behind. The first upload of this process
// into a folder removes the leftovers there, and later ones try again as
// long as an unheld file was too young to be taken for one.
void SweepLeftoversOnce(const std::string& folderPath, int folder, const timespec& now)
{
    static std::mutex lock;
    static std::set<std::string> swept;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!swept.insert(folderPath).second)
            return;
    }
    if (!SweepLeftovers(folder, now)) {
        std::lock_guard<std::mutex> guard(lock);
        swept.erase(folderPath);
    }
}

void SplitPath(const std::string& path, std::string& folder, std::string& name)
{
    const size_t slash = path.find_last_of('/');
    folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    name = slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string JoinPath(const std::string& folder, const std::string& name)
{
    return !folder.empty() && folder.back() == '/' ? folder + name : folder + "/" + name;
}

}  // namespace

StagedFile::~StagedFile()
{
    Discard();
}

bool StagedFile::IsStagingName(std::string_view name)
{
    if (!name.starts_with(kStagingPrefix) || !name.ends_with(kStagingSuffix))
        return false;
    name = name.substr(kStagingPrefix.size(), name.size() - kStagingPrefix.size() - kStagingSuffix.size());
    const size_t dash = name.find('-');
    return dash != std::string_view::npos && AllDigits(name.substr(0, dash)) && AllDigits(name.substr(dash + 1));
}

bool StagedFile::Open(const std::string& home, const std::string& targetPath)
{
    std::string folderPath, targetName;
    SplitPath(targetPath, folderPath, targetName);
    return OpenIn(UniqueFd(OpenFolderBeneath(home, folderPath)), folderPath, targetName);
}

bool StagedFile::OpenIn(UniqueFd folder, const std::string& folderPath, const std::string& targetName)
{
    Discard();
    if (!folder.IsOpen())
        return false;
    m_folder = folder.Release();
    m_targetName = targetName;
    m_targetPath = JoinPath(folderPath, targetName);
    m_mode = -1;
    struct stat st {};
    if (::fstatat(m_folder, m_targetName.c_str(), &st, 0) == 0) {
        if (!S_ISREG(st.st_mode)) {
            Discard();
            return false;
        }
        m_mode = static_cast<int>(st.st_mode & 07777);
    }
    if (!CreateStagingFile() || !Register()) {
        Discard();
        return false;
    }
    // Our own new file tells the folder's time.
    if (::fstat(m_fd, &st) == 0)
        SweepLeftoversOnce(folderPath, m_folder, st.st_mtim);
    return true;
}

// A new staging file beside the target, locked at once and held so until
// the commit or the discard: the sweeps of other uploads spare a locked
// file. A file system that keeps no locks refuses the lock; the sweeps then
// go by age alone.
bool StagedFile::CreateStagingFile()
{
    const std::string prefix = std::string(kStagingPrefix) + std::to_string(::getpid()) + "-";
    for (int attempt = 0; attempt < kNameAttempts && m_fd < 0; ++attempt) {
        m_stagingName = prefix + std::to_string(g_nextStaging++) + std::string(kStagingSuffix);
        m_fd = ::openat(m_folder, m_stagingName.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (m_fd < 0 && errno != EEXIST)
            break;
    }
    if (m_fd < 0) {
        m_stagingName.clear();
        return false;
    }
    LockWholeFile(m_fd, F_WRLCK);
    return true;
}

bool StagedFile::Write(const void* data, size_t size)
{
    return WriteAll(m_fd, data, size);
}

bool StagedFile::Commit()
{
    if (m_fd < 0)
        return false;
    if (m_mode >= 0)
        ::fchmod(m_fd, static_cast<mode_t>(m_mode));
    // The bytes reach the disk before the name does: a scan reported as
    // complete survives a power cut.
    const bool flushed = ::fdatasync(m_fd) == 0 || errno == EINVAL;
    if (!flushed || !RenameOverTarget()) {
        Discard();
        return false;
    }
    ::close(m_fd);
    m_fd = -1;
    ::fsync(m_folder);
    ::close(m_folder);
    m_folder = -1;
    m_stagingName.clear();
    return true;
}

// Under the lock of the open uploads, so that an exit that cannot wait sees
// the file either still staged or already in place. The file is still open:
// its lock keeps the sweeps away up to the last moment.
bool StagedFile::RenameOverTarget()
{
    std::lock_guard<std::timed_mutex> guard(Uploads().lock);
    if (!m_bRegistered ||
        ::renameat(m_folder, m_stagingName.c_str(), m_folder, m_targetName.c_str()) != 0)
        return false;
    LeaveOpenList();
    m_stagingName.clear();
    return true;
}

void StagedFile::Discard()
{
    Unregister();
    // Removed while still locked: no sweep judges it in between.
    if (m_folder >= 0 && !m_stagingName.empty())
        ::unlinkat(m_folder, m_stagingName.c_str(), 0);
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    if (m_folder >= 0)
        ::close(m_folder);
    m_folder = -1;
    m_stagingName.clear();
}

bool StagedFile::Register()
{
    OpenUploads& uploads = Uploads();
    std::lock_guard<std::timed_mutex> guard(uploads.lock);
    if (uploads.closedForExit)
        return false;
    m_pPrevOpen = nullptr;
    m_pNextOpen = uploads.first;
    if (m_pNextOpen)
        m_pNextOpen->m_pPrevOpen = this;
    uploads.first = this;
    m_bRegistered = true;
    return true;
}

void StagedFile::Unregister()
{
    std::lock_guard<std::timed_mutex> guard(Uploads().lock);
    LeaveOpenList();
}

void StagedFile::LeaveOpenList()
{
    if (!m_bRegistered)
        return;
    (m_pPrevOpen ? m_pPrevOpen->m_pNextOpen : Uploads().first) = m_pNextOpen;
    if (m_pNextOpen)
        m_pNextOpen->m_pPrevOpen = m_pPrevOpen;
    m_pPrevOpen = m_pNextOpen = nullptr;
    m_bRegistered = false;
}

std::vector<std::string> StagedFile::DiscardAllForExit()
{
    std::vector<std::string> discarded;
    OpenUploads& uploads = Uploads();
    // An upload in mid-commit holds the lock for one rename; a file system
    // that hangs there is not waited for.
    std::unique_lock<std::timed_mutex> guard(uploads.lock, kExitLockWait);
    if (!guard.owns_lock())
        return discarded;
    uploads.closedForExit = true;
    while (StagedFile* file = uploads.first) {
        ::unlinkat(file->m_folder, file->m_stagingName.c_str(), 0);
        discarded.push_back(file->m_targetPath);
        file->LeaveOpenList();
    }
    return discarded;
}

}  // namespace platform
