// The server's listening socket. It lives on the main thread and hands every
// accepted connection to a worker thread of its own.
#pragma once

#include <memory>
#include <string>

namespace platform {
class ReadWatch;
}

// Why the listening socket could not be opened, in the terms a user can act on.
enum class ListenFailure {
    None,
    PortNeedsPrivilege,  // below 1024 without CAP_NET_BIND_SERVICE
    PortInUse,           // another program listens on it
    AddressNotLocal,     // not an address of this computer (or no address)
    Other,               // see the errno value
};
class CVeskFTPServer;

class CVeskListenSocket {
public:
    // Room for a burst of connections made at the same instant: every one of
    // them waits in the kernel until it is accepted and then greeted or
    // refused, instead of hanging unanswered (the kernel caps it at
    // net.core.somaxconn).
    static constexpr int kBacklog = 4096;
    // Connections taken per readiness notification, so that a burst does not
    // hold the main thread away from its other events for long.
    static constexpr int kAcceptsPerNotification = 64;

    CVeskListenSocket();
    ~CVeskListenSocket();

    // Binds exactly `address` (dotted IPv4) and `port`, then listens. False
    // with LastError() (an errno value) on failure; nothing stays open then.
    bool Create(const std::string& address, int port, int backlog);
    void Close();
    bool IsOpen() const { return m_hSocket >= 0; }
    int LocalPort() const;
    int LastError() const { return m_nLastError; }
    // LastError() of a failed Create with the port it was for, classified.
    ListenFailure Failure(int port) const;

    CVeskFTPServer* m_pServer = nullptr;

private:
    void OnAccept();
    void StartConnection(int handle);

    int m_hSocket = -1;
    int m_nLastError = 0;
    std::unique_ptr<platform::ReadWatch> m_pAcceptWatch;
};
