#include "platform/staged_file.h"

#include "platform/confined_fs.h"
#include "platform/handles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <csignal>
#include <memory>
#include <mutex>
#include <set>

namespace platform {
namespace {

constexpr std::string_view kStagingPrefix = ".lumbra-upload-";
constexpr int kNameAttempts = 16;

std::atomic<unsigned> g_nextStaging{0};

bool StartsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i])
            return false;
    }
    return true;
}

// The process that wrote a staging file, from its name; 0 when unknown.
pid_t StagingOwner(std::string_view name)
{
    name.remove_prefix(kStagingPrefix.size());
    pid_t pid = 0;
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
    return error == std::errc() && end != name.data() ? pid : 0;
}

bool ProcessIsGone(pid_t pid)
{
    return pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH;
}

// A crash leaves its staging file behind. The first upload of this process
// into a folder removes those of processes that no longer run.
void SweepStaleOnce(const std::string& folderPath, int folder)
{
    static std::mutex lock;
    static std::set<std::string> swept;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!swept.insert(folderPath).second)
            return;
    }
    const int handle = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handle < 0)
        return;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(handle), ::closedir);
    if (!dir) {
        ::close(handle);
        return;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (StagedFile::IsStagingName(name) && ProcessIsGone(StagingOwner(name)))
            ::unlinkat(folder, entry->d_name, 0);
    }
}

void SplitPath(const std::string& path, std::string& folder, std::string& name)
{
    const size_t slash = path.find_last_of('/');
    folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    name = slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

StagedFile::~StagedFile()
{
    Discard();
}

bool StagedFile::IsStagingName(std::string_view name)
{
    return StartsWithIgnoringAsciiCase(name, kStagingPrefix);
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
    m_mode = -1;
    struct stat st {};
    if (::fstatat(m_folder, m_targetName.c_str(), &st, 0) == 0) {
        if (!S_ISREG(st.st_mode)) {
            Discard();
            return false;
        }
        m_mode = static_cast<int>(st.st_mode & 07777);
    }
    SweepStaleOnce(folderPath, m_folder);
    static const std::string prefix = std::string(kStagingPrefix) + std::to_string(::getpid()) + "-";
    for (int attempt = 0; attempt < kNameAttempts && m_fd < 0; ++attempt) {
        m_stagingName = prefix + std::to_string(g_nextStaging++) + ".part";
        m_fd = ::openat(m_folder, m_stagingName.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (m_fd < 0 && errno != EEXIST)
            break;
    }
    if (m_fd < 0) {
        ::close(m_folder);
        m_folder = -1;
        return false;
    }
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
    const bool closed = ::close(m_fd) == 0;
    m_fd = -1;
    if (!flushed || !closed ||
        ::renameat(m_folder, m_stagingName.c_str(), m_folder, m_targetName.c_str()) != 0) {
        Discard();
        return false;
    }
    ::fsync(m_folder);
    ::close(m_folder);
    m_folder = -1;
    m_stagingName.clear();
    return true;
}

void StagedFile::Discard()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    if (m_folder >= 0) {
        if (!m_stagingName.empty())
            ::unlinkat(m_folder, m_stagingName.c_str(), 0);
        ::close(m_folder);
    }
    m_folder = -1;
    m_stagingName.clear();
}

}  // namespace platform
