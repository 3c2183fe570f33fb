// A non-blocking TCP socket that reports readiness through the owning
// thread's MessageQueue, in place of CAsyncSocket. Notifications follow the
// Winsock rules the session code was written against:
//  - OnAccept while a connection waits; re-armed by Accept.
//  - OnConnect once when a connect finishes, with its error code.
//  - OnReceive while bytes are waiting; re-armed by Receive, so a handler
//    that reads nothing is not called again until Rearm().
//  - OnClose once, when the peer has closed and every byte has been read.
//  - OnSend after a Send that would have blocked, once the socket is writable.
// After StartTls the connection carries TLS: the handshake runs on the
// socket's readiness and ends with OnTlsHandshake; from then on Receive and
// Send carry decrypted bytes, and Close sends close_notify first.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <sys/types.h>

#include "platform/message_queue.h"

namespace platform {

class TlsServerContext;
class TlsStream;
enum class TlsStatus;

constexpr int WSAEWOULDBLOCK = 10035;

// True once the peer of a connected socket has closed its side or reset the
// connection, even while bytes it sent before are still waiting to be read.
// Safe from any thread that keeps the handle open.
bool PeerHasClosed(int handle);

class AsyncSocket : public SocketWatcher {
public:
    AsyncSocket();
    ~AsyncSocket() override;
    AsyncSocket(const AsyncSocket&) = delete;
    AsyncSocket& operator=(const AsyncSocket&) = delete;

    // A stream socket bound to `address` (any when empty) and `port` (the
    // system chooses when 0), watched by the calling thread's queue. False
    // with LastError() on failure (EADDRINUSE when the port is taken).
    bool Create(const std::string& address = {}, int port = 0);
    bool Listen(int backlog);
    // Accepts one waiting connection; returns its handle or -1 (LastError()).
    int Accept(std::string* peerAddress = nullptr);
    // The last Accept failed for want of a descriptor (EMFILE, ENFILE).
    bool OutOfHandles() const;
    // No OnAccept until Rearm(), though a connection still waits.
    void PauseAccepting() { m_bAcceptArmed = false; }
    // Starts a non-blocking connect; true when it is under way or done.
    bool Connect(const std::string& host, int port);
    // Takes over an open handle (made non-blocking) as a connected socket.
    bool Attach(int handle);
    int Detach();

    // >0 bytes, 0 when the peer has closed, -1 with LastError() (EWOULDBLOCK
    // when nothing is waiting).
    ssize_t Receive(void* buffer, size_t size);
    ssize_t Send(const void* data, size_t size);
    // Sends every byte, waiting for room up to timeoutMs in all; false on
    // error or time-out. The control connection replies this way.
    bool SendAll(const void* data, size_t size, int timeoutMs);
    void ShutdownSend();
    void Close();
    // PeerHasClosed for this socket (true once its close was delivered).
    bool PeerHasClosed() const;
    // Arms every notification again (the AsyncSelect of the design).
    void Rearm();

    bool IsOpen() const { return m_hSocket >= 0; }
    bool IsListening() const { return m_state == State::Listening; }
    // Bytes received and not read yet.
    int BytesWaiting() const;
    int Handle() const { return m_hSocket; }
    int LastError() const { return m_nLastError; }
    bool GetSockName(std::string& address, int& port) const;
    bool GetPeerName(std::string& address, int& port) const;

    // Starts the server side of a TLS handshake on this connected socket.
    // False (nothing started) when the stream cannot be set up. A data
    // connection issues no session tickets (see TlsStream).
    bool StartTls(const TlsServerContext& context, bool issueTickets = true);
    bool IsTlsHandshaking() const { return m_tls == Tls::Handshaking; }
    bool IsTlsFailed() const { return m_tls == Tls::Failed; }
    bool IsTlsEstablished() const { return m_tls == Tls::Established; }

    // SocketWatcher
    int WatchedHandle() const override { return m_hSocket; }
    short WantedEvents() const override;
    void OnReady(short revents) override;
    bool HasBufferedInput() const override;

protected:
    virtual void OnAccept(int) {}
    virtual void OnConnect(int) {}
    virtual void OnReceive(int) {}
    virtual void OnSend(int) {}
    virtual void OnClose(int) {}
    // The TLS handshake has ended; after a failure nothing more is notified.
    virtual void OnTlsHandshake(bool) {}

private:
    enum class State { Closed, Created, Listening, Connecting, Connected };
    void Register();
    void Unregister();
    int PendingError() const;
    enum class Tls { Off, Handshaking, Established, Failed };
    void ContinueHandshake();
    // Maps a stream status onto the socket's readiness; -1 with LastError().
    ssize_t TlsOutcome(TlsStatus status, size_t done, bool reading);
    ssize_t TlsReceive(void* buffer, size_t size);
    ssize_t TlsSend(const void* data, size_t size);

    int m_hSocket = -1;
    int m_nLastError = 0;
    State m_state = State::Closed;
    bool m_bReadArmed = false;
    bool m_bWriteArmed = false;
    bool m_bAcceptArmed = false;
    bool m_bCloseDelivered = false;
    MessageQueue* m_pQueue = nullptr;
    std::unique_ptr<TlsStream> m_pTls;
    Tls m_tls = Tls::Off;
    // TLS may need the other direction to go on: a read that waits for
    // room to write, a write that waits for bytes to read.
    bool m_bReceiveWantsWrite = false;
    bool m_bSendWantsRead = false;
    // The stream failed after its handshake: the bytes still in the socket
    // are nobody's, and the owner is to hear of the end as after a reset.
    bool m_bTlsBroken = false;
};

}  // namespace platform
