// The file an upload writes, in place of a plain CFile: the bytes go to a
// hidden staging file beside the target, and only Commit puts them under the
// target's name, replacing an older file of that name in one step. Until
// then (and for ever, when the upload fails) the target is untouched and
// nobody sees a partial scan under its name.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

class StagedFile {
public:
    StagedFile() = default;
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Starts a new file for targetPath. A target that is a symbolic link is
    // written through: its destination is replaced. False when the target
    // exists but is not a regular file, or its folder cannot be written.
    bool Open(const std::string& targetPath);
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
