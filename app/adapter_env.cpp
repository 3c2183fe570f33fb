#include "app/adapter_env.h"

#include <cstdlib>
#include <sstream>

std::vector<platform::AdapterInfo> ParseAdapterList(const std::string& text)
{
    std::vector<platform::AdapterInfo> list;
    std::istringstream entries(text);
    std::string entry;
    while (std::getline(entries, entry, ',')) {
        const auto equals = entry.find('=');
        if (equals == std::string::npos || equals == 0 || equals + 1 == entry.size())
            continue;
        list.push_back({entry.substr(0, equals), entry.substr(equals + 1)});
    }
    return list;
}

bool InstallAdapterListFromEnvironment()
{
    const char* text = std::getenv("LUMBRA_ADAPTERS");
    if (text == nullptr)
        return false;
    platform::SetAdapterListOverride([list = ParseAdapterList(text)](std::vector<platform::AdapterInfo>& out) {
        out = list;
        return true;
    });
    return true;
}
