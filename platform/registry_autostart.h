// The Run key on a Linux desktop: each value is an XDG autostart entry
// "<config>/autostart/<value name>.desktop" that starts the program named
// by the value's text.
#pragma once

#include "platform/registry_format.h"
#include "platform/registry_paths.h"

namespace platform {

// The text is the program's path; the entry runs it with no arguments.
RegStatus WriteAutostartValue(const RegKeyLocation& runKey, const std::string& name, const RegValue& value);

// Gives back the program path of an existing entry as REG_SZ text.
RegStatus ReadAutostartValue(const RegKeyLocation& runKey, const std::string& name, RegValue& value);

// ERROR_FILE_NOT_FOUND if there is no such entry.
RegStatus DeleteAutostartValue(const RegKeyLocation& runKey, const std::string& name);

// The full path of the running executable, from /proc/self/exe.
RegStatus GetOwnExecutablePath(std::string& path);

// `program` as one argument of a desktop entry's Exec key, in the file's
// escaped form: quoted, with ", `, $ and \ escaped and % doubled.
std::string DesktopExecQuote(const std::string& program);

// The reverse of DesktopExecQuote for the Exec values it writes.
bool DesktopExecUnquote(const std::string& escaped, std::string& program);

}  // namespace platform
