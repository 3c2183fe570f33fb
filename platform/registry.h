// A small per-user registry: typed named values under keys, kept in
// human-readable REGEDIT4 text files below $XDG_CONFIG_HOME. Key
// "SOFTWARE\<Vendor>\<Product>" of HKEY_CURRENT_USER lives in
// "<config>/<Vendor>/<Product>.reg"; the Run key maps to the desktop's
// autostart folder, one ".desktop" entry per value.
//
// Every write reaches the disk atomically (temporary file, fsync, rename)
// under a lock file, so each write leaves a complete file and concurrent
// writers do not lose each other's values. A file that cannot be parsed is
// reported as ERROR_REGISTRY_CORRUPT and is never rewritten; only
// RegSetAsideDamagedKey moves it out of the way, keeping it beside.
#pragma once

#include "platform/registry_errors.h"

#include <cstdint>
#include <string>

namespace platform {

enum class HKEY : std::uintptr_t {};
inline constexpr HKEY HKEY_CURRENT_USER = static_cast<HKEY>(0x80000001u);

// Value types.
constexpr std::uint32_t REG_NONE = 0;
constexpr std::uint32_t REG_SZ = 1;
constexpr std::uint32_t REG_EXPAND_SZ = 2;
constexpr std::uint32_t REG_BINARY = 3;
constexpr std::uint32_t REG_DWORD = 4;

// Access rights; only the two value rights are enforced.
constexpr std::uint32_t KEY_QUERY_VALUE = 0x0001;
constexpr std::uint32_t KEY_SET_VALUE = 0x0002;
constexpr std::uint32_t KEY_READ = 0x20019;
constexpr std::uint32_t KEY_WRITE = 0x20006;

// Dispositions reported by RegCreateKeyExA.
constexpr std::uint32_t REG_CREATED_NEW_KEY = 1;
constexpr std::uint32_t REG_OPENED_EXISTING_KEY = 2;

// Largest value data the store accepts.
constexpr std::uint32_t kMaxRegValueBytes = 1u << 20;

// Opens the key, creating its file (and folders, mode 0700) if missing.
RegStatus RegCreateKeyExA(HKEY root, const std::string& subKey, std::uint32_t access, HKEY& result,
                          std::uint32_t* disposition = nullptr);

// Opens an existing key; ERROR_FILE_NOT_FOUND if it does not exist.
RegStatus RegOpenKeyExA(HKEY root, const std::string& subKey, std::uint32_t access, HKEY& result);

// Reads a value. `type`, `data` may be null; `dataSize` is in/out (buffer size
// in, value size out) and must be given with `data`. A buffer that is too small
// gives ERROR_MORE_DATA with the needed size in `dataSize` and the buffer
// untouched. ERROR_FILE_NOT_FOUND means exactly "no such value".
RegStatus RegQueryValueExA(HKEY key, const std::string& valueName, std::uint32_t* type, void* data,
                           std::uint32_t* dataSize);

// Creates or replaces a value with `size` bytes of `data` (stored as given,
// text values with their terminating NUL).
RegStatus RegSetValueExA(HKEY key, const std::string& valueName, std::uint32_t type, const void* data,
                         std::uint32_t size);

// Removes a value; ERROR_FILE_NOT_FOUND if it does not exist.
RegStatus RegDeleteValueA(HKEY key, const std::string& valueName);

RegStatus RegCloseKey(HKEY key);

// The file that holds key `subKey` of HKEY_CURRENT_USER; "" when none is
// known (the Run key, an unusable path, no configuration folder).
std::string RegKeyFilePath(const std::string& subKey);

// True when the key's file exists but cannot be parsed.
bool RegKeyIsDamaged(const std::string& subKey);

// The way out of a damaged key: its file is kept beside as "<file>.damaged"
// and an empty key replaces it, so the next writes succeed. `setAsidePath`
// names the kept file, or stays empty when the key was not damaged.
RegStatus RegSetAsideDamagedKey(const std::string& subKey, std::string& setAsidePath);

}  // namespace platform
