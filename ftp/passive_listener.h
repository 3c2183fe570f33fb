// The listening end of a passive data connection.
#pragma once

#include <string>

#include "platform/async_socket.h"
#include "ftp/server_settings.h"

// Makes `socket` listen on `address` at a free port of `range`, or at one the
// system picks when the range is unset. Ports are tried from a random start
// so that consecutive transfers do not all fight over the first one. False
// when no port of the range is free (or the socket cannot be made).
bool ListenOnPassivePort(platform::AsyncSocket& socket, const std::string& address, const PortRange& range);
