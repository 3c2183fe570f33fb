#include "ftp/port_argument.h"

#include <charconv>
#include <vector>

bool ParsePortArgument(const std::string& argument, std::string& host, int& port)
{
    std::vector<int> fields;
    size_t start = 0;
    for (;;) {
        const size_t comma = argument.find(',', start);
        const std::string field = argument.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        int value = -1;
        const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
        // from_chars would take "-0" for 0: a field is digits and nothing else.
        if (field.empty() || field.front() < '0' || field.front() > '9' || error != std::errc() || end != field.data() + field.size() || value < 0 ||
            value > 255)
            return false;
        fields.push_back(value);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (fields.size() != 6)
        return false;
    host = std::to_string(fields[0]) + "." + std::to_string(fields[1]) + "." +
           std::to_string(fields[2]) + "." + std::to_string(fields[3]);
    port = fields[4] * 256 + fields[5];
    return true;
}
