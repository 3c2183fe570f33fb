#include "ftp/listing.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "ftp/control_socket.h"
#include "ftp/path_util.h"
#include "ftp/replies.h"
#include "platform/confined_fs.h"
#include "platform/staged_file.h"

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

// The date column costs a time-zone conversion; a folder's files mostly
// share a few modification times, so the last one is remembered.
class TimeColumnCache {
public:
    explicit TimeColumnCache(int64_t now) : m_now(now) {}
    const std::string& For(int64_t mtime)
    {
        if (!m_valid || mtime != m_mtime) {
            m_column = FormatListingTime(mtime, m_now);
            m_mtime = mtime;
            m_valid = true;
        }
        return m_column;
    }

private:
    int64_t m_now;
    int64_t m_mtime = 0;
    bool m_valid = false;
    std::string m_column;
};

void AppendListingLine(std::string& out, std::string_view name, const platform::EntryInfo& info,
                       const std::string& timeColumn)
{
    char sizeText[24];
    const auto result = std::to_chars(sizeText, sizeText + sizeof sizeText, info.size);
    const size_t sizeLength = static_cast<size_t>(result.ptr - sizeText);
    out += info.isDirectory ? "drwx------ 1 user group" : "-rwx------ 1 user group";
    if (sizeLength < kSizeColumn)
        out.append(kSizeColumn - sizeLength, ' ');
    out.append(sizeText, sizeLength);
    out += timeColumn;
    out += name;
    out += "\r\n";
}

// The attributes of every entry, in the order of `names`. They cost a system
// call each, nearly all of a big folder's listing time, while the client
// waits for its "150"; past a few thousand entries a second thread looks up
// half of them.
std::vector<std::optional<platform::EntryInfo>> InfoOfAll(const platform::ConfinedFolder& folder,
                                                          const std::vector<std::string>& names)
{
    constexpr size_t kEntriesWorthASecondThread = 2048;
    std::vector<std::optional<platform::EntryInfo>> infos(names.size());
    auto lookUp = [&folder, &names, &infos](size_t from, size_t to) {
        for (size_t i = from; i < to; ++i)
            infos[i] = folder.Info(names[i]);
    };
    const size_t half = names.size() / 2;
    std::thread second;
    if (names.size() >= kEntriesWorthASecondThread && std::thread::hardware_concurrency() > 1) {
        try {
            second = std::thread(lookUp, half, names.size());
        } catch (const std::system_error&) {
            // No thread to be had: this one does it all.
        }
    }
    lookUp(0, second.joinable() ? half : names.size());
    if (second.joinable())
        second.join();
    return infos;
}

// A whole folder, sorted so that the same folder always lists the same way;
// an unreadable one lists as empty. Uploads in progress are nobody's
// business until they are complete. A name with a control character (made
// on the PC itself) is left out: a line feed in it would split its line into
// a forged entry, and no command of the client's could name it anyway.
void AppendFolder(const platform::ConfinedFolder& folder, int64_t now, std::string& listing)
{
    std::vector<std::string> names = folder.Names();
    std::erase_if(names, [](const std::string& name) {
        return platform::StagedFile::IsStagingName(name) || HasControlCharacter(name);
    });
    std::sort(names.begin(), names.end());
    // About 60 bytes of columns and line end per entry besides the name.
    listing.reserve(names.size() * 96);
    TimeColumnCache columns(now);
    const auto infos = InfoOfAll(folder, names);
    for (size_t i = 0; i < names.size(); ++i) {
        if (infos[i])
            AppendListingLine(listing, names[i], *infos[i], columns.For(infos[i]->mtime));
    }
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
    std::string line;
    AppendListingLine(line, name, platform::EntryInfo{isDirectory, size, mtime}, FormatListingTime(mtime, now));
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
        SendResponse(reply::FolderDenied(argument));
        return false;
    default:
        SendResponse(reply::FolderNotFound(argument));
        return false;
    }

    // An upload in progress is nobody's business, even named exactly.
    if (platform::StagedFile::IsStagingName(local.substr(local.find_last_of('/') + 1))) {
        SendResponse(reply::FolderNotFound(argument));
        return false;
    }

    // The folder is opened beneath the home folder and its entries read
    // from that descriptor, so a link swapped in meanwhile shows nothing of
    // what lies outside.
    const std::string home = HomeRoot(HomePath());
    const int64_t now = std::time(nullptr);
    switch (QueryPath(home, local)) {
    case PathKind::Directory:
        AppendFolder(platform::ConfinedFolder(home, local), now, listing);
        break;
    case PathKind::Other: {
        const size_t slash = local.find_last_of('/');
        const std::string name = slash == std::string::npos ? local : local.substr(slash + 1);
        const platform::ConfinedFolder parent(home, local.substr(0, slash == 0 ? 1 : slash));
        if (const auto info = parent.Info(name))
            AppendListingLine(listing, name, *info, FormatListingTime(info->mtime, now));
        break;
    }
    case PathKind::Missing:
        break;  // gone since it was resolved: an empty listing
    }
    return true;
}
