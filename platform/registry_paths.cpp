#include "platform/registry_paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <strings.h>
#include <vector>

namespace platform {
namespace {

constexpr const char* kRunKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

bool IsAbsolute(const char* path)
{
    return path != nullptr && path[0] == '/';
}

std::string HomeFromPasswordDatabase()
{
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return {};
    return IsAbsolute(found->pw_dir) ? std::string(found->pw_dir) : std::string();
}

std::vector<std::string> SplitKeyPath(const std::string& path)
{
    std::vector<std::string> parts(1);
    for (char c : path) {
        if (c == '\\')
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

// A key name must be usable as one file or folder name.
bool IsUsableKeyName(const std::string& name)
{
    if (name.empty() || name == "." || name == "..")
        return false;
    for (unsigned char c : name) {
        if (c < 0x20 || c == '/' || c == 0x7f)
            return false;
    }
    return true;
}

}  // namespace

std::string UserHomeFolder()
{
    const char* home = std::getenv("HOME");
    return IsAbsolute(home) ? std::string(home) : HomeFromPasswordDatabase();
}

std::string ConfigHomeFolder()
{
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (IsAbsolute(config))
        return config;
    const std::string home = UserHomeFolder();
    return home.empty() ? std::string() : home + "/.config";
}

RegStatus LocateRegKey(const std::string& subKey, RegKeyLocation& out)
{
    const std::vector<std::string> parts = SplitKeyPath(subKey);
    if (parts.size() < 2 || strcasecmp(parts[0].c_str(), "SOFTWARE") != 0)
        return ERROR_INVALID_PARAMETER;
    for (const std::string& part : parts) {
        if (!IsUsableKeyName(part))
            return ERROR_INVALID_PARAMETER;
    }
    const std::string config = ConfigHomeFolder();
    if (config.empty())
        return ERROR_PATH_NOT_FOUND;

    RegKeyLocation location;
    location.headerPath = "HKEY_CURRENT_USER\\" + subKey;
    if (strcasecmp(subKey.c_str(), kRunKey) == 0) {
        location.isRunKey = true;
        location.folder = config + "/autostart";
    } else {
        location.folder = config;
        for (std::size_t i = 1; i + 1 < parts.size(); ++i)
            location.folder += "/" + parts[i];
        location.filePath = location.folder + "/" + parts.back() + ".reg";
    }
    out = std::move(location);
    return ERROR_SUCCESS;
}

}  // namespace platform
