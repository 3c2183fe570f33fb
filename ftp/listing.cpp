#include "ftp/listing.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include "ftp/control_socket.h"
#include "ftp/path_util.h"
#include "platform/confined_fs.h"
#include "platform/staged_file.h"
#include "server/ftp_server.h"

namespace {

// 357 days: anything younger shows its time of day, anything older its year.
constexpr int64_t kRecentAge = 30844800;
constexpr size_t kSizeColumn = 14;

// Clients parse the month by its English name, so the user's locale must
// not change it.
constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Local broken-down time; a time the C library cannot convert is shown as
// the start of the epoch.
std::tm ToLocalTime(int64_t t)
{
    std::tm local{};
    const time_t value = static_cast<time_t>(t);
    if (value == t && localtime_r(&value, &local))
        return local;
    const time_t epoch = 0;
    if (!localtime_r(&epoch, &local)) {
        local = std::tm{};
        local.tm_mday = 1;
        local.tm_year = 70;
    }
    return local;
}

bool IsRecent(int64_t mtime, int64_t now)
{
    int64_t age = 0;
    if (__builtin_sub_overflow(now, mtime, &age))
        return mtime > now;  // only a far-future time overflows this way round
    return age < kRecentAge;
}

// Sorted so that the same folder always lists the same way.
std::vector<std::string> ReadFolderNames(const platform::ConfinedFolder& folder)
{
    std::vector<std::string> names = folder.Names();
    // Uploads in progress are nobody's business until they are complete.
    std::erase_if(names, [](const std::string& name) { return platform::StagedFile::IsStagingName(name); });
    std::sort(names.begin(), names.end());
    return names;
}

void AppendEntry(const platform::ConfinedFolder& folder, const std::string& name, int64_t now,
                 std::string& listing)
{
    if (const auto info = folder.Info(name))
        listing += FormatListingLine(name, info->isDirectory, info->size, info->mtime, now);
}

}  // namespace

std::string FormatListingTime(int64_t mtime, int64_t now)
{
    const std::tm t = ToLocalTime(mtime);
    char column[64];
    if (IsRecent(mtime, now))
        std::snprintf(column, sizeof column, " %s %02d %02d:%02d ", kMonths[t.tm_mon], t.tm_mday,
                      t.tm_hour, t.tm_min);
    else
        std::snprintf(column, sizeof column, " %s %02d %04d ", kMonths[t.tm_mon], t.tm_mday,
                      t.tm_year + 1900);
    return column;
}

std::string FormatListingLine(const std::string& name, bool isDirectory, uint64_t size,
                              int64_t mtime, int64_t now)
{
    const std::string sizeText = std::to_string(size);
    std::string line = isDirectory ? "drwx------" : "-rwx------";
    line += " 1 user group";
    if (sizeText.size() < kSizeColumn)
        line.append(kSizeColumn - sizeText.size(), ' ');
    line += sizeText;
    line += FormatListingTime(mtime, now);
    line += name;
    line += "\r\n";
    return line;
}

bool CVeskControlSocket::BuildDirectoryListing(std::string argument, std::string& listing)
{
    listing.clear();
    // "*" and "/sub/*" name the folder itself; no other wildcard is expanded.
    while (!argument.empty() && argument.back() == '*')
        argument.pop_back();
    if (argument.empty())
        argument = m_strCurrentDir;

    std::string local;
    switch (ResolveDirectoryPath(argument, OP_LIST, local)) {
    case PATH_OK:
        break;
    case PATH_REFUSED:
        SendResponse("550 \"" + argument + "\": Permission denied.");
        return false;
    default:
        SendResponse("550 \"" + argument + "\": Directory not found.");
        return false;
    }

    // The folder is opened beneath the home folder and its entries read
    // from that descriptor, so a link swapped in meanwhile shows nothing of
    // what lies outside.
    const std::string home = HomeRoot(Server()->GetHomePath());
    const int64_t now = std::time(nullptr);
    switch (QueryPath(home, local)) {
    case PathKind::Directory: {
        const platform::ConfinedFolder folder(home, local);
        for (const std::string& name : ReadFolderNames(folder))
            AppendEntry(folder, name, now, listing);
        break;
    }
    case PathKind::Other: {
        const size_t slash = local.find_last_of('/');
        const std::string name = slash == std::string::npos ? local : local.substr(slash + 1);
        AppendEntry(platform::ConfinedFolder(home, local.substr(0, slash == 0 ? 1 : slash)), name,
                    now, listing);
        break;
    }
    case PathKind::Missing:
        break;  // gone since it was resolved: an empty listing
    }
    return true;
}
