// The settings file. Two properties, chosen by the first byte:
//  - any text: whatever parses is written back and parses to the same values;
//  - values built from the bytes: written out and read back unchanged, so
//    that no name or value the program stores can damage its own file.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/registry_format.h"

namespace {

const std::string kHeader = "HKEY_CURRENT_USER\\SOFTWARE\\Tessaly\\Lumbra";

void Require(bool condition)
{
    if (!condition)
        std::abort();
}

void TextRoundTrip(const std::string& text)
{
    platform::RegValueMap values;
    if (!platform::ParseRegFile(text, kHeader, values))
        return;
    platform::RegValueMap again;
    Require(platform::ParseRegFile(platform::FormatRegFile(kHeader, values), kHeader, again));
    Require(again == values);
}

// Takes a length-prefixed piece of the input (an empty one when it runs out).
std::string Take(const uint8_t*& data, size_t& size)
{
    if (size == 0)
        return {};
    const size_t length = std::min<size_t>(data[0], size - 1);
    std::string piece(reinterpret_cast<const char*>(data + 1), length);
    data += 1 + length;
    size -= 1 + length;
    return piece;
}

void ValuesRoundTrip(const uint8_t* data, size_t size)
{
    static const uint32_t kTypes[] = {1, 2, 3, 4, 7, 11};  // text, expandable, binary, number, list, odd
    platform::RegValueMap values;
    while (size > 0) {
        const uint32_t type = kTypes[data[0] % (sizeof kTypes / sizeof kTypes[0])];
        ++data;
        --size;
        std::string name = Take(data, size);
        platform::RegValue value{type, Take(data, size)};
        if (type == 4)
            value.data.resize(4, '\0');  // a number is always four bytes
        if (platform::IsStorableValueName(name))
            values[name] = value;
    }
    platform::RegValueMap again;
    Require(platform::ParseRegFile(platform::FormatRegFile(kHeader, values), kHeader, again));
    Require(again == values);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    if (data[0] & 1)
        ValuesRoundTrip(data + 1, size - 1);
    else
        TextRoundTrip(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
    return 0;
}
