// The desktop's word on arriving scans: one tray notice when a session that
// stored files ends, one for an upload that failed, and one when an address
// keeps failing to log in. Notices never wait for a click; without a tray the
// stand-in window's status line shows them.
#pragma once

#include <ctime>
#include <map>
#include <string>

#include "server/scan_events.h"

// The consecutive failed logins of an address that make a notice.
constexpr int kLoginFailuresNoticed = 5;

// The notice text for `event`; empty when the event gets none.
std::string ScanNoticeText(const ScanEvent& event);

// Shows the notice for `event` (the server's scan listener in lumbra).
void ShowScanNotice(const ScanEvent& event);

// At most one notice of failed logins an hour per address: a guesser that
// goes on all night makes a notice an hour, not one per try.
class LoginNoticeGate {
public:
    static constexpr std::time_t kQuietSeconds = 3600;
    static constexpr size_t kMaxAddresses = 4096;
    // Whether a notice for `address` may be shown at `now`; if so, it counts
    // as shown.
    bool Admit(const std::string& address, std::time_t now);

private:
    std::map<std::string, std::time_t> m_shownAt;
};

// The folder the scans of `event` went to (a click on its notice opens it);
// empty for an event without one.
std::string ScanNoticeFolder(const ScanEvent& event);
