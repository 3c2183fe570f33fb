// One worker thread per accepted connection, with its own message loop. It
// greets or refuses the client, runs the idle time-out, discards finished
// data connections and takes itself out of the server's books when it ends.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "ftp/control_socket.h"
#include "ftp/session_host.h"
#include "platform/message_queue.h"

class CVeskFTPServer;

constexpr unsigned WM_THREADSTART = platform::WM_USER + 200;
constexpr unsigned WM_THREADCLOSE = platform::WM_USER + 201;
constexpr unsigned WM_DESTROYDATACONNECTION = platform::WM_USER + 204;

class CVeskConnectThread : public SessionHost, public std::enable_shared_from_this<CVeskConnectThread> {
public:
    CVeskConnectThread(CVeskFTPServer* server, int socketHandle);
    ~CVeskConnectThread();

    // Starts the thread; it keeps itself alive until it has ended.
    bool Begin();
    void PostThreadMessage(unsigned message, uintptr_t wParam = 0);
    bool HasEnded() const { return m_bEnded; }
    platform::MessageQueue& Queue() override { return m_queue; }

    // Session side, on this thread.
    std::shared_ptr<const ServerSettings> Settings() const override;
    std::string GoodbyeMessage() const override;
    void Touch() override;  // the client did something: restart the idle period
    // The session is over: no further reply, the control connection closes,
    // the server stops counting it, and the loop ends with exitCode.
    void MarkEnding() override { m_bEnding = true; }
    void EndSession(int exitCode) override;
    void PostDiscard(unsigned serial) override { PostThreadMessage(WM_DESTROYDATACONNECTION, serial); }
    void CloseControlConnection();
    // The outcome of an upload. Counted for the report of the session's end
    // and passed on to the server's scan listener.
    void FileStored(const std::string& localPath, uint64_t bytes) override;
    void UploadFailed(const std::string& localPath) override;
    // Login attempts, weighed by the server's throttle; a failure is reported
    // to the scan listener.
    std::chrono::milliseconds LoginTurn(const std::string& address) override;
    void LoginAttempted(const std::string& address, const std::string& user, LoginOutcome outcome) override;
    int StoredFileCount() const { return m_nStoredFiles; }

    // Main thread: the connection no longer holds its place if its session
    // is ending or its client has hung up.
    bool SessionIsOver();

    int m_hSocket = -1;
    CVeskFTPServer* m_pServer = nullptr;
    CVeskControlSocket m_ControlSocket;
    unsigned m_nTimerID = 0;

    // Main thread only: this connection's place in the count.
    bool m_bCountedIn = false;
    bool m_bCountedOut = false;

private:
    void Main();
    bool InitInstance();
    int ExitInstance(int exitCode);
    void TimerProc(unsigned timerId);
    void OnDestroyDataConnection(uintptr_t serial);
    void OnMessage(unsigned message, uintptr_t wParam);
    void CountOut();
    void ReportSessionEnd();

    // A client must log in within this time of its greeting, whatever it
    // sends meanwhile: otherwise anybody could hold the only place.
    static constexpr std::chrono::seconds kLoginTimeLimit{60};
    bool IdleTooLong(std::chrono::steady_clock::time_point now) const;

    platform::MessageQueue m_queue;
    // Monotonic: a change of the wall clock neither ends nor extends a session.
    std::chrono::steady_clock::time_point m_LastActivityTime;
    std::chrono::steady_clock::time_point m_GreetedAt;
    int m_nStoredFiles = 0;
    std::string m_strLastStoredPath;
    bool m_bCountOutSent = false;  // this thread's own note: asked once only
    std::atomic<bool> m_bEnding{false};
    std::atomic<bool> m_bEnded{false};
    std::mutex m_handleLock;  // the control handle's close vs. the hang-up probe
};
