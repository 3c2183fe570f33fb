// Where the registry keeps its files.
#pragma once

#include "platform/registry_errors.h"

#include <string>

namespace platform {

// The user's home folder: $HOME if absolute, else the password database entry;
// empty if neither is known.
std::string UserHomeFolder();

// $XDG_CONFIG_HOME if absolute, else <home>/.config; empty if unknown.
std::string ConfigHomeFolder();

// A key of HKEY_CURRENT_USER as the store sees it.
struct RegKeyLocation {
    bool isRunKey = false;   // the autostart folder stands in for it
    std::string folder;      // folder of the key file, or the autostart folder
    std::string filePath;    // the key file (empty for the Run key)
    std::string headerPath;  // "HKEY_CURRENT_USER\..." as written in the file
};

// Maps a sub key such as "SOFTWARE\Tessaly\Lumbra". ERROR_INVALID_PARAMETER
// for a path outside "SOFTWARE\..." or with unusable parts, ERROR_PATH_NOT_FOUND
// when no configuration folder is known.
RegStatus LocateRegKey(const std::string& subKey, RegKeyLocation& out);

}  // namespace platform
