#include "server/listen_socket.h"

#include <cerrno>

#include "platform/handles.h"
#include "platform/listening_socket.h"
#include "platform/main_thread.h"
#include "server/connect_thread.h"
#include "server/ftp_server.h"

CVeskListenSocket::CVeskListenSocket() = default;

CVeskListenSocket::~CVeskListenSocket()
{
    Close();
}

bool CVeskListenSocket::Create(const std::string& address, int port, int backlog)
{
    Close();
    m_nLastError = 0;
    const int fd = platform::OpenListeningSocket(address, port, backlog, m_nLastError);
    if (fd < 0)
        return false;
    m_hSocket = fd;
    m_pAcceptWatch = std::make_unique<platform::ReadWatch>(fd, [this] { OnAccept(); });
    return true;
}

void CVeskListenSocket::Close()
{
    m_pAcceptWatch.reset();
    platform::CloseHandle(m_hSocket);
    m_hSocket = -1;
}

ListenFailure CVeskListenSocket::Failure(int port) const
{
    switch (m_nLastError) {
    case 0:
        return ListenFailure::None;
    case EACCES:
        return port < 1024 ? ListenFailure::PortNeedsPrivilege : ListenFailure::Other;
    case EADDRINUSE:
        return ListenFailure::PortInUse;
    case EADDRNOTAVAIL:
        return ListenFailure::AddressNotLocal;
    default:
        return ListenFailure::Other;
    }
}

int CVeskListenSocket::LocalPort() const
{
    return platform::LocalPortOf(m_hSocket);
}

void CVeskListenSocket::OnAccept()
{
    for (int i = 0; i < kAcceptsPerNotification && m_hSocket >= 0; ++i) {
        int handle = -1;
        const auto result = platform::AcceptConnection(m_hSocket, handle);
        if (result == platform::AcceptResult::OutOfHandles) {
            // The waiting connection stays queued; look again a little later
            // instead of spinning on a notification that keeps coming.
            m_pAcceptWatch->PauseFor(100);
        }
        if (result != platform::AcceptResult::Accepted)
            return;
        StartConnection(handle);
    }
}

void CVeskListenSocket::StartConnection(int handle)
{
    // The thread owns the handle from here on, also when it cannot start.
    auto thread = std::make_shared<CVeskConnectThread>(m_pServer, handle);
    m_pServer->AddThread(thread);
    if (!thread->Begin())
        m_pServer->RemoveThread(thread.get());
}
