// The IPv4 listening socket's system calls: open (create, bind, listen), the
// port it got, and accepting one waiting connection. Handles are
// non-blocking and closed on exec.
#pragma once

#include <string>

namespace platform {

// Binds exactly `address` (dotted IPv4) and `port`, then listens with room
// for `backlog` waiting connections. The handle, or -1 with `error` set to
// an errno value (EADDRNOTAVAIL for an address or port that cannot be one);
// nothing stays open on failure.
int OpenListeningSocket(const std::string& address, int port, int backlog, int& error);

// The local port of a bound socket, -1 when it has none.
int LocalPortOf(int handle);

enum class AcceptResult { Accepted, NoneWaiting, OutOfHandles };

// Takes one waiting connection into `connection`. OutOfHandles leaves it
// waiting in the kernel: the process or system has no handle free for it.
AcceptResult AcceptConnection(int listening, int& connection);

}  // namespace platform
