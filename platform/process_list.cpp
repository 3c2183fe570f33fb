#include "platform/process_list.h"

#include <dirent.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <memory>

namespace platform {
namespace {

bool IsProcessFolder(const char* name)
{
    if (*name == '\0')
        return false;
    for (; *name; ++name) {
        if (!std::isdigit(static_cast<unsigned char>(*name)))
            return false;
    }
    return true;
}

std::string BaseName(std::string path)
{
    // A program replaced on disk while it runs reads as "<path> (deleted)".
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
        path.resize(path.size() - deleted.size());
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ExecutableName(const std::string& processFolder)
{
    char target[4096];
    const ssize_t length = ::readlink((processFolder + "/exe").c_str(), target, sizeof target - 1);
    if (length > 0)
        return BaseName(std::string(target, static_cast<size_t>(length)));
    std::ifstream comm(processFolder + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

}  // namespace

int CountProcessesNamed(const std::string& name, const std::string& procRoot)
{
    const auto closeDir = [](DIR* d) { ::closedir(d); };
    std::unique_ptr<DIR, decltype(closeDir)> dir(::opendir(procRoot.c_str()), closeDir);
    if (!dir)
        return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        if (!IsProcessFolder(entry->d_name))
            continue;
        const std::string exe = ExecutableName(procRoot + "/" + entry->d_name);
        if (!exe.empty() && ::strcasecmp(exe.c_str(), name.c_str()) == 0)
            ++count;
    }
    return count;
}

}  // namespace platform
