// The client sees a tree whose root "/" is the home folder. These turn client
// paths into local paths inside it and back; nothing resolves outside it.
#include <vector>

#include "ftp/control_socket.h"
#include "ftp/path_util.h"
#include "ftp/replies.h"
#include "platform/confined_fs.h"
#include "platform/staged_file.h"

namespace {

enum class MapOutcome { Found, Missing, Refused };

std::vector<std::string> SplitSegments(const std::string& path)
{
    std::vector<std::string> segments;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos)
            slash = path.size();
        std::string segment = path.substr(start, slash - start);
        if (segment != "..") {
            // "." and "..." say nothing; names lose their outer dots.
            const size_t first = segment.find_first_not_of('.');
            segment = first == std::string::npos
                          ? std::string()
                          : segment.substr(first, segment.find_last_not_of('.') - first + 1);
        }
        if (!segment.empty())
            segments.push_back(segment);
        start = slash + 1;
    }
    return segments;
}

// Walks the segments from `start`; every level is looked up on disk so that
// names match without regard to case. Climbing above the home folder and
// leaving it through a symbolic link are refused.
MapOutcome Walk(const std::string& home, std::string current,
                const std::vector<std::string>& segments, std::string& out)
{
    bool found = true;
    for (const std::string& segment : segments) {
        if (segment == "..") {
            if (current == home)
                return MapOutcome::Refused;
            current.erase(current.find_last_of('/') == 0 ? 1 : current.find_last_of('/'));
        } else {
            const auto entry = found ? FindEntry(home, current, segment) : std::nullopt;
            current = JoinLocal(current, entry ? *entry : segment);
        }
        if (QueryPath(home, current) == PathKind::Missing)
            found = false;
    }
    out = current;
    if (!StaysInsideHome(current, home))
        return MapOutcome::Refused;
    return found ? MapOutcome::Found : MapOutcome::Missing;
}

MapOutcome MapPath(const std::string& home, const std::string& currentDir,
                   std::string clientPath, std::string& out)
{
    clientPath = NormaliseClientPath(clientPath);
    std::string start = home;
    if (clientPath.empty() || clientPath.front() != '/') {
        if (Walk(home, home, SplitSegments(NormaliseClientPath(currentDir)), start) ==
            MapOutcome::Refused)
            return MapOutcome::Refused;
    }
    return Walk(home, start, SplitSegments(clientPath), out);
}

}  // namespace

bool CVeskControlSocket::MapClientPathToLocal(std::string clientPath, std::string& localPath)
{
    if (HasControlCharacter(clientPath))
        return false;
    const std::string home = HomeRoot(HomePath());
    return MapPath(home, m_strCurrentDir, std::move(clientPath), localPath) == MapOutcome::Found;
}

int CVeskControlSocket::ResolveDirectoryPath(std::string clientPath, int operation,
                                             std::string& localPath)
{
    // A name with a control character is no usable name: nothing by it is
    // found, made or changed.
    if (HasControlCharacter(clientPath))
        return PATH_DIRECTORY_NOT_FOUND;
    clientPath = NormaliseClientPath(clientPath);
    TrimTrailingSlashes(clientPath);
    if (clientPath.empty()) {
        if (operation != OP_LIST)
            return PATH_DIRECTORY_NOT_FOUND;
        clientPath = "/";
    }
    if (clientPath.front() != '/')
        clientPath = JoinLocal(m_strCurrentDir, clientPath);
    const std::string home = HomeRoot(HomePath());
    switch (MapPath(home, m_strCurrentDir, clientPath, localPath)) {
    case MapOutcome::Found:
        return PATH_OK;
    case MapOutcome::Refused:
        return PATH_REFUSED;
    default:
        return PATH_DIRECTORY_NOT_FOUND;
    }
}

int CVeskControlSocket::ResolveFilePath(std::string clientPath, int operation,
                                        std::string& localPath, platform::UniqueFd* folderOut)
{
    if (HasControlCharacter(clientPath))
        return PATH_NO_FILE;
    clientPath = NormaliseClientPath(clientPath);
    TrimTrailingSlashes(clientPath);
    if (clientPath.empty())
        return PATH_NO_FILE;
    const size_t slash = clientPath.find_last_of('/');
    std::string folder = m_strCurrentDir;
    std::string name = clientPath;
    if (slash != std::string::npos) {
        folder = slash == 0 ? "/" : clientPath.substr(0, slash);
        name = clientPath.substr(slash + 1);
    }
    // These name the folder itself or its parent, never a file in it; the
    // staging files of uploads in progress are not the client's.
    if (name == "." || name == ".." || platform::StagedFile::IsStagingName(name))
        return PATH_REFUSED;

    const std::string home = HomeRoot(HomePath());
    std::string localFolder;
    switch (MapPath(home, m_strCurrentDir, folder, localFolder)) {
    case MapOutcome::Refused:
        return PATH_REFUSED;
    case MapOutcome::Missing:
        return PATH_NO_FILE;
    default:
        break;
    }
    if (operation == OP_STORE) {
        const int result = ResolveUploadTarget(home, localFolder, name, localPath, folderOut);
        if (result >= 0)
            return result;
    }
    const auto entry = FindEntry(home, localFolder, name);
    localPath = JoinLocal(localFolder, entry ? *entry : name);
    if (!StaysInsideHome(localPath, home))
        return PATH_REFUSED;
    if (operation == OP_STORE)
        return PATH_OK;
    return QueryPath(home, localPath) == PathKind::Other ? PATH_OK : PATH_NO_FILE;
}

// An upload's target, resolved with one open of its folder; that folder is
// handed on to the staging file, so the upload goes exactly where it was
// resolved to. -1 when the folder cannot be opened (the caller then goes the
// long way round, and answers as it always has).
int CVeskControlSocket::ResolveUploadTarget(const std::string& home, const std::string& localFolder,
                                            const std::string& name, std::string& localPath,
                                            platform::UniqueFd* folderOut)
{
    // A NUL would cut the name short in every call below ("..\0x" is ".."
    // there); such paths keep the long way, which judges the whole text.
    if (name.find('\0') != std::string::npos || localFolder.find('\0') != std::string::npos)
        return -1;
    platform::UploadTarget target;
    if (!platform::OpenUploadTarget(home, localFolder, name, target))
        return -1;
    localPath = JoinLocal(localFolder, target.name);
    // The folder lies inside (it was opened beneath the home folder), and so
    // does a name in it, unless that is a link: that must lead inside.
    if (target.isLink && !StaysInsideHome(localPath, home))
        return PATH_REFUSED;
    if (folderOut)
        *folderOut = std::move(target.folder);
    return PATH_OK;
}

bool LocalPathToClientPath(std::string localPath, std::string& clientPath,
                           const std::string& homePath)
{
    std::string home = ToLowerAscii(HomeRoot(homePath));
    localPath = ToLowerAscii(localPath);
    if (home.empty() || home.back() != '/')
        home += '/';
    if (localPath.empty() || localPath.back() != '/')
        localPath += '/';
    if (localPath == home) {
        clientPath = "/";
        return true;
    }
    // Only the leading home folder is taken off: a folder below it may well
    // repeat the home folder's path (home /scan, folder /scan/a/scan).
    std::string result = localPath;
    if (localPath.compare(0, home.size(), home) == 0)
        result = "/" + localPath.substr(home.size());
    TrimTrailingSlashes(result);
    clientPath = result;
    return true;
}

void CVeskControlSocket::ChangeDirectory(const std::string& argument)
{
    std::string local;
    const int code = ResolveDirectoryPath(argument, OP_LIST, local);
    if (code == PATH_DIRECTORY_NOT_FOUND) {
        SendResponse(reply::FolderNotFound(argument));
        return;
    }
    if (code == PATH_REFUSED) {
        SendResponse(reply::FolderDenied(argument));
        return;
    }
    LocalPathToClientPath(local, m_strCurrentDir, HomePath());
    SendResponse(reply::DirectoryChanged(m_strCurrentDir));
}
