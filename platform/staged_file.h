// The file an upload writes, in place of a plain CFile: the bytes go to a
// hidden staging file beside the target, and only Commit puts them under the
// target's name, replacing an older file of that name in one step. Until
// then (and for ever, when the upload fails) the target is untouched and
// nobody sees a partial scan under its name.
//
// The writer holds a lock on its staging file from the moment it creates it
// until the commit or the discard. A crash leaves the file unlocked, and a
// later upload into its folder (from this or any other process, in any PID
// namespace or on any host that shares the folder) removes it once it has
// lain unwritten for a while; a locked one belongs to a live upload and is
// never touched.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/confined_fs.h"

namespace platform {

class StagedFile {
public:
    StagedFile() = default;
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Starts a new file for targetPath, a path below the home folder `home`
    // whose folder is opened beneath it (no link swapped in can lead out).
    // The entry under the name is replaced as it is: a symbolic link there
    // is replaced, not written through. False when the target is not a
    // regular file (nor a link to one), or its folder cannot be written.
    bool Open(const std::string& home, const std::string& targetPath);
    // The same for a folder already opened beneath the home folder (its path
    // `folderPath` names it for the sweep of stale staging files): the
    // target is `targetName` in it. Takes the descriptor over either way.
    bool OpenIn(UniqueFd folder, const std::string& folderPath, const std::string& targetName);
    bool IsOpen() const { return m_fd >= 0; }
    // Every byte or false.
    bool Write(const void* data, size_t size);
    // Flushes the bytes to disk and renames the staging file over the
    // target. False (and nothing changed) on any failure.
    bool Commit();
    // Removes the staging file; the target stays as it was.
    void Discard();

    // Names of exactly the form ".lumbra-upload-PID-N.part" (that case,
    // digits only) are ours: clients may neither see nor use them. Other
    // names, however alike, are the user's.
    static bool IsStagingName(std::string_view name);

    // For an exit that cannot wait for its sessions (main thread, right
    // before the process ends): removes the staging file of every upload
    // still open in this process and returns their target paths. Any later
    // Open fails and any later Commit keeps nothing. Runs on a thread, not
    // in a signal handler: it takes the lock the uploads take.
    static std::vector<std::string> DiscardAllForExit();

private:
    bool CreateStagingFile();
    // The list of open uploads. Register is false once DiscardAllForExit
    // has run; LeaveOpenList wants the list's lock held.
    bool Register();
    void Unregister();
    void LeaveOpenList();
    bool RenameOverTarget();

    int m_folder = -1;
    int m_fd = -1;
    int m_mode = -1;  // the replaced file's permission bits, kept for the new one
    std::string m_stagingName;
    std::string m_targetName;
    std::string m_targetPath;  // as the session named it, for the exit's report
    // The uploads open in this process, linked under the registry's lock.
    bool m_bRegistered = false;
    StagedFile* m_pPrevOpen = nullptr;
    StagedFile* m_pNextOpen = nullptr;
};

}  // namespace platform
