// File primitives of the registry: whole-file reads, atomic replacement and
// an inter-process lock.
#pragma once

#include "platform/registry_errors.h"

#include <functional>
#include <string>

namespace platform {

// Creates `folder` and any missing parent, each new one with mode 0700.
RegStatus MakePrivateFolders(const std::string& folder);

// ERROR_FILE_NOT_FOUND if `path` does not exist; other codes if it is not a
// readable regular file or is larger than `maxBytes`.
RegStatus ReadWholeFile(const std::string& path, std::size_t maxBytes, std::string& content);

// ERROR_SUCCESS if a regular file exists at `path`.
RegStatus RegularFileExists(const std::string& path);

// Replaces `path` with `content` (mode 0600) so that readers and crashes see
// either the old or the new file: a temporary file in the same folder is
// written and fsynced, then renamed over `path`, then the folder is fsynced.
RegStatus ReplaceFileAtomically(const std::string& path, const std::string& content);

// Removes the temporary files that ReplaceFileAtomically of `path` left when
// its writer died between creating and renaming them: names of exactly that
// form ("." + file name + ".tmp-" + six letters or digits) in the file's
// folder. Call only while holding the lock that every writer of `path` holds
// from creating its temporary file to renaming it: then none of them belongs
// to a live writer, in whatever process, namespace or host it ran.
void RemoveLeftoverTemporaryFiles(const std::string& path);

// Test hook run after the temporary file is complete and before the rename;
// returning false stops the replacement there (the temporary file stays, as
// after a crash) and the write reports ERROR_CANTWRITE. Empty = no hook.
void SetBeforeReplaceHookForTesting(std::function<bool(const std::string& tempPath)> hook);

// Holds an exclusive flock for its lifetime: on "<path>.lock" (created if
// missing), or on a folder itself. With Wait::No a lock another process
// holds gives ERROR_SHARING_VIOLATION at once instead of waiting.
class RegFileLock {
public:
    enum class Wait { Yes, No };
    struct OnFolder {};

    explicit RegFileLock(const std::string& path, Wait wait = Wait::Yes);
    RegFileLock(OnFolder, const std::string& folder);
    ~RegFileLock();
    RegFileLock(const RegFileLock&) = delete;
    RegFileLock& operator=(const RegFileLock&) = delete;

    RegStatus status() const { return m_status; }

private:
    void Lock(Wait wait);

    int m_fd = -1;
    RegStatus m_status = ERROR_SUCCESS;
};

}  // namespace platform
