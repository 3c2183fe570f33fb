// The settings in force, as the settings dialog hands them to the server and
// the session reads them.
#pragma once

#include <memory>
#include <string>

namespace platform {
class TlsServerContext;
}

// FTPS: explicit TLS (AUTH TLS) not offered, offered, or required of every
// client.
enum TlsMode { kTlsOff = 0, kTlsOffered = 1, kTlsRequired = 2 };

// Ports for passive data connections; unset (0-0) lets the system choose.
struct PortRange {
    int low = 0;
    int high = 0;
    bool IsSet() const { return low > 0 && high >= low; }
    bool operator==(const PortRange&) const = default;
};

struct ServerSettings {
    std::string m_strBindAddress = "127.0.0.1";
    // The stored adapter the address comes from; when it has no address yet
    // the bind address is empty and the programs wait for one.
    std::string m_strAdapterName;
    int m_nPort = 21;
    int m_nTimeout = 5;  // minutes of silence before a client is cut off
    int m_bAnonymous = 1;
    std::string m_strUserID;
    std::string m_strPassword;  // plain text
    std::string m_strHomePath;
    int m_bPlainScan = 0;
    // Optional, not part of the settings dialog: set with lumbra-ftpd --save.
    PortRange m_PassivePorts;
    // Optional, like the passive ports. TLS is served only with a context;
    // required mode without one refuses every login.
    int m_nTlsMode = kTlsOff;
    std::shared_ptr<const platform::TlsServerContext> m_pTls;
};
