// File operations confined to the home folder. Every path is resolved from
// an open descriptor of the home folder, so that a symbolic link or ".."
// swapped into the tree at any moment cannot lead the operation out of it.
//
// Paths are local paths as the session's resolvers make them: the home folder
// text, then "/" and one name per level. Symbolic links that stay inside the
// home folder are followed; links that lead out count as missing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// An owned file descriptor, closed with its owner.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd();
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return m_fd; }
    bool IsOpen() const { return m_fd >= 0; }
    int Release();

private:
    int m_fd = -1;
};

// Opens the folder `localFolder` (the home folder itself or a folder below
// it) for reading, resolved beneath the home folder `home`. Returns the new
// descriptor (O_DIRECTORY, close-on-exec; the caller closes it), or -1 with
// errno set when the folder is missing, is not a folder, or lies outside.
int OpenFolderBeneath(const std::string& home, const std::string& localFolder);

enum class EntryKind { Missing, Directory, Other };

// What `local` is, links followed as long as they stay inside; anything that
// leads out or cannot be queried counts as missing.
EntryKind QueryBeneath(const std::string& home, const std::string& local);

// True when `local` is a regular file, links followed as above.
bool IsRegularFileBeneath(const std::string& home, const std::string& local);

// True when `local` is the home folder itself under another spelling (a
// link to it, "sub/.." and the like).
bool IsHomeFolderItself(const std::string& home, const std::string& local);

// True when `local` exists without following a final link (a dangling link
// exists), judged from the folder that holds it.
bool ExistsBeneath(const std::string& home, const std::string& local);

// Every entry of a folder but "." and "..", in no particular order; empty
// when the folder cannot be opened beneath the home folder.
std::vector<std::string> FolderNamesBeneath(const std::string& home, const std::string& localFolder);

// The operations below act on the last level of `local` only, inside the
// folder that holds it; that folder is opened beneath the home folder.
// Each returns 0 or the errno of the failure.
int MakeFolderBeneath(const std::string& home, const std::string& local);
int RemoveFolderBeneath(const std::string& home, const std::string& local);
// Removes a file or a symbolic link (never what the link points to).
int RemoveFileBeneath(const std::string& home, const std::string& local);
// Never replaces: an existing target fails with EEXIST.
int RenameBeneath(const std::string& home, const std::string& from, const std::string& to);

// Where an upload named `name` goes in the folder `localFolder`: that folder,
// opened beneath the home folder for reading, and the entry the name stands
// for there: the entry of exactly that name, else the first entry (in byte
// order) equal to it without regard to ASCII case, else the name itself.
struct UploadTarget {
    UniqueFd folder;
    std::string name;
    bool exists = false;  // the entry is there (a dangling link too)
    bool isLink = false;  // ... and is a symbolic link
};

// False (errno set) when the folder cannot be opened beneath the home
// folder for reading; the callers then go the long way round.
bool OpenUploadTarget(const std::string& home, const std::string& localFolder,
                      const std::string& name, UploadTarget& target);

// The entry of the open folder equal to `name` without regard to ASCII case,
// the first in byte order, never a staging file of an upload; nullopt when
// there is none. Reads the folder from where its descriptor stands, without
// a name list of its own.
std::optional<std::string> FindNameIgnoringCase(int folder, const std::string& name);

// What a listing shows of one entry.
struct EntryInfo {
    bool isDirectory = false;
    uint64_t size = 0;
    int64_t mtime = 0;
};

// One folder opened beneath the home folder, for reading its entries.
class ConfinedFolder {
public:
    ConfinedFolder(const std::string& home, const std::string& localFolder);

    bool IsOpen() const { return m_folder.IsOpen(); }
    std::vector<std::string> Names() const;
    // A link shows what it points to when that stays inside; a dangling
    // link, or one that leads out, shows as itself: an empty file. Nullopt
    // only when the entry is gone.
    std::optional<EntryInfo> Info(const std::string& name) const;

private:
    std::string m_home;
    std::string m_local;
    UniqueFd m_homeFd;
    UniqueFd m_folder;
};

// Test hook: resolve by walking one level at a time with O_NOFOLLOW, as on
// kernels without openat2.
void UseLevelWalkForTesting(bool enabled);

}  // namespace platform
