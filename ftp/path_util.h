// Small path and text helpers of the session: ASCII case folding, the
// client-path normal form, attribute queries and confinement checks (these
// through the confined file operations of platform/).
#pragma once

#include <optional>
#include <string>

std::string ToLowerAscii(std::string text);

// A CR, LF or other control character (below 0x20, or 0x7F): no file of the
// client's may carry one in its name, since every line that shows a name
// (a reply, the journal, a listing) would break at it.
bool HasControlCharacter(const std::string& text);
// The text with each control character written as \xNN, for lines that
// show a name that came from elsewhere (the journal, the tray's notices).
std::string EscapeControlCharacters(const std::string& text);
bool EqualsIgnoringAsciiCase(const std::string& a, const std::string& b);

// "\" becomes "/" and runs of "/" fold into one.
std::string NormaliseClientPath(std::string path);
void TrimTrailingSlashes(std::string& path);

enum class PathKind { Missing, Directory, Other };
// Follows symbolic links that stay inside the home folder `home` (as
// HomeRoot gives it); a link that leads out, and anything that cannot be
// queried, counts as missing. Resolved from the home folder's descriptor.
PathKind QueryPath(const std::string& home, const std::string& localPath);

// The home folder as a path prefix: taken as configured, without the
// trailing "/" a user may have typed (the root folder stays "/").
std::string HomeRoot(const std::string& homePath);
std::string JoinLocal(const std::string& folder, const std::string& name);

// The entry of `folder` called `name`: the exact name when it exists, else
// the first name (in byte order) that equals it without regard to ASCII case.
// The folder is read beneath the home folder `home`.
std::optional<std::string> FindEntry(const std::string& home, const std::string& folder,
                                     const std::string& name);

// True when `localPath`, with every symbolic link resolved, lies in the home
// folder. A path that does not exist is judged by its deepest existing
// parent; a dangling link is not inside. With no home folder configured
// (the empty text) nothing is inside.
bool StaysInsideHome(const std::string& localPath, const std::string& homePath);
