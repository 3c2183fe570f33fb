// Test hook: LUMBRA_ADAPTERS="name=address,name=address" replaces the
// machine's adapter list, so that end-to-end tests can offer the loopback
// address (which the real list leaves out) to the stored settings. Set but
// empty, it stands for a computer without any adapter.
// LUMBRA_ADAPTERS_FILE=PATH instead reads that list from the file's first
// line at every look, so that an adapter can come up while a program runs.
#pragma once

namespace platform {

// True when the variable was set and well-formed and the list is installed.
bool InstallAdapterListFromEnvironment();

}  // namespace platform
