#include "server/ftp_server.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/main_thread.h"
#include "platform/staged_file.h"
#include "server/connect_thread.h"

namespace {
// How long Stop waits for one connection thread without any sign of life.
constexpr int kStopWaitMs = 5000;
// How long the destructor of a server that was never shut down (one made
// by a test, say) waits for threads that Stop gave up on.
constexpr int kAbandonedThreadsWaitMs = 15000;
}  // namespace

CVeskFTPServer::CVeskFTPServer()
    : m_pSettings(std::make_shared<const ServerSettings>()),
      m_pWindow(std::make_unique<platform::WaitActivity>())
{
}

CVeskFTPServer::~CVeskFTPServer()
{
    Stop();
    if (platform::MainLoopExists())
        WaitForThreadsToEnd(kAbandonedThreadsWaitMs);
    platform::DiscardPendingCalls(m_pWindow.get());
}

bool CVeskFTPServer::WaitForThreadsToEnd(int ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (m_nLiveThreads > 0 && std::chrono::steady_clock::now() < deadline)
        platform::WaitWithMessageLoop([this] { return m_nLiveThreads == 0; }, m_pWindow.get(), 100);
    return m_nLiveThreads == 0;
}

void CVeskFTPServer::SetSettings(const ServerSettings& settings)
{
    auto fresh = std::make_shared<const ServerSettings>(settings);
    std::lock_guard<std::mutex> guard(m_settingsLock);
    m_pSettings = std::move(fresh);
}

std::shared_ptr<const ServerSettings> CVeskFTPServer::Settings() const
{
    std::lock_guard<std::mutex> guard(m_settingsLock);
    return m_pSettings;
}

StartResult CVeskFTPServer::Start()
{
    if (m_bRunning)
        return {.alreadyRunning = true};
    const auto settings = Settings();
    m_ListenSocket.m_pServer = this;
    if (!m_ListenSocket.Create(settings->m_strBindAddress, settings->m_nPort, CVeskListenSocket::kBacklog))
        return {.failure = m_ListenSocket.Failure(settings->m_nPort), .error = m_ListenSocket.LastError()};
    m_bRunning = true;
    return {};
}

void CVeskFTPServer::Stop()
{
    if (!m_bRunning)
        return;
    m_bRunning = false;
    m_ListenSocket.Close();
    for (;;) {
        std::shared_ptr<CVeskConnectThread> head;
        {
            std::lock_guard<std::mutex> guard(m_csThreadList);
            if (m_ThreadList.empty())
                break;
            head = m_ThreadList.front();
        }
        head->PostThreadMessage(platform::WM_QUIT, 0);
        if (!WaitForThread(head)) {
            // Left to end on its own. It has been told to end, so it no
            // longer holds a place: a restart must not refuse clients for it.
            RemoveThread(head.get());
            OnThreadClose(head.get());
        }
    }
}

bool CVeskFTPServer::WaitForThread(const std::shared_ptr<CVeskConnectThread>& thread)
{
    return platform::WaitWithMessageLoop(
        [&thread] { return thread->HasEnded(); }, m_pWindow.get(), kStopWaitMs);
}

int CVeskFTPServer::Shutdown(int exitCode)
{
    Stop();
    if (WaitForThreadsToEnd(kShutdownGraceMs)) {
        // The sessions' last reports (an upload the stop cut short) are
        // delivered before the program ends.
        platform::DeliverPendingCalls();
        return exitCode;
    }
    // Destructors would pull the server out from under the stuck thread.
    // Its upload is not left behind half-written, and is reported failed;
    // what the sessions that did end have reported goes out first.
    platform::DeliverPendingCalls();
    ReportUploadsFailedAtExit(platform::StagedFile::DiscardAllForExit());
    std::fflush(nullptr);
    std::_Exit(exitCode);
}

// Told to the listener at once: the main loop serves no more calls.
void CVeskFTPServer::ReportUploadsFailedAtExit(const std::vector<std::string>& paths)
{
    for (const std::string& path : paths) {
        ScanEvent event;
        event.kind = ScanEvent::Kind::UploadFailed;
        event.path = path;
        event.time = std::time(nullptr);
        if (m_ScanListener)
            m_ScanListener(event);
    }
}

size_t CVeskFTPServer::ThreadCount() const
{
    std::lock_guard<std::mutex> guard(m_csThreadList);
    return m_ThreadList.size();
}

void CVeskFTPServer::AddThread(const std::shared_ptr<CVeskConnectThread>& thread)
{
    std::lock_guard<std::mutex> guard(m_csThreadList);
    m_ThreadList.push_back(thread);
}

void CVeskFTPServer::RemoveThread(const CVeskConnectThread* thread)
{
    std::lock_guard<std::mutex> guard(m_csThreadList);
    m_ThreadList.remove_if([thread](const auto& t) { return t.get() == thread; });
}

int CVeskFTPServer::ThreadStart(CVeskConnectThread* thread)
{
    int count = 0;
    platform::CallOnThreadOf(m_pWindow.get(), [&] { count = OnThreadStart(thread); });
    return count;
}

void CVeskFTPServer::ThreadClose(CVeskConnectThread* thread)
{
    platform::CallOnThreadOf(m_pWindow.get(), [&] { OnThreadClose(thread); });
}

// Counted down on the main thread, so that once no thread is alive no call
// of theirs is left in the main thread's queue either.
void CVeskFTPServer::ThreadEnded()
{
    platform::PostToThreadOf(m_pWindow.get(), [this] {
        --m_nLiveThreads;
        m_pWindow->Signal();
    });
}

void CVeskFTPServer::ReportScanEvent(ScanEvent event)
{
    event.time = std::time(nullptr);
    platform::PostToThreadOf(m_pWindow.get(), [this, event = std::move(event)] {
        if (m_ScanListener)
            m_ScanListener(event);
    });
}

int CVeskFTPServer::OnThreadStart(CVeskConnectThread* thread)
{
    thread->m_bCountedIn = true;
    ++m_nUserCount;
    if (m_nUserCount > m_nMaxUsers)
        CountOutEndedSessions(thread);
    m_pWindow->Signal();
    return m_nUserCount;
}

void CVeskFTPServer::OnThreadClose(CVeskConnectThread* thread)
{
    if (thread->m_bCountedIn && !thread->m_bCountedOut) {
        thread->m_bCountedOut = true;
        --m_nUserCount;
    }
    m_pWindow->Signal();
}

// A client that has just quit or hung up may reconnect before its old
// worker has noticed; the old session must not hold the one place then.
void CVeskFTPServer::CountOutEndedSessions(const CVeskConnectThread* except)
{
    std::list<std::shared_ptr<CVeskConnectThread>> threads;
    {
        std::lock_guard<std::mutex> guard(m_csThreadList);
        threads = m_ThreadList;
    }
    for (const auto& t : threads) {
        if (t.get() == except || !t->m_bCountedIn || t->m_bCountedOut)
            continue;
        if (t->SessionIsOver()) {
            t->m_bCountedOut = true;
            --m_nUserCount;
        }
    }
}
