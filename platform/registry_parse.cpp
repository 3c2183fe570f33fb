// Reading the REGEDIT4 form written by registry_format.cpp. Anything that is
// not understood makes the whole file unreadable rather than being skipped,
// so a damaged file is never taken for a smaller valid one.
#include "platform/registry.h"
#include "platform/registry_format.h"

#include <cstring>
#include <strings.h>
#include <vector>

namespace platform {
namespace {

constexpr std::string_view kSignature = "REGEDIT4";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::string_view Trim(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    const std::size_t last = text.find_last_not_of(" \t\r");
    if (first == std::string_view::npos || last == std::string_view::npos)
        return {};  // blanks only, a CR among them included
    return text.substr(first, last - first + 1);
}

bool ConsumePrefix(std::string_view& text, std::string_view prefix)
{
    if (text.size() < prefix.size() || strncasecmp(text.data(), prefix.data(), prefix.size()) != 0)
        return false;
    text.remove_prefix(prefix.size());
    return true;
}

// Physical lines joined where a hex list continues with a trailing backslash.
std::vector<std::string> LogicalLines(std::string_view text)
{
    std::vector<std::string> lines;
    bool continues = false;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = Trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        const std::string_view start = continues ? std::string_view(lines.back()) : line;
        const bool isComment = !start.empty() && start.front() == ';';  // a comment never swallows the next line
        const bool next = !isComment && !line.empty() && line.back() == '\\';
        if (next)
            line.remove_suffix(1);
        if (continues)
            lines.back() += line;
        else
            lines.emplace_back(line);
        continues = next;
    }
    return lines;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool ParseHexDigits(std::string_view text, std::uint32_t& number)
{
    number = 0;
    for (char c : text) {
        const int digit = HexDigit(c);
        if (digit < 0)
            return false;
        number = number * 16 + static_cast<std::uint32_t>(digit);
    }
    return true;
}

// 1 to `maxDigits` hex digits, nothing else.
bool ParseHexNumber(std::string_view text, std::size_t maxDigits, std::uint32_t& number)
{
    return !text.empty() && text.size() <= maxDigits && ParseHexDigits(text, number);
}

// Exactly `digits` hex digits: the width every writer uses for a number or a
// byte, so that a file cut off inside one is refused rather than read as a
// smaller value.
bool ParseFixedHex(std::string_view text, std::size_t digits, std::uint32_t& number)
{
    return text.size() == digits && ParseHexDigits(text, number);
}

bool ParseHexList(std::string_view text, std::string& bytes)
{
    text = Trim(text);
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        std::uint32_t byte = 0;
        if (!ParseFixedHex(Trim(text.substr(0, comma)), 2, byte))
            return false;
        bytes += static_cast<char>(byte);
        if (comma == std::string_view::npos)
            break;
        text = text.substr(comma + 1);
        if (Trim(text).empty())
            return false;  // a trailing comma
    }
    return true;
}

// `text` starts at an opening quote; on success it is left after the closing one.
bool ParseQuoted(std::string_view& text, std::string& out)
{
    for (std::size_t i = 1; i < text.size(); ++i) {
        char c = text[i];
        if (c == '"') {
            text.remove_prefix(i + 1);
            return true;
        }
        if (c == '\\') {
            if (++i == text.size() || (text[i] != '\\' && text[i] != '"'))
                return false;
            c = text[i];
        }
        out += c;
    }
    return false;
}

bool ParseData(std::string_view text, RegValue& value)
{
    if (!text.empty() && text.front() == '"') {
        value.type = REG_SZ;
        if (!ParseQuoted(text, value.data) || !Trim(text).empty())
            return false;
        value.data += '\0';  // quoted text is stored with its terminator
        return true;
    }
    if (ConsumePrefix(text, "dword:")) {
        std::uint32_t number = 0;
        if (!ParseFixedHex(text, 8, number))
            return false;
        value.type = REG_DWORD;
        value.data.assign(reinterpret_cast<const char*>(&number), sizeof number);
        return true;
    }
    if (ConsumePrefix(text, "hex:")) {
        value.type = REG_BINARY;
        return ParseHexList(text, value.data);
    }
    const std::size_t close = text.find("):");
    if (!ConsumePrefix(text, "hex(") || close == std::string_view::npos)
        return false;
    return ParseHexNumber(text.substr(0, close - 4), 8, value.type) && ParseHexList(text.substr(close - 2), value.data);
}

bool ParseValueLine(std::string_view line, std::string& name, RegValue& value)
{
    if (ConsumePrefix(line, "@"))
        name.clear();
    else if (line.empty() || line.front() != '"' || !ParseQuoted(line, name))
        return false;
    line = Trim(line);
    if (!ConsumePrefix(line, "="))
        return false;
    return IsStorableValueName(name) && ParseData(Trim(line), value);
}

bool IsHeaderOf(std::string_view line, const std::string& headerPath)
{
    return line.size() == headerPath.size() + 2 && line.back() == ']' &&
           strncasecmp(line.data() + 1, headerPath.data(), headerPath.size()) == 0;
}

// Every writer ends the file with an empty line. Without it the file was cut
// short, even where the cut fell at the end of a line: the values that are
// gone would silently take their defaults (a named login turning anonymous).
bool EndsWithEmptyLine(std::string_view text)
{
    auto dropBlanks = [&text] {
        while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
            text.remove_suffix(1);
    };
    for (int line = 0; line < 2; ++line) {
        dropBlanks();
        if (text.empty() || text.back() != '\n')
            return false;
        text.remove_suffix(1);
    }
    return true;
}

}  // namespace

bool ParseRegFile(const std::string& text, const std::string& headerPath, RegValueMap& values)
{
    std::string_view body = text;
    ConsumePrefix(body, kByteOrderMark);
    bool sawSignature = false, sawHeader = false;
    RegValueMap parsed;
    for (const std::string& line : LogicalLines(body)) {
        if (line.empty() || line.front() == ';')
            continue;
        if (!sawSignature) {
            if (line != kSignature)
                return false;
            sawSignature = true;
        } else if (line.front() == '[') {
            if (sawHeader || !IsHeaderOf(line, headerPath))
                return false;
            sawHeader = true;
        } else {
            std::string name;
            RegValue value;
            if (!sawHeader || !ParseValueLine(line, name, value))
                return false;
            parsed[name] = std::move(value);  // a repeated name: the last one counts, as in an import
        }
    }
    if (!sawHeader || !EndsWithEmptyLine(body))
        return false;
    values = std::move(parsed);
    return true;
}

}  // namespace platform
