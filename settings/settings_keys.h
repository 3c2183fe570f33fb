// Where the program's settings live and what their values are called.
#pragma once

namespace settings_keys {

inline constexpr const char* kSettingsKey = "SOFTWARE\\Tessaly\\Lumbra";
inline constexpr const char* kRunKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr const char* kRunValue = "Lumbra";

inline constexpr const char* kLaunchOnStartup = "LaunchOnStartup";
inline constexpr const char* kNic = "NIC";
inline constexpr const char* kPort = "Port";
inline constexpr const char* kTimeout = "Timeout";
inline constexpr const char* kHomePath = "HomePath";
inline constexpr const char* kIsAnonymous = "IsAnonymous";
inline constexpr const char* kUserId = "UserID";
inline constexpr const char* kPassword = "Password";
inline constexpr const char* kIsPlainScan = "IsPlainScan";
// Optional: "LOW-HIGH", the ports offered for passive data connections.
inline constexpr const char* kPassivePorts = "PassivePorts";
// Optional FTPS values: DWORD 0 off, 1 offered, 2 required; DWORD 0/1 for
// the old TLS versions; one's own certificate and key files.
inline constexpr const char* kTlsMode = "TlsMode";
inline constexpr const char* kTlsLegacy = "TlsLegacy";
inline constexpr const char* kTlsCertFile = "TlsCertFile";
inline constexpr const char* kTlsKeyFile = "TlsKeyFile";

// Reads use a 260-byte buffer: text up to 259 bytes plus its NUL, and a
// password of up to 260 cipher bytes.
inline constexpr unsigned kReadBufferBytes = 260;

}  // namespace settings_keys
