// The commands that change the home folder without a data connection:
// RNFR/RNTO, DELE, MKD and RMD.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "ftp/control_socket.h"
#include "ftp/path_util.h"
#include "server/ftp_server.h"

namespace {

bool IsRegularFile(const std::string& path)
{
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// True when both paths name the same folder on disk, whatever the spelling.
bool IsSameFolder(const std::string& a, const std::string& b)
{
    struct stat sa {}, sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// A renamed file takes its new name in lower case; the folder keeps the
// spelling it has on disk.
std::string WithLowerCaseName(const std::string& localPath)
{
    const size_t slash = localPath.find_last_of('/');
    if (slash == std::string::npos)
        return ToLowerAscii(localPath);
    return localPath.substr(0, slash + 1) + ToLowerAscii(localPath.substr(slash + 1));
}

// Never overwrites: a target that exists makes the rename fail.
bool RenameWithoutReplacing(const std::string& from, const std::string& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // File systems without the no-replace flag: link refuses an existing
    // target just the same.
    if (::link(from.c_str(), to.c_str()) != 0)
        return false;
    if (::unlink(from.c_str()) != 0) {
        ::unlink(to.c_str());
        return false;
    }
    return true;
}

}  // namespace

void CVeskControlSocket::OnRnfr(const std::string& argument)
{
    std::string local;
    const int code = ResolveFilePath(argument, OP_RENAME, local);
    m_strRenameFrom.clear();
    if (code == PATH_REFUSED) {
        SendResponse("550 Permission denied.");
        return;
    }
    if (code != PATH_OK || !IsRegularFile(local)) {
        SendResponse("550 File not found.");
        return;
    }
    // The real path as found on disk, so a case-sensitive file system still
    // finds the source at RNTO.
    m_strRenameFrom = local;
    SendResponse("350 File exists, ready for destination name");
}

void CVeskControlSocket::OnRnto(const std::string& argument)
{
    std::string local;
    const int code = ResolveFilePath(argument, OP_RENAME, local);
    if (code == PATH_OK) {
        SendResponse("550 File already exists.");
    } else {
        // A refused target, a missing folder, a folder of that name or a
        // source that is no longer a file all make the rename fail.
        const bool usable = code != PATH_REFUSED && !local.empty() &&
                            QueryPath(local) == PathKind::Missing &&
                            IsRegularFile(m_strRenameFrom);
        m_strRenameTo = usable ? WithLowerCaseName(local) : std::string();
        if (usable && RenameWithoutReplacing(m_strRenameFrom, m_strRenameTo))
            SendResponse("250 File renamed successfully.");
        else
            SendResponse("550 File rename failed.");
    }
    m_strRenameFrom.clear();
    m_strRenameTo.clear();
}

void CVeskControlSocket::OnDele(const std::string& argument)
{
    std::string local;
    const int code = ResolveFilePath(argument, OP_DELETE, local);
    if (code == PATH_REFUSED) {
        SendResponse("550 Permission denied");
        return;
    }
    if (code != PATH_OK) {
        SendResponse("550 File not found.");
        return;
    }
    std::string name;
    LocalPathToClientPath(local, name, Server()->GetHomePath());
    if (::unlink(local.c_str()) == 0)
        SendResponse("250 File \"" + name + "\" was deleted successfully.");
    else
        SendResponse("450 Internal error deleting thre file : \"" + name + "\".");
}

void CVeskControlSocket::OnMkd(const std::string& argument)
{
    std::string local;
    const int code = ResolveDirectoryPath(argument, OP_MAKE_DIRECTORY, local);
    if (code == PATH_OK) {
        SendResponse("550 Directory already exists.");
        return;
    }
    if (code == PATH_REFUSED) {
        SendResponse("550 Can't create directory. Permission denied.");
        return;
    }
    if (CreateDirectoryChain(local))
        SendResponse("257 Directory created successfully.");
    else
        SendResponse("450 Internal error creating the directory.");
}

void CVeskControlSocket::OnRmd(const std::string& argument)
{
    std::string local;
    const int code = ResolveDirectoryPath(argument, OP_DELETE, local);
    if (code == PATH_REFUSED) {
        SendResponse("550 Permission denied.");
        return;
    }
    if (code != PATH_OK) {
        SendResponse("550 Directory not found.");
        return;
    }
    // "sub/.." or "." from the root name the home folder, which must survive.
    if (IsSameFolder(local, HomeRoot(Server()->GetHomePath()))) {
        SendResponse("550 Permission denied.");
        return;
    }
    if (::rmdir(local.c_str()) == 0)
        SendResponse("250 Directory deleted successfully.");
    else if (errno == ENOTEMPTY || errno == EEXIST)
        SendResponse("550 Directory not empty.");
    else
        SendResponse("450 Internal error deleting the directory.");
}

bool CreateDirectoryChain(const std::string& localPath)
{
    // Levels that already exist simply fail; only the last must be new.
    for (size_t slash = localPath.find('/', 1); slash != std::string::npos;
         slash = localPath.find('/', slash + 1))
        ::mkdir(localPath.substr(0, slash).c_str(), 0777);
    return !localPath.empty() && ::mkdir(localPath.c_str(), 0777) == 0;
}
