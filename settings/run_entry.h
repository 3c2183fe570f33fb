// The autostart entry (the Run value "Lumbra") that starts the desktop
// program at logon, kept in agreement with the auto-start setting.
#pragma once

#include <string>

// Auto-start on: writes the entry unless it already starts the program;
// off: removes it, where an entry that is not there counts as removed.
// Shows the failure and returns false when the entry cannot be made to agree.
bool MakeRunEntryAgree(bool launchOnStartup);

// For the desktop program's start. Until the first save has stored the
// auto-start setting (a fresh installation) its default, on, holds, and the
// entry is made to agree with it; later starts leave the entry to the saves.
// A failure is shown; the start goes on.
void MakeRunEntryAgreeAtFirstStart();

// The program the entry starts; the running one unless another is set.
void SetRunEntryProgram(std::string program);
