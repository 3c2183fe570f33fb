// A small per-user registry: typed named values under keys, kept in
// human-readable REGEDIT4 text files below $XDG_CONFIG_HOME. Key
// "SOFTWARE\<Vendor>\<Product>" of HKEY_CURRENT_USER lives in
// "<config>/<Vendor>/<Product>.reg"; the Run key maps to the desktop's
// autostart folder, one ".desktop" entry per value.
//
// Every write reaches the disk atomically (temporary file, fsync, rename)
// under a lock file, so each write leaves a complete file and concurrent
// writers do not lose each other's values; RegSetValuesA changes several
// values with one such write. A file that cannot be parsed is reported as
// ERROR_REGISTRY_CORRUPT and is never rewritten, unless RegSetValuesA is
// told to keep it beside and start afresh.
#pragma once

#include "platform/registry_errors.h"
#include "platform/registry_format.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// One change of RegSetValuesA: a value to create or replace, or (no value)
// one to remove, which may be absent already.
struct RegValueChange {
    std::string name;
    std::optional<RegValue> value;
};

// Applies every change with one replacement of the key's file: after a
// failure or a crash the key holds all of them or none. Each change is
// checked as RegSetValueExA checks it before anything is written. With
// `keepDamagedBeside` a file that cannot be parsed is kept as
// "<file>.damaged" and the changes go to an empty key; `keptAt` (if given)
// then names the kept file, else it is left empty. An ordinary key only.
RegStatus RegSetValuesA(HKEY key, const std::vector<RegValueChange>& changes, bool keepDamagedBeside = false,
                        std::string* keptAt = nullptr);

// Removes a value; ERROR_FILE_NOT_FOUND if it does not exist.
RegStatus RegDeleteValueA(HKEY key, const std::string& valueName);

RegStatus RegCloseKey(HKEY key);

// The file that holds key `subKey` of HKEY_CURRENT_USER; "" when none is
// known (the Run key, an unusable path, no configuration folder).
std::string RegKeyFilePath(const std::string& subKey);

// True when the key's file exists but cannot be parsed.
bool RegKeyIsDamaged(const std::string& subKey);

// Removes what writers that died in the middle of a write left of the key
// (their temporary files). Decided by the key's lock, which every writer
// holds while its temporary file exists: while a live writer holds it this
// does nothing and gives ERROR_SHARING_VIOLATION; that writer tidies next.
RegStatus RegTidyKey(const std::string& subKey);

}  // namespace platform
