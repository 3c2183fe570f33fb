#include "ftp/data_socket.h"

#include "ftp/control_socket.h"
#include "ftp/replies.h"
#include "platform/handles.h"
#include "platform/message_queue.h"

CVeskDataSocket::CVeskDataSocket(CVeskControlSocket* owner, bool plainScan)
    : m_pControlSocket(owner), m_nSerial(owner->NextDataSocketSerial()), m_bPlainScan(plainScan ? 1 : 0)
{
}

SessionHost* CVeskDataSocket::Host() const
{
    return m_pControlSocket->Host();
}

void CVeskDataSocket::DiscardLater()
{
    m_bSpent = true;
    if (Host())
        Host()->PostDiscard(m_nSerial);
}

CVeskDataSocket::~CVeskDataSocket()
{
    m_bConnected = 0;
    StopPauseTimer();
    // An upload that did not end with its 226 leaves nothing behind (the
    // session ended under it: a lost client, the idle time-out, a stop).
    m_File.Discard();
    ReportUpload(false);
    Close();
}

void CVeskDataSocket::ReportUpload(bool stored)
{
    if (!m_bUploadUnreported)
        return;
    m_bUploadUnreported = false;
    if (!Host())
        return;
    if (stored)
        Host()->FileStored(m_strStorePath, m_nBytesReceived);
    else
        Host()->UploadFailed(m_strStorePath);
}

void CVeskDataSocket::StopPauseTimer()
{
    if (m_nPauseTimer && platform::MessageQueue::Current())
        platform::MessageQueue::Current()->KillTimer(m_nPauseTimer);
    m_nPauseTimer = 0;
}

bool CVeskDataSocket::OpenStoreFile(const std::string& localPath, platform::UniqueFd folder)
{
    // The upload goes to a staging file and replaces the target only once it
    // is complete; a FIFO or a folder under the name is refused. A folder the
    // path was resolved in is used as it is; otherwise it is opened again.
    const size_t slash = localPath.find_last_of('/');
    const bool opened =
        folder.IsOpen() && slash != std::string::npos
            ? m_File.OpenIn(std::move(folder), slash == 0 ? "/" : localPath.substr(0, slash),
                            localPath.substr(slash + 1))
            : m_File.Open(m_pControlSocket->HomePath(), localPath);
    if (!opened)
        return false;
    m_strStorePath = localPath;
    m_bUploadUnreported = true;
    m_nBytesReceived = 0;
    m_nBytesSent = 0;
    return true;
}

void CVeskDataSocket::BeginUpload()
{
    if (EndedByFailedTls(false))
        return;
    m_bTransferring = true;
    m_bAnswered = false;
    NoteProgress();
    m_nextReceive = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(m_bPlainScan ? kPlainScanPauseMs : 0);
    Rearm();
}

void CVeskDataSocket::BeginListing(std::string listing)
{
    if (EndedByFailedTls(true))
        return;
    m_bTransferring = true;
    m_bAnswered = false;
    NoteProgress();
    m_strSendBuffer = std::move(listing);
    m_nTotalBytes = m_strSendBuffer.size();
    m_nBytesSent = 0;
    OnSend(0);
}

// Ends the transfer on this side; the session discards this object when its
// thread next serves its queue.
void CVeskDataSocket::EndTransfer(const std::string& reply, bool transferOver)
{
    // An upload that ends with anything but its 226 has failed.
    StopPauseTimer();
    m_File.Discard();  // nothing left to throw away after a commit
    ReportUpload(false);
    Close();
    m_bTransferring = false;
    m_bAnswered = true;
    m_pControlSocket->EndOfTransfer(reply, transferOver);
    DiscardLater();
}

void CVeskDataSocket::CompleteUpload()
{
    // With the control connection gone first, nobody can be told of this
    // upload: its client gave it up, so it does not replace anything.
    if (!m_pControlSocket->IsOpen()) {
        Abandon();
        DiscardLater();
        return;
    }
    if (!m_File.Commit()) {
        EndTransfer(reply::kCantWriteFile, false);
        return;
    }
    // The client waits for the 226 alone: the close of the connection it has
    // closed already, and the report to the host, come after it.
    StopPauseTimer();
    m_bTransferring = false;
    m_bAnswered = true;
    m_pControlSocket->EndOfTransfer(reply::kUploadComplete, true);
    Close();
    ReportUpload(true);
    DiscardLater();
}

void CVeskDataSocket::Abandon()
{
    StopPauseTimer();
    m_File.Discard();
    ReportUpload(false);
    Close();
    m_bConnected = 0;
    m_bTransferring = false;
    m_bAnswered = true;
}

bool CVeskDataSocket::FinishIfEnded()
{
    if (!m_bTransferring || !m_File.IsOpen() || !PeerHasClosed())
        return false;
    FinishUpload();
    return !m_bTransferring;
}

bool CVeskDataSocket::HasStalled() const
{
    if (!m_bTransferring || PeerHasClosed() || (m_File.IsOpen() && BytesWaiting() > 0))
        return false;
    return MillisecondsUntilStalled() <= 0;
}

int CVeskDataSocket::MillisecondsUntilStalled() const
{
    const auto quiet = std::chrono::steady_clock::now() - m_lastProgress;
    return kStallMs - static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(quiet).count());
}

void CVeskDataSocket::FinishUpload()
{
    if (!m_bTransferring || m_pControlSocket->Status() != STATUS_STOR)
        return;
    m_bHurry = true;
    StopPauseTimer();
    Drain();
}

bool CVeskDataSocket::PlainScanPauseDue()
{
    const auto now = std::chrono::steady_clock::now();
    if (m_bHurry || now >= m_nextReceive)
        return false;
    // Only the end of the data is left: taking it carries no bytes.
    if (PeerHasClosed() && BytesWaiting() == 0)
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
    StopPauseTimer();
    if (m_bPeerClosed)
        Drain();
    else
        ReceiveFileChunk();
}

int CVeskDataSocket::ReceiveFileChunk()
{
    if (m_pControlSocket->Status() != STATUS_STOR || !m_File.IsOpen())
        return 0;
    // Plain-scan mode paces the upload with a timer rather than a sleep, so
    // the control connection is still answered meanwhile.
    if (m_bPlainScan && PlainScanPauseDue())
        return -1;
    char* const buffer = m_pControlSocket->UploadBuffer(kUploadChunk);
    const ssize_t n = Receive(buffer, m_bPlainScan ? kChunk : kUploadChunk);
    if (m_bPlainScan)
        m_nextReceive = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPlainScanPauseMs);
    if (n < 0) {
        if (LastError() == platform::WSAEWOULDBLOCK)
            return -1;
        EndTransfer(reply::kUploadBroken, false);
        return -1;
    }
    if (n == 0) {
        CompleteUpload();
        return 0;
    }
    // Bytes on the data connection are activity too: a long upload is not
    // cut off by the idle time-out.
    if (Host())
        Host()->Touch();
    NoteProgress();
    m_nBytesReceived += static_cast<uint64_t>(n);
    if (!m_File.Write(buffer, static_cast<size_t>(n))) {
        EndTransfer(reply::kCantWriteFile, false);
        return 0;
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
    for (int reads = 0; reads < kReadsPerWakeup; ++reads) {
        if (ReceiveFileChunk() <= 0 || m_bPlainScan)
            return;
    }
}

void CVeskDataSocket::OnAccept(int)
{
    std::string peer;
    const int handle = Accept(&peer);
    if (handle < 0) {
        // Out of descriptors the client stays queued and the listener stays
        // ready: look again a little later rather than spin until the wait
        // for the data connection runs out.
        if (OutOfHandles() && !m_nPauseTimer && platform::MessageQueue::Current()) {
            PauseAccepting();
            m_nPauseTimer = platform::MessageQueue::Current()->SetTimer(kAcceptPauseMs, [this](unsigned) {
                StopPauseTimer();
                Rearm();
            });
        }
        return;
    }
    // Only the client itself may use the port it was offered; anybody else is
    // turned away and the port keeps waiting for the client.
    if (peer != m_pControlSocket->PeerAddress()) {
        platform::CloseHandle(handle);
        return;
    }
    Attach(handle);  // closes the listener: it serves exactly one connection
    m_bConnected = 1;
    SecureIfProtected();
}

void CVeskDataSocket::OnConnect(int error)
{
    m_bConnected = 1;
    if (error != 0) {
        m_bConnectFailed = true;
        m_pControlSocket->EndOfTransfer(reply::kActiveConnectRefused, true);
        DiscardLater();
        return;
    }
    SecureIfProtected();
}

void CVeskDataSocket::OnSend(int)
{
    if (m_pControlSocket->Status() != STATUS_LIST)
        return;
    while (m_nBytesSent < m_nTotalBytes) {
        const size_t left = static_cast<size_t>(m_nTotalBytes - m_nBytesSent);
        // The socket takes what fits; the rest waits for the next pass.
        const ssize_t n = Send(m_strSendBuffer.data() + m_nBytesSent, left);
        if (n < 0) {
            if (LastError() == platform::WSAEWOULDBLOCK)
                return;  // the next write notification goes on from here
            m_nTotalBytes = m_nBytesSent = 0;
            EndTransfer(reply::kListingBroken, true);
            return;
        }
        m_nBytesSent += static_cast<uint64_t>(n);
        NoteProgress();
        if (Host())
            Host()->Touch();
    }
    m_nTotalBytes = m_nBytesSent = 0;
    m_strSendBuffer.clear();
    EndTransfer(reply::kListingSent, true);
}

void CVeskDataSocket::OnClose(int error)
{
    ShutdownSend();
    m_bPeerClosed = true;
    if (m_pControlSocket->Status() == STATUS_STOR && m_File.IsOpen()) {
        // A reset is no end of file: whatever arrived, the upload failed.
        if (error != 0)
            EndTransfer(reply::kUploadBroken, false);
        else
            Drain();
        return;
    }
    m_bConnected = 0;
    if (m_bAnswered) {
        // Its command has been answered already: nothing more to say.
        Close();
        DiscardLater();
        return;
    }
    EndTransfer(reply::kClosedBeforeTransfer, true);
}

void CVeskDataSocket::SecureIfProtected()
{
    if (!m_bConnected || m_bConnectFailed || IsTlsHandshaking() || IsTlsEstablished() || IsTlsFailed())
        return;  // not up yet, or decided already
    const auto tls = m_pControlSocket->DataTlsContext();
    if (tls && !StartTls(*tls, false))
        m_bTlsFailed = true;
}

void CVeskDataSocket::OnTlsHandshake(bool succeeded)
{
    m_bTlsFailed = !succeeded;
}

bool CVeskDataSocket::EndedByFailedTls(bool transferOver)
{
    if (!m_bTlsFailed)
        return false;
    EndTransfer(reply::kTlsDataFailed, transferOver);
    return true;
}
