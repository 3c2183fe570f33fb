// The machine's network adapters that can carry the FTP server: every
// interface with an IPv4 address, loopback excluded, in the kernel's
// interface order.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace platform {

struct AdapterInfo {
    std::string name;     // interface name, e.g. "eth0"
    std::string address;  // its first IPv4 address, dotted decimal
};

// False = "no list" (the interfaces could not be read); `out` is then empty.
bool GetAdaptersInfo(std::vector<AdapterInfo>& out);

// Tests install a fixed list here; an empty function restores the real one.
void SetAdapterListOverride(std::function<bool(std::vector<AdapterInfo>&)> fn);

}  // namespace platform
