// Loading and saving the program's settings in the per-user registry, and
// the translation between the stored network adapter name and the address
// the server binds to.
#pragma once

#include "server/server_settings.h"
#include "settings/crypt.h"
#include "settings/tls_settings.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// The idle time-outs, in minutes, that the network dialog accepts; a stored
// one outside them is replaced by the default at load.
inline constexpr int kShortestTimeout = 5;
inline constexpr int kLongestTimeout = 300;
inline constexpr int kDefaultTimeout = 5;

// $HOME/VESK_SCAN: where scans go until the user picks another folder.
std::string DefaultHomePath();

// The values the main dialog holds, with their defaults.
struct LumbraSettings {
    int m_bLaunchOnStartup = 1;
    std::string m_strIPAddress;  // translated from "NIC" by GetIPAddressOfAdapter
    int m_nPort = 21;
    int m_nTimeout = kDefaultTimeout;
    std::string m_strHomePath = DefaultHomePath();
    int m_bAnonymous = 1;
    std::string m_strUserID = "anonymous";
    std::string m_strPassword;  // plain text
    int m_bPlainScan = 0;
    PortRange m_PassivePorts;  // "PassivePorts"; kept apart from the dialog's values
    TlsSettings m_Tls;         // "TlsMode" and its companions, likewise
    std::string m_strAdapterName;  // "NIC" as loaded; kept while it has no address
};

// Creates or opens the settings key at program start; false on failure (the
// caller shows its own message).
bool EnsureSettingsKey();
// False on a fresh installation: nothing has made the settings key yet.
bool SettingsKeyExists();

// Single-value reads of the settings key. An absent value leaves `value`
// untouched and counts as success, except for GetRegBinary where it fails.
// A wrong type, an over-long value or an unreadable store fails.
bool GetRegDword(const char* name, std::uint32_t& value);
bool GetRegString(const char* name, std::string& value);
bool GetRegBinary(const char* name, std::string& value);

// Adapter name to its first IPv4 address. An empty name (none chosen yet)
// gives the first adapter's address; a named adapter that has no address
// now (gone, or not up yet), or no adapter list, gives "".
std::string GetIPAddressOfAdapter(const std::string& adapterName);

// Address to the name of the first adapter holding it, or "".
std::string GetAdapterNameOfIPAddress(const std::string& address);

// Fills `s` value by value; on the first failure shows its message and
// returns false (values read so far stay, the rest keep their defaults). A
// stored time-out out of range is reported on standard error and replaced by
// the default. First removes what savers that died mid-write left behind.
// `afterLogin`, if given, runs once the login part is done and before
// "IsPlainScan" is read, so it still runs when only that last read fails.
bool RunLoadSequence(LumbraSettings& s, Vesk::CVeskCrypt& crypt, const std::function<void()>& afterLogin = {});

// Makes the autostart entry agree with `s`'s auto-start, then writes every
// value of `s` with one replacement of the store file, so that all of them
// or none are stored. `passivePorts`, when given, is stored with them (an
// unset range removes the stored one); otherwise the stored range stays.
// `withTls` stores `s.m_Tls` with them likewise.
// On a failure shows its message and returns false.
bool RunSaveSequence(const LumbraSettings& s, Vesk::CVeskCrypt& crypt,
                     const std::optional<PortRange>& passivePorts = std::nullopt, bool withTls = false);
