// The desktop's word on arriving scans: one tray notice when a session that
// stored files ends, one for an upload that failed. Notices never wait for a
// click; without a tray the stand-in window's status line shows them.
#pragma once

#include <string>

#include "server/scan_events.h"

// The notice text for `event`; empty when the event gets none.
std::string ScanNoticeText(const ScanEvent& event);

// Shows the notice for `event` (the server's scan listener in lumbra).
void ShowScanNotice(const ScanEvent& event);

// The folder the scans of `event` went to (a click on its notice opens it);
// empty for an event without one.
std::string ScanNoticeFolder(const ScanEvent& event);
