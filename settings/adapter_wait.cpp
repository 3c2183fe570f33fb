#include "settings/adapter_wait.h"

#include "platform/main_thread.h"
#include "settings/settings_store.h"

AdapterWait::AdapterWait(std::string adapterName, Found found)
    : m_strAdapterName(std::move(adapterName)),
      m_Found(std::move(found)),
      m_pTimer(std::make_unique<platform::RepeatingTimer>(kLookEveryMs, [this] { Look(); }))
{
}

AdapterWait::~AdapterWait() = default;

void AdapterWait::Look()
{
    const std::string address = GetIPAddressOfAdapter(m_strAdapterName);
    if (address.empty())
        return;
    m_pTimer.reset();
    const Found found = std::move(m_Found);  // `this` may be gone once it has run
    found(address);
}
