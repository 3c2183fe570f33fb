#include "settings/settings_store.h"

#include "platform/registry_paths.h"

std::string DefaultHomePath()
{
    const std::string home = platform::UserHomeFolder();
    return (home == "/" ? std::string() : home) + "/VESK_SCAN";
}
