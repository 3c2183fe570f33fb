#include "settings/passive_ports.h"

#include <charconv>

#include "settings/scoped_reg_key.h"
#include "settings/settings_keys.h"
#include "settings/settings_store.h"

using namespace platform;

namespace {

bool ParsePort(std::string_view text, int& port)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    return !text.empty() && error == std::errc() && end == text.data() + text.size() &&
           port >= kLowestPassivePort && port <= 65535;
}

}  // namespace

bool ParsePortRange(std::string_view text, PortRange& range)
{
    const size_t dash = text.find('-');
    PortRange parsed;
    if (!ParsePort(text.substr(0, dash), parsed.low))
        return false;
    parsed.high = parsed.low;
    if (dash != std::string_view::npos && !ParsePort(text.substr(dash + 1), parsed.high))
        return false;
    if (parsed.high < parsed.low)
        return false;
    range = parsed;
    return true;
}

std::string FormatPortRange(const PortRange& range)
{
    if (!range.IsSet())
        return {};
    return std::to_string(range.low) + "-" + std::to_string(range.high);
}

bool ReadStoredPassivePorts(PortRange& range)
{
    range = {};
    std::string text;
    if (!GetRegString(settings_keys::kPassivePorts, text))
        return false;
    return text.empty() || ParsePortRange(text, range);
}

RegStatus StorePassivePorts(const PortRange& range)
{
    ScopedRegKey key;
    RegStatus status = key.Open(settings_keys::kSettingsKey, KEY_READ | KEY_WRITE);
    if (status != ERROR_SUCCESS)
        return status;
    if (!range.IsSet()) {
        status = RegDeleteValueA(key.get(), settings_keys::kPassivePorts);
        return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
    }
    const std::string text = FormatPortRange(range);
    return RegSetValueExA(key.get(), settings_keys::kPassivePorts, REG_SZ, text.c_str(),
                          static_cast<std::uint32_t>(text.size() + 1));
}
