// The command side of every transfer: PORT, PASV/EPSV, LIST/NLST, STOR and
// ABOR, and the opening and discarding of the data connection.
#include <charconv>
#include <chrono>
#include <memory>
#include <vector>

#include "ftp/control_socket.h"
#include "ftp/data_socket.h"
#include "ftp/passive_listener.h"
#include "ftp/port_argument.h"
#include "ftp/replies.h"
#include "platform/message_queue.h"

namespace {

constexpr int kDataConnectionWaitMs = 10000;

}  // namespace

void CVeskControlSocket::OnPort(const std::string& argument)
{
    std::string host;
    int port = -1;
    if (!ParsePortArgument(argument, host, port)) {
        SendResponse(reply::kSyntaxError);
        return;
    }
    // The data connection may only go back to the client itself, and never
    // to a privileged port: no bouncing to third hosts.
    if (host != m_strPeerAddress || port < 1024) {
        SendResponse(reply::kIllegalPort);
        return;
    }
    m_strDataHost = host;
    m_nDataPort = port;
    SendResponse(reply::kPortAccepted);
}

bool CVeskControlSocket::OpenPassiveListener()
{
    CloseDataConnection();
    const auto settings = Settings();
    m_pDataSocket = std::make_unique<CVeskDataSocket>(this, settings->m_bPlainScan != 0);
    // Offered only on the address the client reached us at, and within the
    // range a firewall may have opened.
    if (!ListenOnPassivePort(*m_pDataSocket, LocalAddress(), settings->m_PassivePorts)) {
        CloseDataConnection();
        SendResponse(reply::kPassiveSocketFailed);
        return false;
    }
    return true;
}

void CVeskControlSocket::OnPasv(const std::string&)
{
    if (!OpenPassiveListener())
        return;
    std::string address = LocalAddress(), ignored;
    int port = 0;
    m_pDataSocket->GetSockName(ignored, port);
    std::replace(address.begin(), address.end(), '.', ',');
    SendResponse(reply::PassiveMode(address, port));
    m_bPassive = 1;
}

void CVeskControlSocket::OnEpsv(const std::string&)
{
    if (!OpenPassiveListener())
        return;
    std::string ignored;
    int port = 0;
    m_pDataSocket->GetSockName(ignored, port);
    SendResponse(reply::ExtendedPassiveMode(port));
    m_bPassive = 1;
}

void CVeskControlSocket::OnList(const std::string& argument)
{
    std::string listing;
    if (!BuildDirectoryListing(argument, listing)) {
        m_nStatus = STATUS_STOR;
        MarkDataConnectionAnswered();
        return;
    }
    SendResponse(reply::kListingOpens);
    if (!OpenDataConnection()) {
        CloseDataConnection();
        return;
    }
    const bool connectFailed = m_pDataSocket->ConnectFailed();
    const bool tlsFailed = m_pDataSocket->TlsFailed();
    if (listing.empty()) {
        CloseDataConnection();
        // Nothing was sent over a connection that never came up: no success.
        SendResponse(connectFailed ? reply::kListingBroken
                     : tlsFailed   ? reply::kTlsDataFailed
                                   : reply::kEmptyListingSent);
        m_nStatus = STATUS_IDLE;
        return;
    }
    m_nStatus = STATUS_LIST;
    m_pDataSocket->BeginListing(ToWire(listing));
}

void CVeskControlSocket::OnStor(const std::string& argument)
{
    std::string local;
    platform::UniqueFd folder;
    const int code = ResolveFilePath(argument, OP_STORE, local, &folder);
    if (code == PATH_NO_FILE || code == PATH_REFUSED) {
        SendResponse(code == PATH_NO_FILE ? reply::kFilenameInvalid : reply::kPermissionDenied);
        MarkDataConnectionAnswered();
        return;
    }
    SendResponse(reply::kUploadOpens);
    // After a refused active connect (answered with its 425) the target file
    // is neither created nor touched.
    if (!OpenDataConnection() || m_pDataSocket->ConnectFailed()) {
        m_nStatus = STATUS_IDLE;
        CloseDataConnection();
        ReportFailedStor(local);
        return;
    }
    m_nStatus = STATUS_STOR;
    if (m_pDataSocket->OpenStoreFile(local, std::move(folder))) {
        m_pDataSocket->BeginUpload();
        return;
    }
    m_nStatus = STATUS_IDLE;
    MarkDataConnectionAnswered();
    SendResponse(reply::kCantOpenFile);
    ReportFailedStor(local);
    m_pDataSocket->DiscardLater();
}

// Once its 150 has gone out, an upload is reported whatever ends it.
void CVeskControlSocket::ReportFailedStor(const std::string& localPath)
{
    if (m_pThread)
        m_pThread->UploadFailed(localPath);
}

// The data connection stays for the client to close or reuse; its close is
// no news to the client any more.
void CVeskControlSocket::MarkDataConnectionAnswered()
{
    if (m_pDataSocket)
        m_pDataSocket->MarkAnswered();
}

void CVeskControlSocket::OnAbor(const std::string&)
{
    // An upload whose data connection the client closed before it sent ABOR
    // has all its bytes: it completes (or fails) as it would have, and ABOR
    // finds nothing left to abort.
    if (TransferIsRunning() && m_pDataSocket->FinishIfEnded()) {
        SendResponse(reply::kAborDone);
        return;
    }
    if (m_pDataSocket) {
        if (m_nStatus != STATUS_IDLE)
            SendResponse(reply::kTransferAborted);
        // Closed at once: bytes or a close that arrive before the discard
        // must not complete the upload after all.
        m_pDataSocket->Abandon();
        m_pDataSocket->DiscardLater();
    }
    SendResponse(reply::kAborDone);
}

bool CVeskControlSocket::OpenDataConnection()
{
    if (m_pDataSocket && m_pDataSocket->IsSpent())
        CloseDataConnection();  // a pipelined command after a transfer: no connection left
    if (!m_bPassive) {
        if (m_strDataHost.empty() || m_nDataPort == -1) {
            SendResponse(reply::kNoDataConnection);
            return false;
        }
        m_pDataSocket = std::make_unique<CVeskDataSocket>(this, Settings()->m_bPlainScan != 0);
        if (!m_pDataSocket->Create()) {
            SendResponse(reply::kActiveSocketFailed);
            return false;
        }
        if (!m_pDataSocket->Connect(m_strDataHost, m_nDataPort)) {
            SendResponse(reply::kNoDataConnection);
            return false;
        }
    } else if (!m_pDataSocket) {
        SendResponse(reply::kNoDataConnection);
        return false;
    }

    // Serve the socket events of this thread until the data connection is up;
    // command lines that arrive meanwhile wait for this command to finish.
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kDataConnectionWaitMs);
    m_bWaitingForData = true;
    m_pDataSocket->AcceptWaiting();
    // PROT may have changed since a passive connection came in: the
    // transfer uses the protection in force now.
    m_pDataSocket->SecureIfProtected();
    while (!m_pDataSocket->IsConnected()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            m_bWaitingForData = false;
            // A connection that came but never finished its handshake
            // failed TLS negotiation; the client should hear which.
            SendResponse(m_pDataSocket->IsTlsHandshaking() ? reply::kTlsDataFailed
                                                           : reply::kDataConnectionNeverCame);
            return false;
        }
        if (m_pThread->Queue().QuitPending() || !IsOpen()) {
            m_bWaitingForData = false;
            return false;  // the session is ending; nobody is left to answer
        }
        // ABOR ends the wait as it would end the transfer; it is answered
        // in its turn, after this command.
        if (AborIsQueued()) {
            m_bWaitingForData = false;
            SendResponse(reply::kTransferAborted);
            return false;
        }
        m_pThread->Queue().PumpEvents(static_cast<int>(std::min<long long>(left.count(), 250)));
    }
    m_bWaitingForData = false;
    // A refused active connect ends the wait too; it has been answered, and
    // the command decides what may still follow.
    return true;
}

// A connected socket keeps its local address: asked once per session.
const std::string& CVeskControlSocket::LocalAddress()
{
    if (m_strLocalAddress.empty()) {
        int port = 0;
        GetSockName(m_strLocalAddress, port);
    }
    return m_strLocalAddress;
}

char* CVeskControlSocket::UploadBuffer(size_t size)
{
    return m_UploadBuffer.Get(size);
}

void CVeskControlSocket::CloseDataConnection()
{
    if (!m_pDataSocket)
        return;
    m_pDataSocket.reset();
    m_strDataHost.clear();
    m_nDataPort = -1;
    m_bPassive = 0;
}

void CVeskControlSocket::DiscardDataConnection(unsigned serial)
{
    if (m_pDataSocket && m_pDataSocket->Serial() == serial)
        CloseDataConnection();
    ResumeCommands();
}

void CVeskControlSocket::EndOfTransfer(const std::string& reply, bool idle)
{
    if (idle)
        m_nStatus = STATUS_IDLE;
    SendResponse(reply);
}
