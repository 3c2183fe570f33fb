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
    return adapters.front().address;  // a vanished or unset adapter falls back to the first one
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
