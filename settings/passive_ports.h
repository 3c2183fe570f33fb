// The optional range of passive data ports: its text form ("LOW-HIGH") and
// its place in the stored settings. A firewall can then open exactly these
// ports; without a range the system picks a free one per transfer.
#pragma once

#include <string>
#include <string_view>

#include "platform/registry_errors.h"
#include "server/server_settings.h"

inline constexpr int kLowestPassivePort = 1024;

// "LOW-HIGH" (or one port "N") with 1024 <= LOW <= HIGH <= 65535.
bool ParsePortRange(std::string_view text, PortRange& range);
// "LOW-HIGH"; "" for an unset range.
std::string FormatPortRange(const PortRange& range);

// Reads the stored range; an absent or empty value leaves it unset. False
// (range unset) when the stored value is unreadable or not a range.
bool ReadStoredPassivePorts(PortRange& range);
// Stores the range, or removes the value for an unset one.
platform::RegStatus StorePassivePorts(const PortRange& range);
