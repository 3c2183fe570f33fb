// The Run entry that starts the program at logon.
#pragma once

// Adds (auto-start on) or removes (off) the entry; shows the failure and
// returns false if that fails, a missing entry on removal included.
bool ApplyRunEntry(bool launchOnStartup);
