// Translation between the stored adapter name ("NIC") and the address the
// server binds to. Only each adapter's first IPv4 address counts.
#include "settings/settings_store.h"

#include "platform/adapters.h"

std::string GetIPAddressOfAdapter(const std::string& adapterName)
{
    std::vector<platform::AdapterInfo> adapters;
    if (!platform::GetAdaptersInfo(adapters) || adapters.empty())
        return {};
    for (const platform::AdapterInfo& adapter : adapters) {
        if (adapter.name == adapterName)
            return adapter.address;
    }
    // Only an unset adapter takes the first one. A chosen one that has no
    // address is waited for: serving on another network instead would open
    // the scan folder where the user did not choose to.
    return adapterName.empty() ? adapters.front().address : std::string();
}

std::string GetAdapterNameOfIPAddress(const std::string& address)
{
    std::vector<platform::AdapterInfo> adapters;
    if (!platform::GetAdaptersInfo(adapters))
        return {};
    for (const platform::AdapterInfo& adapter : adapters) {
        if (adapter.address == address)
            return adapter.name;  // with two adapters on one address the first wins
    }
    return {};
}
