#include "ftp/control_socket.h"

#include <algorithm>
#include <cstring>

#include "ftp/command_table.h"
#include "ftp/data_socket.h"
#include "ftp/replies.h"
#include "platform/codepage.h"
#include "platform/message_box.h"

CVeskControlSocket::CVeskControlSocket() = default;

CVeskControlSocket::~CVeskControlSocket() = default;

std::shared_ptr<const ServerSettings> CVeskControlSocket::Settings() const
{
    return m_pThread->Settings();
}

std::string CVeskControlSocket::HomePath() const
{
    return Settings()->m_strHomePath;
}

void CVeskControlSocket::OnReceive(int)
{
    // Lines are only held while a command waits for its data connection or
    // a transfer holds them; past a bound the client is simply not read (TCP
    // holds it back).
    if (m_strRecvBuffer.size() >= 4 * kMaxLineLength)
        return;
    char buffer[kReceiveChunk + 1];
    const ssize_t n = Receive(buffer, kReceiveChunk);
    if (n < 0) {
        if (LastError() != platform::WSAEWOULDBLOCK)
            platform::AfxMessageBox("OnReceive error: " + std::to_string(LastError()));
        return;
    }
    if (n == 0) {
        OnClientGone();
        return;
    }
    if (m_pThread)
        m_pThread->Touch();
    AppendReceived(buffer, static_cast<size_t>(n));
    ParseCommandLines();
}

void CVeskControlSocket::OnClose(int)
{
    OnClientGone();
}

// The client closed its side: end the session now, so that its place is free
// for the scanner's next connection. An upload whose data connection the
// client closed first (its end is queued already) is finished first, with
// the lines sent after it; one whose data connection is still open has been
// abandoned by its client, who can never learn its outcome: it fails, and an
// earlier file of its name stays.
void CVeskControlSocket::OnClientGone()
{
    if (!m_bDispatching && TransferIsRunning()) {
        if (m_pDataSocket->PeerHasClosed()) {
            m_pDataSocket->FinishUpload();
            ParseCommandLines();
        }
        if (TransferIsRunning())
            m_pDataSocket->Abandon();
    }
    ForfeitHeldLogin();
    if (m_pThread)
        m_pThread->EndSession(0);
}

void CVeskControlSocket::AppendReceived(const char* chunk, size_t length)
{
    // A NUL byte ends the chunk: what follows it in this read is dropped.
    const void* nul = std::memchr(chunk, '\0', length);
    if (nul)
        length = static_cast<size_t>(static_cast<const char*>(nul) - chunk);
    m_strRecvBuffer.append(chunk, length);
    if (!m_bDiscardingLine)
        return;
    // Still inside an over-long line: drop it up to its CR LF.
    const size_t end = m_strRecvBuffer.find("\r\n");
    if (end == std::string::npos) {
        const bool endsInCr = !m_strRecvBuffer.empty() && m_strRecvBuffer.back() == '\r';
        m_strRecvBuffer.assign(endsInCr ? "\r" : "");
        return;
    }
    m_strRecvBuffer.erase(0, end + 2);
    m_bDiscardingLine = false;
}

// An incomplete line may not grow without bound: it is dropped, the client
// is told, and the session goes on with the next line.
void CVeskControlSocket::EnforceLineLimit()
{
    if (m_strRecvBuffer.size() <= kMaxLineLength || m_strRecvBuffer.find("\r\n") != std::string::npos)
        return;
    const bool endsInCr = m_strRecvBuffer.back() == '\r';
    m_strRecvBuffer.assign(endsInCr ? "\r" : "");
    m_bDiscardingLine = true;
    SendResponse(reply::kLineTooLong);
}

void CVeskControlSocket::ParseCommandLines()
{
    if (m_bDispatching)
        return;  // the command that is running picks the rest up when it returns
    m_bDispatching = true;
    while (!m_strRecvBuffer.empty() && IsOpen()) {
        const size_t end = m_strRecvBuffer.find("\r\n");
        if (end == std::string::npos) {
            EnforceLineLimit();
            break;
        }
        const std::string line = m_strRecvBuffer.substr(0, end);
        if (MustHold(line)) {
            // ABOR acts at once, also behind lines that wait; an upload whose
            // data connection has ended is answered first, as it ended.
            if (!TransferIsRunning() || m_pDataSocket->PeerHasClosed() || !AborIsQueued()) {
                RecheckWhenStalled(line);
                break;
            }
            AbortTransferForQueuedAbor();
            continue;
        }
        m_CommandQueue.push_back(m_strRecvBuffer.substr(0, end + 2));
        m_strRecvBuffer.erase(0, end + 2);
        ProcessCommand();
    }
    m_bDispatching = false;
    // Reading may have been held back during a wait for a data connection.
    if (IsOpen())
        Rearm();
}

void CVeskControlSocket::ResumeCommands()
{
    if (!m_bDispatching && IsOpen())
        ParseCommandLines();
}

// The one condition that holds command lines back: a running transfer, or a
// login whose reply waits for its turn (that turn serves the rest).
bool CVeskControlSocket::SessionIsBusy() const
{
    return TransferIsRunning() || LoginReplyWaits();
}

bool CVeskControlSocket::TransferIsRunning() const
{
    return m_pDataSocket && m_pDataSocket->IsTransferring();
}

bool CVeskControlSocket::MustHold(const std::string& line) const
{
    if (!SessionIsBusy())
        return false;
    if (!TransferIsRunning())
        return true;
    const CommandTable::Entry* entry = CommandTable::Find(CommandVerb(line));
    switch (entry ? entry->duringTransfer : DuringTransfer::Waits) {
    case DuringTransfer::AtOnce:
        return false;
    case DuringTransfer::WhenStalled:
        // HasStalled looks at the data connection first: bytes or an end
        // waiting there are news that is answered before this line.
        return !m_pDataSocket->HasStalled();
    case DuringTransfer::Waits:
        break;
    }
    return true;
}

// Only a line that may run once the transfer stalls needs a second look; the
// others are served when the transfer ends.
void CVeskControlSocket::RecheckWhenStalled(const std::string& line)
{
    if (m_nStallTimer || !TransferIsRunning() || !platform::MessageQueue::Current())
        return;
    const CommandTable::Entry* entry = CommandTable::Find(CommandVerb(line));
    if (!entry || entry->duringTransfer != DuringTransfer::WhenStalled)
        return;
    const int wait = std::max(m_pDataSocket->MillisecondsUntilStalled(), 20);
    m_nStallTimer = platform::MessageQueue::Current()->SetTimer(
        static_cast<unsigned>(wait), [this](unsigned id) {
            platform::MessageQueue::Current()->KillTimer(id);
            m_nStallTimer = 0;
            ResumeCommands();
        });
}

bool CVeskControlSocket::AborIsQueued() const
{
    size_t start = 0;
    for (size_t end; (end = m_strRecvBuffer.find("\r\n", start)) != std::string::npos; start = end + 2) {
        if (CommandVerb(m_strRecvBuffer.substr(start, end - start)) == "ABOR")
            return true;
    }
    return false;
}

// The running transfer ends as ABOR ends it; ABOR itself is answered in its
// turn.
void CVeskControlSocket::AbortTransferForQueuedAbor()
{
    SendResponse(reply::kTransferAborted);
    m_pDataSocket->Abandon();
    m_pDataSocket->DiscardLater();
    m_nStatus = STATUS_IDLE;
}

bool CVeskControlSocket::SendResponse(const std::string& reply)
{
    if (!IsOpen())
        return false;
    // A reply is one line: a CR or LF inside it can only come from a client's
    // own argument echoed back, and must not start a forged reply of its own.
    std::string line = ToWire(reply);
    std::replace_if(line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    line += "\r\n";
    if (!SendAll(line.data(), line.size(), kSendTimeoutMs)) {
        if (m_pThread)
            m_pThread->EndSession(1);
        return false;
    }
    if (m_pThread)
        m_pThread->Touch();
    return true;
}

std::string CVeskControlSocket::ToWire(const std::string& text) const
{
    return m_bUTF8 ? text : Utf8ToAnsi(text);
}

std::string CVeskControlSocket::FromWire(const std::string& text) const
{
    if (!m_bUTF8)
        return AnsiToUtf8(text);
    return platform::IsValidUtf8(text) ? text : AnsiToUtf8(text);
}
