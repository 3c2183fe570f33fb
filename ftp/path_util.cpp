#include "ftp/path_util.h"

#include <algorithm>

#include "platform/confined_fs.h"

namespace {

bool IsControlCharacter(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

}  // namespace

bool HasControlCharacter(const std::string& text)
{
    return std::any_of(text.begin(), text.end(), IsControlCharacter);
}

std::string EscapeControlCharacters(const std::string& text)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (!IsControlCharacter(c)) {
            out += c;
            continue;
        }
        const auto byte = static_cast<unsigned char>(c);
        out += "\\x";
        out += kHex[byte >> 4];
        out += kHex[byte & 0xF];
    }
    return out;
}

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

PathKind QueryPath(const std::string& home, const std::string& localPath)
{
    switch (platform::QueryBeneath(home, localPath)) {
    case platform::EntryKind::Directory:
        return PathKind::Directory;
    case platform::EntryKind::Other:
        return PathKind::Other;
    default:
        return PathKind::Missing;
    }
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

std::optional<std::string> FindEntry(const std::string& home, const std::string& folder,
                                     const std::string& name)
{
    if (platform::ExistsBeneath(home, JoinLocal(folder, name)))
        return name;
    const platform::UniqueFd opened(platform::OpenFolderBeneath(home, folder));
    if (!opened.IsOpen())
        return std::nullopt;
    return platform::FindNameIgnoringCase(opened.Get(), name);
}

bool StaysInsideHome(const std::string& localPath, const std::string& homePath)
{
    const std::string home = HomeRoot(homePath);
    // No home folder configured: there is nothing a path could stay in.
    if (home.empty())
        return false;
    if (localPath == home)
        return true;  // whether it exists or not, as the checks below find
    if (QueryPath(home, home) != PathKind::Directory)
        return true;  // no home folder yet: nothing below it exists to lead out
    // The deepest level that exists decides; a link there must lead to
    // something inside (a dangling link is not inside).
    std::string probe = localPath;
    for (;;) {
        if (probe == home)
            return true;
        if (platform::ExistsBeneath(home, probe))
            return QueryPath(home, probe) != PathKind::Missing;
        const size_t slash = probe.find_last_of('/');
        if (slash == std::string::npos || slash == 0)
            return false;
        probe.erase(slash);
    }
}
