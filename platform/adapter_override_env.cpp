#include "platform/adapter_override_env.h"

#include <cstdlib>
#include <sstream>

#include "platform/adapters.h"

namespace platform {

bool InstallAdapterListFromEnvironment()
{
    const char* text = std::getenv("LUMBRA_ADAPTERS");
    if (!text)
        return false;
    std::vector<AdapterInfo> adapters;  // set but empty: a computer without adapters
    std::stringstream entries(text);
    for (std::string entry; std::getline(entries, entry, ',');) {
        const size_t equals = entry.find('=');
        if (equals == std::string::npos || equals == 0 || equals + 1 == entry.size())
            return false;
        adapters.push_back({entry.substr(0, equals), entry.substr(equals + 1)});
    }
    SetAdapterListOverride([adapters](std::vector<AdapterInfo>& out) {
        out = adapters;
        return true;
    });
    return true;
}

}  // namespace platform
