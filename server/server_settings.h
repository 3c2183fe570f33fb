// The eight settings that the settings dialog hands to the server.
#pragma once

#include <string>

struct ServerSettings {
    std::string m_strBindAddress = "127.0.0.1";
    int m_nPort = 21;
    int m_nTimeout = 5;  // minutes of silence before a client is cut off
    int m_bAnonymous = 1;
    std::string m_strUserID;
    std::string m_strPassword;  // plain text
    std::string m_strHomePath;
    int m_bPlainScan = 0;
};
