#include "ftp/data_socket.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "ftp/control_socket.h"
#include "server/connect_thread.h"

CVeskDataSocket::CVeskDataSocket(CVeskControlSocket* owner)
    : m_pControlSocket(owner), m_nSerial(++owner->m_nDataSocketSerial)
{
}

void CVeskDataSocket::DiscardLater()
{
    if (m_pControlSocket->m_pThread)
        m_pControlSocket->m_pThread->PostThreadMessage(WM_DESTROYDATACONNECTION, m_nSerial);
}

CVeskDataSocket::~CVeskDataSocket()
{
    m_bConnected = 0;
    if (m_nPauseTimer && platform::MessageQueue::Current())
        platform::MessageQueue::Current()->KillTimer(m_nPauseTimer);
    CloseFile();
    Close();
}

void CVeskDataSocket::CloseFile()
{
    if (m_File >= 0)
        ::close(m_File);
    m_File = -1;
}

bool CVeskDataSocket::OpenStoreFile(const std::string& localPath)
{
    CloseFile();
    // The upload replaces the whole file: an older, longer file must not keep
    // its tail. O_NONBLOCK keeps a FIFO planted under the name from hanging
    // the session; only a regular file is accepted.
    const int fd = ::open(localPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    m_File = fd;
    m_strStorePath = localPath;
    m_nBytesSent = 0;
    return true;
}

void CVeskDataSocket::BeginUpload()
{
    m_nextReceive = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(m_bPlainScan ? kPlainScanPauseMs : 0);
    Rearm();
}

// Ends the transfer on this side; the session discards this object when its
// thread next serves its queue.
void CVeskDataSocket::EndTransfer(const std::string& reply, bool transferOver)
{
    CloseFile();
    Close();
    if (transferOver)
        m_pControlSocket->m_nStatus = STATUS_IDLE;
    m_pControlSocket->SendResponse(reply);
    DiscardLater();
}

bool CVeskDataSocket::PlainScanPauseDue()
{
    const auto now = std::chrono::steady_clock::now();
    if (now >= m_nextReceive)
        return false;
    if (!m_nPauseTimer) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(m_nextReceive - now).count();
        m_nPauseTimer = platform::MessageQueue::Current()->SetTimer(
            static_cast<unsigned>(wait), [this](unsigned) { ResumeAfterPause(); });
    }
    return true;
}

void CVeskDataSocket::ResumeAfterPause()
{
    platform::MessageQueue::Current()->KillTimer(m_nPauseTimer);
    m_nPauseTimer = 0;
    if (m_bPeerClosed)
        Drain();
    else
        ReceiveFileChunk();
}

int CVeskDataSocket::ReceiveFileChunk()
{
    if (m_pControlSocket->m_nStatus != STATUS_STOR || m_File < 0)
        return 0;
    // Plain-scan mode paces the upload with a timer rather than a sleep, so
    // the control connection is still answered meanwhile.
    if (m_bPlainScan && PlainScanPauseDue())
        return -1;
    char buffer[kChunk];
    const ssize_t n = Receive(buffer, sizeof buffer);
    if (m_bPlainScan)
        m_nextReceive = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPlainScanPauseMs);
    if (n < 0) {
        if (LastError() == platform::WSAEWOULDBLOCK)
            return -1;
        if (m_pControlSocket->m_pThread) m_pControlSocket->m_pThread->UploadFailed(m_strStorePath);
        EndTransfer("426 Connection closed(transfer aborted", false);
        return -1;
    }
    if (n == 0) {
        if (m_pControlSocket->m_pThread) m_pControlSocket->m_pThread->FileStored(m_strStorePath, static_cast<uint64_t>(::lseek(m_File, 0, SEEK_CUR)));
        EndTransfer("226 Transfer complete", true);
        return 0;
    }
    // Bytes on the data connection are activity too: a long upload is not
    // cut off by the idle time-out.
    if (m_pControlSocket->m_pThread)
        m_pControlSocket->m_pThread->Touch();
    for (ssize_t written = 0; written < n;) {
        const ssize_t w = ::write(m_File, buffer + written, static_cast<size_t>(n - written));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            if (m_pControlSocket->m_pThread) m_pControlSocket->m_pThread->UploadFailed(m_strStorePath);
            EndTransfer("450 Can't access file.", false);
            return 0;
        }
        written += w;
    }
    return static_cast<int>(n);
}

// The client has closed: read what is still queued until the end of data.
void CVeskDataSocket::Drain()
{
    for (;;) {
        const int result = ReceiveFileChunk();
        if (result == 0 || (result < 0 && (m_nPauseTimer || !IsOpen() ||
                                           LastError() == platform::WSAEWOULDBLOCK)))
            return;
    }
}

void CVeskDataSocket::OnReceive(int)
{
    ReceiveFileChunk();
}

void CVeskDataSocket::OnAccept(int)
{
    std::string peer;
    const int handle = Accept(&peer);
    if (handle < 0)
        return;
    // Only the client itself may use the port it was offered; anybody else is
    // turned away and the port keeps waiting for the client.
    if (peer != m_pControlSocket->PeerAddress()) {
        ::close(handle);
        return;
    }
    Attach(handle);  // closes the listener: it serves exactly one connection
    m_bConnected = 1;
}

void CVeskDataSocket::OnConnect(int error)
{
    m_bConnected = 1;
    if (error != 0) {
        m_bConnectFailed = true;
        m_pControlSocket->m_nStatus = STATUS_IDLE;
        m_pControlSocket->SendResponse("425 Can't open data connection.");
        DiscardLater();
    }
}

void CVeskDataSocket::OnSend(int)
{
    if (m_pControlSocket->m_nStatus != STATUS_LIST)
        return;
    while (m_nBytesSent < m_nTotalBytes) {
        const size_t left = static_cast<size_t>(m_nTotalBytes - m_nBytesSent);
        const ssize_t n = Send(m_strSendBuffer.data() + m_nBytesSent, std::min(left, kChunk));
        if (n < 0) {
            if (LastError() == platform::WSAEWOULDBLOCK)
                return;  // the next write notification goes on from here
            m_nTotalBytes = m_nBytesSent = 0;
            EndTransfer("426 Connection closed [transfer aborted]", true);
            return;
        }
        m_nBytesSent += static_cast<uint64_t>(n);
        if (m_pControlSocket->m_pThread)
            m_pControlSocket->m_pThread->Touch();
    }
    m_nTotalBytes = m_nBytesSent = 0;
    m_strSendBuffer.clear();
    EndTransfer("226 Transfer Completed", true);
}

void CVeskDataSocket::OnClose(int)
{
    ShutdownSend();
    m_bPeerClosed = true;
    if (m_pControlSocket->m_nStatus == STATUS_STOR && m_File >= 0) {
        Drain();
        return;
    }
    m_bConnected = 0;
    EndTransfer("426 Connection closed(transfer aborted.", true);
}
