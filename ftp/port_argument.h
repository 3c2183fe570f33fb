// The argument of PORT: h1,h2,h3,h4,p1,p2.
#pragma once

#include <string>

// Every field a decimal number from 0 to 255, exactly six of them, nothing
// else around or between them. On success `host` is the dotted address and
// `port` p1 * 256 + p2; on failure both are left as they were.
bool ParsePortArgument(const std::string& argument, std::string& host, int& port);
