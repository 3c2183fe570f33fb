#include "ftp/path_util.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <memory>

std::string ToLowerAscii(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

bool EqualsIgnoringAsciiCase(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && ToLowerAscii(a) == ToLowerAscii(b);
}

std::string NormaliseClientPath(std::string path)
{
    std::replace(path.begin(), path.end(), '\\', '/');
    std::string folded;
    folded.reserve(path.size());
    for (char c : path)
        if (!(c == '/' && !folded.empty() && folded.back() == '/'))
            folded.push_back(c);
    return folded;
}

void TrimTrailingSlashes(std::string& path)
{
    while (!path.empty() && path.back() == '/')
        path.pop_back();
}

PathKind QueryPath(const std::string& localPath)
{
    struct stat st {};
    if (localPath.empty() || ::stat(localPath.c_str(), &st) != 0)
        return PathKind::Missing;
    return S_ISDIR(st.st_mode) ? PathKind::Directory : PathKind::Other;
}

std::string HomeRoot(const std::string& homePath)
{
    std::string root = homePath;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root;
}

std::string JoinLocal(const std::string& folder, const std::string& name)
{
    if (!folder.empty() && folder.back() == '/')
        return folder + name;
    return folder + "/" + name;
}

std::optional<std::string> FindEntry(const std::string& folder, const std::string& name)
{
    struct stat st {};
    if (::lstat(JoinLocal(folder, name).c_str(), &st) == 0)
        return name;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir)
        return std::nullopt;
    const std::string wanted = ToLowerAscii(name);
    std::optional<std::string> found;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string candidate = entry->d_name;
        if (ToLowerAscii(candidate) == wanted && (!found || candidate < *found))
            found = candidate;
    }
    return found;
}

namespace {

std::optional<std::string> RealPath(const std::string& path)
{
    char resolved[PATH_MAX];
    if (!::realpath(path.c_str(), resolved))
        return std::nullopt;
    return std::string(resolved);
}

bool IsWithin(const std::string& path, const std::string& root)
{
    if (root == "/")
        return true;
    return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                            path[root.size()] == '/');
}

}  // namespace

bool StaysInsideHome(const std::string& localPath, const std::string& homePath)
{
    // No home folder configured: there is nothing a path could stay in.
    if (HomeRoot(homePath).empty())
        return false;
    const auto home = RealPath(HomeRoot(homePath));
    if (!home)
        return true;  // no home folder yet: nothing below it exists to lead out
    std::string probe = localPath;
    for (;;) {
        struct stat st {};
        if (::lstat(probe.c_str(), &st) == 0) {
            const auto real = RealPath(probe);
            return real && IsWithin(*real, *home);  // a dangling link is never inside
        }
        const size_t slash = probe.find_last_of('/');
        if (slash == std::string::npos || slash == 0)
            return false;
        probe.erase(slash);
    }
}
