#include "settings/server_handover.h"

#include <cstdio>

ServerSettings ServerSettingsFrom(const LumbraSettings& held, std::string* tlsError)
{
    ServerSettings s;
    s.m_strBindAddress = held.m_strIPAddress;
    s.m_strAdapterName = held.m_strAdapterName;
    s.m_nPort = held.m_nPort;
    s.m_nTimeout = held.m_nTimeout;
    s.m_bAnonymous = held.m_bAnonymous;
    s.m_strUserID = held.m_strUserID;
    s.m_strPassword = held.m_strPassword;
    s.m_strHomePath = held.m_strHomePath;
    s.m_bPlainScan = held.m_bPlainScan != 0 ? 1 : 0;
    s.m_PassivePorts = held.m_PassivePorts;
    // Without its context required mode still refuses clear logins: a
    // certificate that cannot be made never opens the server to clear text.
    s.m_nTlsMode = held.m_Tls.mode;
    std::string error;
    s.m_pTls = TlsContextFor(held.m_Tls, error);
    if (s.m_nTlsMode != kTlsOff && !s.m_pTls) {
        std::fprintf(stderr, "TLS cannot be served: %s\n", error.c_str());
        if (tlsError)
            *tlsError = error;
    }
    return s;
}
