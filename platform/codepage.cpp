#include "platform/codepage.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform {

bool IsValidUtf8(const std::string& text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned char lead = *p;
        size_t length;
        uint32_t min;
        if (lead < 0x80) {
            ++p;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            min = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            min = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            min = 0x10000;
        } else {
            return false;
        }
        if (static_cast<size_t>(end - p) < length)
            return false;
        uint32_t code = lead & (0x7F >> length);
        for (size_t i = 1; i < length; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (p[i] & 0x3F);
        }
        if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        p += length;
    }
    return true;
}

namespace {

// Converts with iconv; an input sequence the target cannot take is replaced
// by `replacement` and skipped (one byte, or one whole UTF-8 character).
std::string Convert(const std::string& text, const char* to, const char* from,
                    const std::string& replacement, bool fromUtf8)
{
    iconv_t cd = ::iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return text;
    std::string out;
    out.reserve(text.size() * 2);
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char buffer[1024];
    while (inLeft > 0) {
        char* outPtr = buffer;
        size_t outLeft = sizeof buffer;
        const size_t rc = ::iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        out.append(buffer, outPtr - buffer);
        if (rc != static_cast<size_t>(-1) || errno == E2BIG)
            continue;
        // EILSEQ or EINVAL: replace the offending character and go on.
        size_t skip = 1;
        if (fromUtf8) {
            const unsigned char lead = static_cast<unsigned char>(*in);
            skip = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
            if (skip > inLeft || !IsValidUtf8(std::string(in, skip)))
                skip = 1;
        }
        out += replacement;
        in += skip;
        inLeft -= skip;
    }
    ::iconv_close(cd);
    return out;
}

}  // namespace
}  // namespace platform

namespace {

// Almost every reply and name is plain ASCII, the same in both code pages.
bool IsAscii(const std::string& text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; });
}

}  // namespace

std::string Utf8ToAnsi(const std::string& text)
{
    if (IsAscii(text))
        return text;
    return platform::Convert(text, "CP949", "UTF-8", "?", true);
}

std::string AnsiToUtf8(const std::string& text)
{
    if (platform::IsValidUtf8(text))
        return text;
    return platform::Convert(text, "UTF-8", "CP949", "\xEF\xBF\xBD", false);
}
