// Result codes of the registry operations. They keep the values the settings
// logic and its messages were written against (the numbers appear in the
// user's error boxes), so they must not be renumbered.
#pragma once

namespace platform {

using RegStatus = long;

constexpr RegStatus ERROR_SUCCESS = 0;
constexpr RegStatus ERROR_FILE_NOT_FOUND = 2;  // absent key or value; never used for other faults
constexpr RegStatus ERROR_PATH_NOT_FOUND = 3;
constexpr RegStatus ERROR_ACCESS_DENIED = 5;
constexpr RegStatus ERROR_INVALID_HANDLE = 6;
constexpr RegStatus ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr RegStatus ERROR_INVALID_DATA = 13;
constexpr RegStatus ERROR_WRITE_PROTECT = 19;
constexpr RegStatus ERROR_SHARING_VIOLATION = 32;  // another process holds the lock
constexpr RegStatus ERROR_INVALID_PARAMETER = 87;
constexpr RegStatus ERROR_DISK_FULL = 112;
constexpr RegStatus ERROR_MORE_DATA = 234;  // the caller's buffer is too small
constexpr RegStatus ERROR_CANTREAD = 1012;
constexpr RegStatus ERROR_CANTWRITE = 1013;
constexpr RegStatus ERROR_REGISTRY_CORRUPT = 1015;  // the key's file cannot be parsed
constexpr RegStatus ERROR_KEY_DELETED = 1018;       // the key's file vanished while open

// Translates an errno value; `fallback` stands for anything without a closer match.
RegStatus RegStatusFromErrno(int error, RegStatus fallback);

}  // namespace platform
