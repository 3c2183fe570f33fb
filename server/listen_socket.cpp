#include "server/listen_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>

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
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    if (port < 0 || port > 65535 || ::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) {
        m_nLastError = EADDRNOTAVAIL;
        return false;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        m_nLastError = errno;
        return false;
    }
    // Lets a restart take the port back while old connections linger in
    // TIME_WAIT; a port that another program listens on is still refused.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::listen(fd, backlog) != 0) {
        m_nLastError = errno;
        ::close(fd);
        return false;
    }
    m_hSocket = fd;
    m_pNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(m_pNotifier.get(), &QSocketNotifier::activated, [this] { OnAccept(); });
    return true;
}

void CVeskListenSocket::Close()
{
    m_pNotifier.reset();
    if (m_hSocket >= 0)
        ::close(m_hSocket);
    m_hSocket = -1;
}

int CVeskListenSocket::LocalPort() const
{
    sockaddr_in sin{};
    socklen_t length = sizeof sin;
    if (m_hSocket < 0 || ::getsockname(m_hSocket, reinterpret_cast<sockaddr*>(&sin), &length) != 0)
        return -1;
    return ntohs(sin.sin_port);
}

void CVeskListenSocket::OnAccept()
{
    for (int i = 0; i < kAcceptsPerNotification && m_hSocket >= 0; ++i) {
        const int handle = ::accept4(m_hSocket, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (handle < 0) {
            if (errno == EMFILE || errno == ENFILE) {
                // The waiting connection stays queued; look again a little later
                // instead of spinning on a notifier that keeps firing.
                m_pNotifier->setEnabled(false);
                QTimer::singleShot(100, m_pNotifier.get(), [n = m_pNotifier.get()] { n->setEnabled(true); });
            }
            return;
        }
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
