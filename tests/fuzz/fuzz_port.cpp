// PORT arguments: whatever is accepted is six decimal fields of digits and
// commas only, and the host and port it yields say the same thing again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ftp/port_argument.h"

namespace {

void Require(bool condition)
{
    if (!condition)
        std::abort();
}

bool OnlyDigitsAndCommas(const std::string& text)
{
    for (const char c : text)
        if ((c < '0' || c > '9') && c != ',')
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string argument(reinterpret_cast<const char*>(data), size);
    std::string host = "untouched";
    int port = -7;
    if (!ParsePortArgument(argument, host, port)) {
        Require(host == "untouched" && port == -7);
        return 0;
    }
    Require(OnlyDigitsAndCommas(argument));
    Require(port >= 0 && port <= 65535);

    // The same address written back as an argument parses to the same.
    std::string again = host;
    for (char& c : again)
        if (c == '.')
            c = ',';
    again += "," + std::to_string(port / 256) + "," + std::to_string(port % 256);
    std::string host2;
    int port2 = -1;
    Require(ParsePortArgument(again, host2, port2));
    Require(host2 == host && port2 == port);
    return 0;
}
