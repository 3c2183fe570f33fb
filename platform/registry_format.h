// The REGEDIT4 text form of one key:
//
//   REGEDIT4
//
//   [HKEY_CURRENT_USER\SOFTWARE\Tessaly\Lumbra]
//   "HomePath"="/home/u/VESK_SCAN"
//   "Password"=hex:3f,00,a1
//   "Port"=dword:00000015
//
// Text that cannot be shown safely in quotes (control characters, bytes that
// are not UTF-8, a missing or inner NUL) is written as hex(1), so every byte
// of every value survives a save and a load.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace platform {

struct RegValue {
    std::uint32_t type = 0;
    std::string data;  // raw bytes, text values with their terminating NUL

    bool operator==(const RegValue&) const = default;
};

// Value names compare without regard to ASCII case, as registry names do.
struct RegNameLess {
    bool operator()(const std::string& a, const std::string& b) const;
};
using RegValueMap = std::map<std::string, RegValue, RegNameLess>;

bool IsValidUtf8(std::string_view text);

// Value names that fit on one line of the file.
bool IsStorableValueName(const std::string& name);

std::string FormatRegFile(const std::string& headerPath, const RegValueMap& values);

// False if `text` is not a REGEDIT4 file holding exactly the key `headerPath`.
bool ParseRegFile(const std::string& text, const std::string& headerPath, RegValueMap& values);

}  // namespace platform
