#include "platform/adapter_override_env.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/adapters.h"

namespace platform {
namespace {

// "name=address,name=address"; false when an entry is malformed.
bool ParseAdapterList(const std::string& text, std::vector<AdapterInfo>& adapters)
{
    std::stringstream entries(text);
    for (std::string entry; std::getline(entries, entry, ',');) {
        const size_t equals = entry.find('=');
        if (equals == std::string::npos || equals == 0 || equals + 1 == entry.size())
            return false;
        adapters.push_back({entry.substr(0, equals), entry.substr(equals + 1)});
    }
    return true;
}

// The list read afresh at every look, so a test can bring an adapter up
// while the program runs; an absent or empty file is an empty list.
void InstallAdapterListFile(const std::string& path)
{
    SetAdapterListOverride([path](std::vector<AdapterInfo>& out) {
        std::ifstream file(path);
        std::string text;
        std::getline(file, text);
        return ParseAdapterList(text, out);
    });
}

}  // namespace

bool InstallAdapterListFromEnvironment()
{
    if (const char* path = std::getenv("LUMBRA_ADAPTERS_FILE"); path && *path) {
        InstallAdapterListFile(path);
        return true;
    }
    const char* text = std::getenv("LUMBRA_ADAPTERS");
    if (!text)
        return false;
    std::vector<AdapterInfo> adapters;  // set but empty: a computer without adapters
    if (!ParseAdapterList(text, adapters))
        return false;
    SetAdapterListOverride([adapters](std::vector<AdapterInfo>& out) {
        out = adapters;
        return true;
    });
    return true;
}

}  // namespace platform
