// Waiting for the stored network adapter to get its address: at boot a
// service may start before the network is up, and a laptop's adapter comes
// and goes. Looks cheaply every two seconds on the main thread's loop.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace platform {
class RepeatingTimer;
}

class AdapterWait {
public:
    static constexpr int kLookEveryMs = 2000;
    using Found = std::function<void(const std::string& address)>;

    // Main thread. `found` runs once, on the main thread, with the adapter's
    // first IPv4 address; the wait may be destroyed inside it.
    AdapterWait(std::string adapterName, Found found);
    ~AdapterWait();

    const std::string& AdapterName() const { return m_strAdapterName; }

private:
    void Look();

    const std::string m_strAdapterName;
    Found m_Found;
    std::unique_ptr<platform::RepeatingTimer> m_pTimer;
};
