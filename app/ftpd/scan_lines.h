// lumbra-ftpd's account of arriving scans: one line on standard output per
// stored file (time, size, path), per failed upload and per failed login
// (time, name, address), so a service's journal shows what arrived and a ban
// filter sees who guesses passwords.
#pragma once

#include <cstdio>

#include "server/scan_events.h"

// Writes the line for `event` to `out` (nothing for a session's end). A line
// that `out` has no room for right now is dropped rather than waited for.
void PrintScanEvent(const ScanEvent& event, std::FILE* out);
inline void PrintScanEvent(const ScanEvent& event)
{
    PrintScanEvent(event, stdout);
}
