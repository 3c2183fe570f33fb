#include "platform/registry_format.h"

#include "platform/registry.h"

#include <algorithm>
#include <cctype>

#include <cstdio>
#include <cstring>

namespace platform {
namespace {

constexpr std::size_t kMaxValueNameLength = 16383;

// Length of the UTF-8 sequence that starts at text[i], 0 if it is invalid.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
        high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else
        return 0;
    if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high)
        return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF)
            return 0;
    }
    return length;
}

std::string Quote(std::string_view text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + '"';
}

// Text goes in quotes only if it reads back as exactly the same bytes.
bool IsQuotableText(const RegValue& value)
{
    const std::string& data = value.data;
    if (value.type != REG_SZ || data.empty() || data.find('\0') != data.size() - 1)
        return false;
    const std::string_view text(data.data(), data.size() - 1);
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f)
            return false;
    }
    return IsValidUtf8(text);
}

std::string HexList(const std::string& data)
{
    std::string out;
    char digits[4];
    for (std::size_t i = 0; i < data.size(); ++i) {
        std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(data[i]));
        if (i > 0)
            out += ',';
        out += digits;
    }
    return out;
}

std::string FormatData(const RegValue& value)
{
    if (IsQuotableText(value))
        return Quote(std::string_view(value.data.data(), value.data.size() - 1));
    char prefix[32];
    if (value.type == REG_DWORD && value.data.size() == 4) {
        std::uint32_t number = 0;
        std::memcpy(&number, value.data.data(), 4);
        std::snprintf(prefix, sizeof prefix, "dword:%08x", number);
        return prefix;
    }
    if (value.type == REG_BINARY)
        return "hex:" + HexList(value.data);
    std::snprintf(prefix, sizeof prefix, "hex(%x):", value.type);
    return prefix + HexList(value.data);
}

}  // namespace

bool RegNameLess::operator()(const std::string& a, const std::string& b) const
{
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const int ca = std::tolower(static_cast<unsigned char>(a[i]));
        const int cb = std::tolower(static_cast<unsigned char>(b[i]));
        if (ca != cb)
            return ca < cb;
    }
    return a.size() < b.size();
}

bool IsValidUtf8(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = Utf8SequenceLength(text, i);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

bool IsStorableValueName(const std::string& name)
{
    return name.size() <= kMaxValueNameLength && name.find_first_of(std::string("\0\r\n", 3)) == std::string::npos;
}

std::string FormatRegFile(const std::string& headerPath, const RegValueMap& values)
{
    std::string out = "REGEDIT4\n\n[" + headerPath + "]\n";
    for (const auto& [name, value] : values)
        out += (name.empty() ? std::string("@") : Quote(name)) + "=" + FormatData(value) + "\n";
    return out + "\n";
}

}  // namespace platform
