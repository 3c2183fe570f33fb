#include "server/connect_thread.h"

#include <exception>
#include <filesystem>
#include <thread>

#include "ftp/data_socket.h"
#include "ftp/replies.h"
#include "platform/handles.h"
#include "platform/tls.h"
#include "server/ftp_server.h"

CVeskConnectThread::CVeskConnectThread(CVeskFTPServer* server, int socketHandle)
    : m_hSocket(socketHandle),
      m_pServer(server),
      m_LastActivityTime(std::chrono::steady_clock::now()),
      m_GreetedAt(m_LastActivityTime)
{
}

CVeskConnectThread::~CVeskConnectThread()
{
    // A handle that never reached the control socket is closed here.
    platform::CloseHandle(m_hSocket);
}

bool CVeskConnectThread::Begin()
{
    ++m_pServer->m_nLiveThreads;
    try {
        std::thread([self = shared_from_this()] { self->Main(); }).detach();
        return true;
    } catch (const std::exception&) {
        --m_pServer->m_nLiveThreads;
        return false;
    }
}

void CVeskConnectThread::PostThreadMessage(unsigned message, uintptr_t wParam)
{
    m_queue.Post(message, wParam);
}

void CVeskConnectThread::Main()
{
    m_queue.Bind();
    InitInstance();
    const int exitCode =
        m_queue.Run([this](unsigned message, uintptr_t wParam) { OnMessage(message, wParam); });
    ExitInstance(exitCode);
    platform::ReleaseTlsThreadState();
    CVeskFTPServer* server = m_pServer;
    m_bEnded = true;
    server->ThreadEnded();
}

bool CVeskConnectThread::InitInstance()
{
    {
        std::lock_guard<std::mutex> guard(m_handleLock);
        m_ControlSocket.Attach(m_hSocket);
        m_hSocket = -1;
    }
    m_ControlSocket.SetHost(this);
    std::string peer;
    int peerPort = 0;
    if (m_ControlSocket.GetPeerName(peer, peerPort))
        m_ControlSocket.SetPeerAddress(peer);

    const int count = m_pServer->ThreadStart(this);
    if (count > m_pServer->m_nMaxUsers) {
        m_ControlSocket.SendResponse(reply::kTooManyUsers);
        PostThreadMessage(platform::WM_QUIT, 0);
        return true;
    }
    m_ControlSocket.SendResponse(reply::Welcome(m_pServer->GetWelcomeMessage()));
    m_GreetedAt = std::chrono::steady_clock::now();
    m_nTimerID = m_queue.SetTimer(1000, [this](unsigned id) { TimerProc(id); });
    return true;
}

int CVeskConnectThread::ExitInstance(int exitCode)
{
    MarkEnding();
    m_ControlSocket.CloseDataConnection();
    CloseControlConnection();
    CountOut();
    ReportSessionEnd();
    // Off the list last: Stop waits for this thread as long as it is listed.
    m_pServer->RemoveThread(this);
    return exitCode;
}

void CVeskConnectThread::OnMessage(unsigned message, uintptr_t wParam)
{
    if (message == WM_DESTROYDATACONNECTION)
        OnDestroyDataConnection(wParam);
}

// wParam names the data connection to discard; one that replaced it since
// the request was posted goes on.
void CVeskConnectThread::OnDestroyDataConnection(uintptr_t serial)
{
    m_ControlSocket.DiscardDataConnection(static_cast<unsigned>(serial));
}

std::shared_ptr<const ServerSettings> CVeskConnectThread::Settings() const
{
    return m_pServer->Settings();
}

std::string CVeskConnectThread::GoodbyeMessage() const
{
    return m_pServer->GetGoodbyeMessage();
}

void CVeskConnectThread::Touch()
{
    m_LastActivityTime = std::chrono::steady_clock::now();
}

bool CVeskConnectThread::IdleTooLong(std::chrono::steady_clock::time_point now) const
{
    if (!m_ControlSocket.HasLoggedIn() && now - m_GreetedAt > kLoginTimeLimit)
        return true;
    const auto idleLimit = std::chrono::minutes(m_pServer->Settings()->m_nTimeout);
    return now - m_LastActivityTime > idleLimit;
}

void CVeskConnectThread::TimerProc(unsigned timerId)
{
    if (timerId != m_nTimerID || m_bEnding)
        return;
    if (IdleTooLong(std::chrono::steady_clock::now())) {
        MarkEnding();
        m_ControlSocket.SendResponse(reply::kIdleTimeOut);
        EndSession(0);
    }
}

void CVeskConnectThread::EndSession(int exitCode)
{
    MarkEnding();
    CloseControlConnection();
    CountOut();
    PostThreadMessage(platform::WM_QUIT, static_cast<uintptr_t>(exitCode));
}

void CVeskConnectThread::CloseControlConnection()
{
    std::lock_guard<std::mutex> guard(m_handleLock);
    m_ControlSocket.Close();
}

void CVeskConnectThread::CountOut()
{
    if (m_bCountOutSent)
        return;
    m_bCountOutSent = true;
    m_pServer->ThreadClose(this);
}

bool CVeskConnectThread::SessionIsOver()
{
    if (m_bEnding)
        return true;
    std::lock_guard<std::mutex> guard(m_handleLock);
    const int handle = m_ControlSocket.Handle();
    if (handle < 0)
        return m_hSocket < 0;  // closed already; a handle not yet attached is a live client
    return platform::PeerHasClosed(handle);
}

void CVeskConnectThread::FileStored(const std::string& localPath, uint64_t bytes)
{
    ++m_nStoredFiles;
    m_strLastStoredPath = localPath;
    ScanEvent event;
    event.kind = ScanEvent::Kind::FileStored;
    event.path = localPath;
    event.bytes = bytes;
    m_pServer->ReportScanEvent(std::move(event));
}

void CVeskConnectThread::UploadFailed(const std::string& localPath)
{
    ScanEvent event;
    event.kind = ScanEvent::Kind::UploadFailed;
    event.path = localPath;
    m_pServer->ReportScanEvent(std::move(event));
}

std::chrono::milliseconds CVeskConnectThread::LoginTurn(const std::string& address)
{
    return std::chrono::ceil<std::chrono::milliseconds>(m_pServer->Throttle().TakeTurn(address));
}

void CVeskConnectThread::LoginAttempted(const std::string& address, const std::string& user, LoginOutcome outcome)
{
    LoginThrottle& throttle = m_pServer->Throttle();
    switch (outcome) {
    case LoginOutcome::LoggedIn:
        throttle.Succeeded(address);
        return;
    case LoginOutcome::Undecided:
        throttle.EndTurn(address);
        return;
    case LoginOutcome::Failed:
        break;
    }
    ScanEvent event;
    event.kind = ScanEvent::Kind::LoginFailed;
    event.user = user;
    event.address = address;
    event.failures = throttle.Failed(address);
    m_pServer->ReportScanEvent(std::move(event));
}

// One report per session that stored anything, so a device that sends a
// stack of pages in one session gives one notice.
void CVeskConnectThread::ReportSessionEnd()
{
    if (m_nStoredFiles == 0)
        return;
    ScanEvent event;
    event.kind = ScanEvent::Kind::SessionEnded;
    event.path = std::filesystem::path(m_strLastStoredPath).parent_path().string();
    event.storedFiles = m_nStoredFiles;
    m_nStoredFiles = 0;
    m_pServer->ReportScanEvent(std::move(event));
}
