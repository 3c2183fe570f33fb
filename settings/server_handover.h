// The eight held settings that go to the server, in the order the server
// takes them (SetSettingsToServer).
#pragma once

#include "server/server_settings.h"
#include "settings/settings_store.h"

#include <string>

// With TLS on but no context for it, `tlsError` (when given) says why; the
// settings go to the server all the same.
ServerSettings ServerSettingsFrom(const LumbraSettings& held, std::string* tlsError = nullptr);
