// Test hook: LUMBRA_ADAPTERS="name=addr,name=addr" replaces the machine's
// adapter list, so an end-to-end test can bind the server to 127.0.0.1
// (the real list leaves loopback out). Not meant for users; unset, the real
// adapter list is used.
#pragma once

#include "platform/adapters.h"

#include <string>
#include <vector>

// Entries without "=" or with an empty name or address are skipped.
std::vector<platform::AdapterInfo> ParseAdapterList(const std::string& text);

// Installs the override when LUMBRA_ADAPTERS is set; true if it did.
bool InstallAdapterListFromEnvironment();
