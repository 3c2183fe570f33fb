// Test hook: LUMBRA_ADAPTERS="name=address,name=address" replaces the
// machine's adapter list, so that end-to-end tests can offer the loopback
// address (which the real list leaves out) to the stored settings. Set but
// empty, it stands for a computer without any adapter.
#pragma once

namespace platform {

// True when the variable was set and well-formed and the list is installed.
bool InstallAdapterListFromEnvironment();

}  // namespace platform
