// The commands that change the home folder without a data connection:
// RNFR/RNTO, DELE, MKD and RMD.
// Every change is made through the confined operations of platform/, which
// resolve the path from the home folder's descriptor at the moment of the
// change: the resolvers' answer may be stale by then, the confinement not.
#include <cerrno>
#include <filesystem>

#include "ftp/control_socket.h"
#include "ftp/path_util.h"
#include "ftp/replies.h"
#include "platform/confined_fs.h"

namespace {

// A renamed file takes its new name in lower case; the folder keeps the
// spelling it has on disk.
std::string WithLowerCaseName(const std::string& localPath)
{
    const size_t slash = localPath.find_last_of('/');
    if (slash == std::string::npos)
        return ToLowerAscii(localPath);
    return localPath.substr(0, slash + 1) + ToLowerAscii(localPath.substr(slash + 1));
}

}  // namespace

void CVeskControlSocket::OnRnfr(const std::string& argument)
{
    std::string local;
    const int code = ResolveFilePath(argument, OP_RENAME, local);
    m_strRenameFrom.clear();
    if (code == PATH_REFUSED) {
        SendResponse(reply::kPermissionDenied);
        return;
    }
    if (code != PATH_OK || !platform::IsRegularFileBeneath(HomeRoot(HomePath()), local)) {
        SendResponse(reply::kFileNotFound);
        return;
    }
    // The real path as found on disk, so a case-sensitive file system still
    // finds the source at RNTO.
    m_strRenameFrom = local;
    SendResponse(reply::kReadyForDestination);
}

void CVeskControlSocket::OnRnto(const std::string& argument)
{
    std::string local;
    const int code = ResolveFilePath(argument, OP_RENAME, local);
    if (code == PATH_OK) {
        SendResponse(reply::kFileExists);
    } else {
        // A refused target, a missing folder, a folder of that name or a
        // source that is no longer a file all make the rename fail.
        const std::string home = HomeRoot(HomePath());
        const bool usable = code != PATH_REFUSED && !local.empty() &&
                            QueryPath(home, local) == PathKind::Missing &&
                            platform::IsRegularFileBeneath(home, m_strRenameFrom);
        m_strRenameTo = usable ? WithLowerCaseName(local) : std::string();
        if (usable && platform::RenameBeneath(home, m_strRenameFrom, m_strRenameTo) == 0)
            SendResponse(reply::kFileRenamed);
        else
            SendResponse(reply::kRenameFailed);
    }
    m_strRenameFrom.clear();
    m_strRenameTo.clear();
}

void CVeskControlSocket::OnDele(const std::string& argument)
{
    std::string local;
    const int code = ResolveFilePath(argument, OP_DELETE, local);
    if (code == PATH_REFUSED) {
        SendResponse(reply::kDeleteDenied);
        return;
    }
    if (code != PATH_OK) {
        SendResponse(reply::kFileNotFound);
        return;
    }
    std::string name;
    LocalPathToClientPath(local, name, HomePath());
    if (platform::RemoveFileBeneath(HomeRoot(HomePath()), local) == 0)
        SendResponse(reply::FileDeleted(name));
    else
        SendResponse(reply::CantDeleteFile(name));
}

void CVeskControlSocket::OnMkd(const std::string& argument)
{
    if (HasControlCharacter(argument)) {
        SendResponse(reply::kCantCreateDirectory);
        return;
    }
    std::string local;
    const int code = ResolveDirectoryPath(argument, OP_MAKE_DIRECTORY, local);
    if (code == PATH_OK) {
        SendResponse(reply::kDirectoryExists);
        return;
    }
    if (code == PATH_REFUSED) {
        SendResponse(reply::kCantCreateDirectoryDenied);
        return;
    }
    if (CreateDirectoryChain(HomeRoot(HomePath()), local))
        SendResponse(reply::kDirectoryCreated);
    else
        SendResponse(reply::kCantCreateDirectory);
}

void CVeskControlSocket::OnRmd(const std::string& argument)
{
    std::string local;
    const int code = ResolveDirectoryPath(argument, OP_DELETE, local);
    if (code == PATH_REFUSED) {
        SendResponse(reply::kPermissionDenied);
        return;
    }
    if (code != PATH_OK) {
        SendResponse(reply::kDirectoryNotFound);
        return;
    }
    // "sub/.." or "." from the root name the home folder, which must survive.
    const std::string home = HomeRoot(HomePath());
    if (platform::IsHomeFolderItself(home, local)) {
        SendResponse(reply::kPermissionDenied);
        return;
    }
    const int error = platform::RemoveFolderBeneath(home, local);
    if (error == 0)
        SendResponse(reply::kDirectoryDeleted);
    else if (error == ENOTEMPTY || error == EEXIST)
        SendResponse(reply::kDirectoryNotEmpty);
    else
        SendResponse(reply::kCantDeleteDirectory);
}

bool CreateDirectoryChain(const std::string& home, const std::string& localPath)
{
    // The home folder itself is configuration, not client input: it is made
    // as it stands when missing, as at login.
    std::error_code ignored;
    std::filesystem::create_directories(home, ignored);
    if (home.empty() || localPath.size() <= home.size())
        return false;
    // Levels that already exist simply fail; only the last must be new.
    for (size_t slash = localPath.find('/', home.size() + 1); slash != std::string::npos;
         slash = localPath.find('/', slash + 1))
        platform::MakeFolderBeneath(home, localPath.substr(0, slash));
    return platform::MakeFolderBeneath(home, localPath) == 0;
}
