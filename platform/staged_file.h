// The file an upload writes, in place of a plain CFile: the bytes go to a
// hidden staging file beside the target, and only Commit puts them under the
// target's name, replacing an older file of that name in one step. Until
// then (and for ever, when the upload fails) the target is untouched and
// nobody sees a partial scan under its name.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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

    // Names of this pattern are ours: clients may neither see nor use them.
    static bool IsStagingName(std::string_view name);

private:
    int m_folder = -1;
    int m_fd = -1;
    int m_mode = -1;  // the replaced file's permission bits, kept for the new one
    std::string m_stagingName;
    std::string m_targetName;
};

}  // namespace platform
