// An open registry key that is closed on every path out of a scope.
#pragma once

#include "platform/registry.h"

#include <string>

class ScopedRegKey {
public:
    ScopedRegKey() = default;
    ~ScopedRegKey() { Close(); }
    ScopedRegKey(const ScopedRegKey&) = delete;
    ScopedRegKey& operator=(const ScopedRegKey&) = delete;

    platform::RegStatus Open(const std::string& subKey, std::uint32_t access)
    {
        Close();
        const platform::RegStatus status = platform::RegOpenKeyExA(platform::HKEY_CURRENT_USER, subKey, access, m_key);
        m_open = status == platform::ERROR_SUCCESS;
        return status;
    }

    void Close()
    {
        if (m_open)
            platform::RegCloseKey(m_key);
        m_open = false;
    }

    platform::HKEY get() const { return m_key; }

private:
    platform::HKEY m_key{};
    bool m_open = false;
};
