#include "app/address_list.h"

#include <algorithm>

std::vector<std::string> SortedAddressEntries(const std::vector<platform::AdapterInfo>& adapters)
{
    std::vector<std::string> entries;
    entries.reserve(adapters.size());
    for (const auto& adapter : adapters)
        entries.push_back(adapter.address);
    std::stable_sort(entries.begin(), entries.end());
    return entries;
}

int SelectedAddressIndex(const std::vector<std::string>& entries, const std::string& address)
{
    // Every equal entry is selected in turn, so the last one wins.
    int selected = -1;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i] == address)
            selected = static_cast<int>(i);
    }
    return selected;
}
