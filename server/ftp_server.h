// The FTP server as one object: the settings in force, the listening socket,
// the live connection threads and their count.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/listen_socket.h"
#include "server/login_throttle.h"
#include "server/scan_events.h"
#include "server/server_settings.h"

namespace platform {
class WaitActivity;
}
class CVeskConnectThread;

// What a Start came to; true when the server listens.
struct StartResult {
    bool alreadyRunning = false;
    ListenFailure failure = ListenFailure::None;
    int error = 0;  // the errno value behind a failure
    explicit operator bool() const { return !alreadyRunning && failure == ListenFailure::None; }
};

class CVeskFTPServer {
public:
    CVeskFTPServer();
    ~CVeskFTPServer();
    CVeskFTPServer(const CVeskFTPServer&) = delete;
    CVeskFTPServer& operator=(const CVeskFTPServer&) = delete;

    // Main thread only.
    StartResult Start();
    void Stop();
    // The one way out of both programs: Stop, then the final wait of
    // kShutdownGraceMs for the last words of the threads that ended. Returns
    // exitCode once every connection thread has ended. A thread that Stop
    // gave up on (stuck in a reply to a client that reads nothing, say)
    // still runs and still calls into the server: the process then ends at
    // once with exitCode instead of waiting for it; the system closes its
    // sockets. The staging files of uploads still open are removed first,
    // and each upload is reported failed.
    int Shutdown(int exitCode);
    static constexpr int kShutdownGraceMs = 300;
    bool IsRunning() const { return m_bRunning; }
    // Replaces the settings in force as a whole (SetSettingsToServer).
    void SetSettings(const ServerSettings& settings);
    int ListeningPort() const { return m_ListenSocket.LocalPort(); }
    int UserCount() const { return m_nUserCount; }
    // Dispatches until every connection thread has ended, abandoned ones
    // included, or ms have passed. True when none is left.
    bool WaitForThreadsToEnd(int ms);
    size_t ThreadCount() const;

    // Any thread: each returns a copy of the setting as it is now.
    std::shared_ptr<const ServerSettings> Settings() const;
    std::string GetWelcomeMessage() const { return m_strWelcomeMessage; }
    std::string GetGoodbyeMessage() const { return m_strGoodbyeMessage; }
    std::string GetUserID() const { return Settings()->m_strUserID; }
    std::string GetPassword() const { return Settings()->m_strPassword; }
    std::string GetHomePath() const { return Settings()->m_strHomePath; }

    const int m_nMaxUsers = 1;

    // Connection threads.
    void AddThread(const std::shared_ptr<CVeskConnectThread>& thread);
    void RemoveThread(const CVeskConnectThread* thread);
    // WM_THREADSTART / WM_THREADCLOSE: synchronous calls that run on the main
    // thread. ThreadStart returns the count including the caller.
    int ThreadStart(CVeskConnectThread* thread);
    void ThreadClose(CVeskConnectThread* thread);
    // A worker's last word, queued to the main thread.
    void ThreadEnded();

    // Main thread: who hears of stored and failed uploads (none by default).
    void SetScanListener(ScanListener listener) { m_ScanListener = std::move(listener); }
    // Any thread: stamps the event and hands it to the listener on the main
    // thread, without waiting for it.
    void ReportScanEvent(ScanEvent event);

    // Any thread: failed logins per client address, kept across sessions and
    // restarts for as long as the server object lives.
    LoginThrottle& Throttle() { return m_LoginThrottle; }

private:
    int OnThreadStart(CVeskConnectThread* thread);
    void OnThreadClose(CVeskConnectThread* thread);
    void CountOutEndedSessions(const CVeskConnectThread* except);
    bool WaitForThread(const std::shared_ptr<CVeskConnectThread>& thread);
    void ReportUploadsFailedAtExit(const std::vector<std::string>& paths);

    const std::string m_strWelcomeMessage = "Welcome to Orvello";
    const std::string m_strGoodbyeMessage = "Bye";

    mutable std::mutex m_settingsLock;
    std::shared_ptr<const ServerSettings> m_pSettings;

    CVeskListenSocket m_ListenSocket;
    int m_nUserCount = 0;
    bool m_bRunning = false;
    mutable std::mutex m_csThreadList;
    std::list<std::shared_ptr<CVeskConnectThread>> m_ThreadList;
    std::atomic<int> m_nLiveThreads{0};
    // The notification sink: runs the count handlers on the main thread.
    std::unique_ptr<platform::WaitActivity> m_pWindow;
    ScanListener m_ScanListener;  // main thread only
    LoginThrottle m_LoginThrottle;

    friend class CVeskConnectThread;
};

// The one server of the program.
extern CVeskFTPServer theServer;
