#include "platform/async_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/tls.h"

namespace platform {
namespace {

bool SetNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags >= 0 && (flags & O_NONBLOCK))
        return true;  // accepted that way already
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Every write on an attached connection is a whole reply or a large chunk,
// so holding it back to coalesce gains nothing. With Nagle's algorithm on, a
// small reply written right after another ("226" after "150") waits for the
// peer's delayed acknowledgement of the first: some 40 ms per transfer.
void DisableNagle(int fd)
{
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

std::string AddressText(const sockaddr_in& sin)
{
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &sin.sin_addr, text, sizeof text);
    return text;
}

}  // namespace

AsyncSocket::AsyncSocket() = default;

AsyncSocket::~AsyncSocket()
{
    Close();
}

void AsyncSocket::Register()
{
    m_pQueue = MessageQueue::Current();
    if (m_pQueue)
        m_pQueue->AddWatcher(this);
}

void AsyncSocket::Unregister()
{
    if (m_pQueue)
        m_pQueue->RemoveWatcher(this);
    m_pQueue = nullptr;
}

bool AsyncSocket::Create(const std::string& address, int port)
{
    Close();
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(static_cast<uint16_t>(port));
    if (port < 0 || port > 65535 ||
        (!address.empty() && ::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1)) {
        m_nLastError = EINVAL;
        return false;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        m_nLastError = errno;
        return false;
    }
    // A fixed port is used again and again: connections of earlier transfers
    // still in TIME_WAIT must not keep it from listening.
    const int reuse = 1;
    if (port != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        m_nLastError = errno;
        ::close(fd);
        return false;
    }
    m_hSocket = fd;
    m_state = State::Created;
    Register();
    return true;
}

bool AsyncSocket::Listen(int backlog)
{
    if (::listen(m_hSocket, backlog) != 0) {
        m_nLastError = errno;
        return false;
    }
    m_state = State::Listening;
    m_bAcceptArmed = true;
    return true;
}

int AsyncSocket::Accept(std::string* peerAddress)
{
    m_bAcceptArmed = true;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(m_hSocket, reinterpret_cast<sockaddr*>(&peer), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        m_nLastError = errno;
        return -1;
    }
    if (peerAddress)
        *peerAddress = AddressText(peer);
    return fd;
}

bool AsyncSocket::OutOfHandles() const
{
    return m_nLastError == EMFILE || m_nLastError == ENFILE;
}

bool AsyncSocket::Connect(const std::string& host, int port)
{
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<uint16_t>(port));
    if (port < 0 || port > 65535 || ::inet_pton(AF_INET, host.c_str(), &target.sin_addr) != 1) {
        m_nLastError = EINVAL;
        return false;
    }
    if (::connect(m_hSocket, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0) {
        m_state = State::Connecting;  // reported through OnConnect like a deferred one
        return true;
    }
    if (errno != EINPROGRESS) {
        m_nLastError = errno;
        return false;
    }
    m_state = State::Connecting;
    return true;
}

bool AsyncSocket::Attach(int handle)
{
    Close();
    if (handle < 0 || !SetNonBlocking(handle)) {
        m_nLastError = errno;
        return false;
    }
    DisableNagle(handle);
    m_hSocket = handle;
    m_state = State::Connected;
    m_bReadArmed = true;
    m_bCloseDelivered = false;
    Register();
    return true;
}

int AsyncSocket::Detach()
{
    Unregister();
    m_pTls.reset();
    m_tls = Tls::Off;
    m_bTlsBroken = false;
    const int handle = m_hSocket;
    m_hSocket = -1;
    m_state = State::Closed;
    return handle;
}

ssize_t AsyncSocket::Receive(void* buffer, size_t size)
{
    if (!m_bCloseDelivered)
        m_bReadArmed = true;
    if (m_tls != Tls::Off)
        return TlsReceive(buffer, size);
    const ssize_t n = ::recv(m_hSocket, buffer, size, 0);
    if (n < 0)
        m_nLastError = (errno == EAGAIN) ? WSAEWOULDBLOCK : errno;
    return n;
}

ssize_t AsyncSocket::Send(const void* data, size_t size)
{
    if (m_tls != Tls::Off)
        return TlsSend(data, size);
    const ssize_t n = ::send(m_hSocket, data, size, MSG_NOSIGNAL);
    if (n < 0) {
        m_nLastError = (errno == EAGAIN) ? WSAEWOULDBLOCK : errno;
        if (errno == EAGAIN)
            m_bWriteArmed = true;
    }
    return n;
}

bool AsyncSocket::SendAll(const void* data, size_t size, int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        if (m_hSocket < 0) {
            m_nLastError = EBADF;
            return false;
        }
        short waitFor = POLLOUT;
        if (m_tls != Tls::Off) {
            if (m_tls != Tls::Established) {
                m_nLastError = ENOTCONN;  // nothing may go out in clear, nor before the handshake
                return false;
            }
            const bool writeArmed = m_bWriteArmed;
            const ssize_t n = TlsSend(next, size);
            m_bWriteArmed = writeArmed;  // the wait is right here, not in the loop
            if (n < 0 && m_nLastError != WSAEWOULDBLOCK)
                return false;
            if (n > 0) {
                next += n;
                size -= static_cast<size_t>(n);
                continue;
            }
            waitFor = m_bSendWantsRead ? POLLIN : POLLOUT;
            m_bSendWantsRead = false;
        } else {
            const ssize_t n = ::send(m_hSocket, next, size, MSG_NOSIGNAL);
            if (n > 0) {
                next += n;
                size -= static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN) {
                m_nLastError = errno;
                return false;
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{m_hSocket, waitFor, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            m_nLastError = ETIMEDOUT;
            return false;
        }
    }
    return true;
}

void AsyncSocket::ShutdownSend()
{
    if (m_pTls && m_tls == Tls::Established)
        m_pTls->Shutdown();  // our close_notify goes before the TCP end
    if (m_hSocket >= 0)
        ::shutdown(m_hSocket, SHUT_WR);
}

bool PeerHasClosed(int handle)
{
    if (handle < 0)
        return false;
    pollfd probe{handle, POLLRDHUP, 0};
    return ::poll(&probe, 1, 0) > 0 && (probe.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

bool AsyncSocket::PeerHasClosed() const
{
    return m_bCloseDelivered || (m_pTls && m_pTls->PeerClosed()) || platform::PeerHasClosed(m_hSocket);
}

void AsyncSocket::Close()
{
    Unregister();
    if (m_pTls && m_tls == Tls::Established)
        m_pTls->Shutdown();
    m_pTls.reset();
    m_tls = Tls::Off;
    m_bTlsBroken = false;
    m_bReceiveWantsWrite = m_bSendWantsRead = false;
    if (m_hSocket >= 0)
        ::close(m_hSocket);
    m_hSocket = -1;
    m_state = State::Closed;
    m_bReadArmed = m_bWriteArmed = m_bAcceptArmed = false;
}

void AsyncSocket::Rearm()
{
    if (m_state == State::Listening)
        m_bAcceptArmed = true;
    if (m_state == State::Connected && !m_bCloseDelivered && m_tls != Tls::Failed)
        m_bReadArmed = true;
}

namespace {

// getsockname or getpeername, as address text and port.
bool EndpointOf(int handle, int (*query)(int, sockaddr*, socklen_t*), std::string& address, int& port)
{
    sockaddr_in sin{};
    socklen_t length = sizeof sin;
    if (query(handle, reinterpret_cast<sockaddr*>(&sin), &length) != 0)
        return false;
    address = AddressText(sin);
    port = ntohs(sin.sin_port);
    return true;
}

}  // namespace

bool AsyncSocket::GetSockName(std::string& address, int& port) const
{
    return EndpointOf(m_hSocket, ::getsockname, address, port);
}

bool AsyncSocket::GetPeerName(std::string& address, int& port) const
{
    return EndpointOf(m_hSocket, ::getpeername, address, port);
}

short AsyncSocket::WantedEvents() const
{
    switch (m_state) {
    case State::Listening:
        return m_bAcceptArmed ? POLLIN : 0;
    case State::Connecting:
        return POLLOUT;
    case State::Connected: {
        short events = 0;
        if (m_bReadArmed)
            events |= POLLIN | POLLRDHUP;
        if (m_bWriteArmed || m_bReceiveWantsWrite)
            events |= POLLOUT;
        if (m_bSendWantsRead)
            events |= POLLIN | POLLRDHUP;
        return events;
    }
    default:
        return 0;
    }
}

int AsyncSocket::PendingError() const
{
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(m_hSocket, SOL_SOCKET, SO_ERROR, &error, &length);
    return error;
}

int AsyncSocket::BytesWaiting() const
{
    // Counted, they would turn the hang-up into one failing read after another.
    if (m_bTlsBroken)
        return 0;
    int waiting = 0;
    if (::ioctl(m_hSocket, FIONREAD, &waiting) != 0)
        waiting = 0;
    return waiting + (m_pTls ? static_cast<int>(m_pTls->Pending()) : 0);
}

void AsyncSocket::OnReady(short revents)
{
    switch (m_state) {
    case State::Listening:
        m_bAcceptArmed = false;
        OnAccept(0);
        return;
    case State::Connecting: {
        const int error = PendingError();
        if (error == 0) {
            m_state = State::Connected;
            m_bReadArmed = true;
        } else {
            m_state = State::Created;
        }
        OnConnect(error);
        return;
    }
    case State::Connected:
        break;
    default:
        return;
    }
    if (m_tls == Tls::Handshaking) {
        ContinueHandshake();
        return;
    }
    if (m_tls == Tls::Failed)
        return;
    if (m_bReceiveWantsWrite && (revents & POLLOUT)) {
        m_bReceiveWantsWrite = false;
        revents |= POLLIN;  // the read that waited for room goes on
    }
    if (m_bSendWantsRead && (revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR))) {
        m_bSendWantsRead = false;
        m_bWriteArmed = true;
        revents |= POLLOUT;  // the write that waited for bytes goes on
    }

    // Handlers may close this socket; check the state between the two steps.
    if ((revents & POLLOUT) && m_bWriteArmed) {
        m_bWriteArmed = false;
        OnSend(0);
    }
    if (m_state != State::Connected || !m_bReadArmed)
        return;
    if (revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) {
        m_bReadArmed = false;
        // POLLIN alone means bytes: only with a hang-up beside it does the
        // count tell the last bytes from the end.
        const bool hangUp = (revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
        if (!hangUp || (BytesWaiting() > 0 && !(revents & POLLERR))) {
            OnReceive(0);
        } else if (revents & (POLLRDHUP | POLLHUP | POLLERR | POLLIN)) {
            m_bCloseDelivered = true;
            OnClose(revents & POLLERR ? PendingError() : 0);
        }
    }
}

bool AsyncSocket::StartTls(const TlsServerContext& context, bool issueTickets)
{
    if (m_state != State::Connected || m_tls != Tls::Off)
        return false;
    auto stream = std::make_unique<TlsStream>(context, m_hSocket, issueTickets);
    if (!stream->IsValid()) {
        m_nLastError = ENOMEM;
        return false;
    }
    m_pTls = std::move(stream);
    m_tls = Tls::Handshaking;
    m_bReadArmed = true;  // the client speaks first
    m_bWriteArmed = false;
    return true;
}

void AsyncSocket::ContinueHandshake()
{
    const TlsStatus status = m_pTls->Handshake();
    m_bReadArmed = status == TlsStatus::WantRead;
    m_bWriteArmed = status == TlsStatus::WantWrite;
    if (m_bReadArmed || m_bWriteArmed)
        return;
    if (status == TlsStatus::Done) {
        m_tls = Tls::Established;
        m_bReadArmed = true;
        OnTlsHandshake(true);
        return;
    }
    m_tls = Tls::Failed;
    OnTlsHandshake(false);
}

ssize_t AsyncSocket::TlsOutcome(TlsStatus status, size_t done, bool reading)
{
    switch (status) {
    case TlsStatus::Done:
        return static_cast<ssize_t>(done);
    case TlsStatus::WantRead:
        if (!reading)
            m_bSendWantsRead = true;
        m_nLastError = WSAEWOULDBLOCK;
        return -1;
    case TlsStatus::WantWrite:
        (reading ? m_bReceiveWantsWrite : m_bWriteArmed) = true;
        m_nLastError = WSAEWOULDBLOCK;
        return -1;
    case TlsStatus::Closed:
        // The peer's close_notify (or its plain TCP end) is answered with
        // ours; the owner has its end in this 0, as with recv.
        m_pTls->Shutdown();
        m_bCloseDelivered = true;
        m_bReadArmed = false;
        return 0;
    case TlsStatus::Failed:
        break;
    }
    // Nothing can go over this connection any more: the TCP end follows, so
    // that the owner hears of the close as after a reset.
    m_bTlsBroken = true;
    ::shutdown(m_hSocket, SHUT_RDWR);
    m_nLastError = ECONNRESET;
    return -1;
}

ssize_t AsyncSocket::TlsReceive(void* buffer, size_t size)
{
    if (m_tls != Tls::Established) {
        m_nLastError = m_tls == Tls::Handshaking ? WSAEWOULDBLOCK : ECONNRESET;
        return -1;
    }
    size_t done = 0;
    const TlsStatus status = m_pTls->Read(buffer, size, done);
    return TlsOutcome(status, done, true);
}

ssize_t AsyncSocket::TlsSend(const void* data, size_t size)
{
    if (m_tls != Tls::Established) {
        m_nLastError = m_tls == Tls::Handshaking ? WSAEWOULDBLOCK : ECONNRESET;
        return -1;
    }
    size_t done = 0;
    const TlsStatus status = m_pTls->Write(data, size, done);
    return TlsOutcome(status, done, false);
}

bool AsyncSocket::HasBufferedInput() const
{
    // A close_notify read behind the last bytes, or a broken record met
    // behind them, is still to be told.
    return m_tls == Tls::Established && m_bReadArmed &&
           (m_pTls->Pending() > 0 || m_pTls->PeerClosed() || (m_pTls->HasFailed() && !m_bTlsBroken));
}

}  // namespace platform
