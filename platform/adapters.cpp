#include "platform/adapters.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <memory>
#include <mutex>

namespace platform {
namespace {

std::mutex g_overrideLock;
std::function<bool(std::vector<AdapterInfo>&)> g_override;

using IfAddrsPtr = std::unique_ptr<ifaddrs, decltype(&freeifaddrs)>;
using NameIndexPtr = std::unique_ptr<struct if_nameindex, decltype(&if_freenameindex)>;

// The first IPv4 address getifaddrs reports for `name`, or empty. getifaddrs
// lists the primary address of an interface before its secondary ones.
std::string FirstIPv4AddressOf(const ifaddrs* list, const char* name)
{
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET || entry->ifa_name == nullptr)
            continue;
        if (std::string(entry->ifa_name) != name || (entry->ifa_flags & IFF_LOOPBACK) != 0)
            continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) != nullptr)
            return text;
    }
    return {};
}

bool ReadSystemAdapters(std::vector<AdapterInfo>& out)
{
    ifaddrs* rawList = nullptr;
    if (getifaddrs(&rawList) != 0)
        return false;
    const IfAddrsPtr list(rawList, &freeifaddrs);
    const NameIndexPtr names(if_nameindex(), &if_freenameindex);
    if (!names)
        return false;
    for (const struct if_nameindex* n = names.get(); n->if_index != 0 && n->if_name != nullptr; ++n) {
        std::string address = FirstIPv4AddressOf(list.get(), n->if_name);
        if (!address.empty())
            out.push_back({n->if_name, std::move(address)});
    }
    return true;
}

}  // namespace

bool GetAdaptersInfo(std::vector<AdapterInfo>& out)
{
    std::function<bool(std::vector<AdapterInfo>&)> source;
    {
        std::lock_guard<std::mutex> guard(g_overrideLock);
        source = g_override;
    }
    std::vector<AdapterInfo> adapters;
    const bool ok = source ? source(adapters) : ReadSystemAdapters(adapters);
    out = ok ? std::move(adapters) : std::vector<AdapterInfo>();
    return ok;
}

void SetAdapterListOverride(std::function<bool(std::vector<AdapterInfo>&)> fn)
{
    std::lock_guard<std::mutex> guard(g_overrideLock);
    g_override = std::move(fn);
}

}  // namespace platform
