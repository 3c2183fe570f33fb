// Code-page conversion between UTF-8 (names on disk) and CP949, the code page
// of the scanners this server talks to when they have not asked for UTF-8.
#pragma once

#include <string>

namespace platform {

bool IsValidUtf8(const std::string& text);

}  // namespace platform

// UTF-8 to CP949; characters CP949 lacks, and bytes that are not UTF-8,
// become '?'.
std::string Utf8ToAnsi(const std::string& text);
// CP949 to UTF-8. Text that is already valid UTF-8 is taken as it is; bytes
// that are not CP949 either become U+FFFD.
std::string AnsiToUtf8(const std::string& text);
