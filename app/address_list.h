// The address list of the network dialog without its widget: the entries as
// a sorted drop-down list holds them, and which one shows the current
// address.
#pragma once

#include "platform/adapters.h"

#include <string>
#include <vector>

// The first IPv4 address of every adapter, in text order; equal addresses
// all stay, in the adapters' order.
std::vector<std::string> SortedAddressEntries(const std::vector<platform::AdapterInfo>& adapters);

// Index of the last entry equal to `address`, -1 if none is.
int SelectedAddressIndex(const std::vector<std::string>& entries, const std::string& address);
