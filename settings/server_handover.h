// The eight held settings that go to the server, in the order the server
// takes them (SetSettingsToServer).
#pragma once

#include "server/server_settings.h"
#include "settings/settings_store.h"

ServerSettings ServerSettingsFrom(const LumbraSettings& held);
