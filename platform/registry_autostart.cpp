#include "platform/registry_autostart.h"

#include "platform/registry.h"
#include "platform/registry_files.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace platform {
namespace {

constexpr std::size_t kMaxEntryBytes = 64 * 1024;
constexpr std::string_view kExecKey = "Exec=";

// The value name becomes a file name.
bool IsUsableEntryName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           IsStorableValueName(name) && IsValidUtf8(name);
}

std::string EntryPath(const RegKeyLocation& runKey, const std::string& name)
{
    return runKey.folder + "/" + name + ".desktop";
}

// Desktop-entry string escapes (\\, \n, \r, \t), applied after the Exec quoting.
std::string EscapeEntryValue(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: out += c;
        }
    }
    return out;
}

bool UnescapeEntryValue(const std::string& text, std::string& out)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\') {
            if (++i == text.size())
                return false;
            switch (text[i]) {
            case 'n': c = '\n'; break;
            case 'r': c = '\r'; break;
            case 't': c = '\t'; break;
            case 's': c = ' '; break;
            default: c = text[i];
            }
        }
        out += c;
    }
    return true;
}

// The program text of a value: up to the first NUL.
bool ProgramOfValue(const RegValue& value, std::string& program)
{
    if (value.type != REG_SZ && value.type != REG_EXPAND_SZ)
        return false;
    program = value.data.substr(0, value.data.find('\0'));
    return !program.empty() && IsValidUtf8(program);
}

std::string EntryText(const std::string& name, const std::string& program)
{
    return "[Desktop Entry]\nType=Application\nName=" + EscapeEntryValue(name) + "\nExec=" +
           DesktopExecQuote(program) + "\nX-GNOME-Autostart-enabled=true\n";
}

// The entries' writers lock the autostart folder itself (a lock file there
// would be litter in a folder the desktop reads), and whoever holds the lock
// removes what a writer that died mid-write left of the entry.
class EntryLock {
public:
    EntryLock(const RegKeyLocation& runKey, const std::string& entryPath)
        : m_lock(RegFileLock::OnFolder{}, runKey.folder)
    {
        if (m_lock.status() == ERROR_SUCCESS)
            RemoveLeftoverTemporaryFiles(entryPath);
    }

    RegStatus status() const { return m_lock.status(); }

private:
    RegFileLock m_lock;
};

}  // namespace

std::string DesktopExecQuote(const std::string& program)
{
    std::string quoted = "\"";
    for (char c : program) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        else if (c == '%')
            quoted += '%';  // a lone % would start a field code
        quoted += c;
    }
    return EscapeEntryValue(quoted + "\"");
}

bool DesktopExecUnquote(const std::string& escaped, std::string& program)
{
    std::string quoted;
    if (!UnescapeEntryValue(escaped, quoted) || quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"')
        return false;
    std::string out;
    for (std::size_t i = 1; i + 1 < quoted.size(); ++i) {
        char c = quoted[i];
        if (c == '\\' || (c == '%' && quoted[i + 1] == '%'))
            c = quoted[++i];
        else if (c == '"' || c == '%')
            return false;
        if (i + 1 >= quoted.size())
            return false;  // the escape swallowed the closing quote
        out += c;
    }
    program = std::move(out);
    return true;
}

RegStatus WriteAutostartValue(const RegKeyLocation& runKey, const std::string& name, const RegValue& value)
{
    std::string program;
    if (!IsUsableEntryName(name))
        return ERROR_INVALID_PARAMETER;
    if (!ProgramOfValue(value, program))
        return ERROR_INVALID_DATA;
    const RegStatus status = MakePrivateFolders(runKey.folder);
    if (status != ERROR_SUCCESS)
        return status;
    const std::string path = EntryPath(runKey, name);
    const EntryLock lock(runKey, path);
    if (lock.status() != ERROR_SUCCESS)
        return lock.status();
    return ReplaceFileAtomically(path, EntryText(name, program));
}

RegStatus ReadAutostartValue(const RegKeyLocation& runKey, const std::string& name, RegValue& value)
{
    if (!IsUsableEntryName(name))
        return ERROR_FILE_NOT_FOUND;
    const std::string path = EntryPath(runKey, name);
    const EntryLock tidy(runKey, path);  // reading needs no lock; this is for the leftovers
    std::string text;
    const RegStatus status = ReadWholeFile(path, kMaxEntryBytes, text);
    if (status != ERROR_SUCCESS)
        return status;
    const std::size_t start = text.find("\n" + std::string(kExecKey));
    if (start == std::string::npos)
        return ERROR_INVALID_DATA;
    const std::size_t from = start + 1 + kExecKey.size();
    const std::size_t end = text.find('\n', from);
    std::string program;
    if (!DesktopExecUnquote(text.substr(from, end == std::string::npos ? end : end - from), program))
        return ERROR_INVALID_DATA;
    value.type = REG_SZ;
    value.data = program + '\0';
    return ERROR_SUCCESS;
}

RegStatus DeleteAutostartValue(const RegKeyLocation& runKey, const std::string& name)
{
    if (!IsUsableEntryName(name))
        return ERROR_FILE_NOT_FOUND;
    const std::string path = EntryPath(runKey, name);
    const EntryLock lock(runKey, path);
    if (lock.status() != ERROR_SUCCESS && lock.status() != ERROR_PATH_NOT_FOUND)
        return lock.status();
    if (unlink(path.c_str()) == 0)
        return ERROR_SUCCESS;
    return errno == ENOENT ? ERROR_FILE_NOT_FOUND : RegStatusFromErrno(errno, ERROR_CANTWRITE);
}

RegStatus GetOwnExecutablePath(std::string& path)
{
    for (std::size_t size = 256; size <= 65536; size *= 2) {
        std::vector<char> buffer(size);
        const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0)
            return RegStatusFromErrno(errno, ERROR_PATH_NOT_FOUND);
        if (static_cast<std::size_t>(n) < size) {
            path.assign(buffer.data(), static_cast<std::size_t>(n));
            return ERROR_SUCCESS;
        }
    }
    return ERROR_PATH_NOT_FOUND;
}

}  // namespace platform
