// The text of a directory listing: one Unix-style long line per entry, the
// way scanners and FTP clients expect to parse it.
#pragma once

#include <cstdint>
#include <string>

// The date column: " Mar 07 09:05 " for times within the last 357 days or in
// the future, " Jan 15 2023 " for older ones. Months are always English.
std::string FormatListingTime(int64_t mtime, int64_t now);

// One whole listing line, CR LF included; the size is right-aligned in a
// 14-character column after "group".
std::string FormatListingLine(const std::string& name, bool isDirectory, uint64_t size,
                              int64_t mtime, int64_t now);
