// A thread's own message queue and loop, in place of the Windows thread
// message queue: posted messages (PostThreadMessage), WM_QUIT with an exit
// code, per-thread timers (SetTimer) and socket readiness, all delivered on
// the thread that runs the loop. Readiness comes from poll(), which is level
// triggered: a socket that still has unread bytes is reported again.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace platform {

constexpr unsigned WM_QUIT = 0x0012;
constexpr unsigned WM_USER = 0x0400;

// Something with a file descriptor that wants readiness notifications.
class SocketWatcher {
public:
    virtual ~SocketWatcher() = default;
    virtual int WatchedHandle() const = 0;
    virtual short WantedEvents() const = 0;  // poll() events; 0 = nothing wanted now
    virtual void OnReady(short revents) = 0;
    // Bytes already read from the handle and not yet delivered (TLS keeps
    // decrypted ones): reported readable without waiting for the handle.
    virtual bool HasBufferedInput() const { return false; }
};

class MessageQueue {
public:
    using MessageHandler = std::function<void(unsigned message, uintptr_t wParam)>;
    using TimerProc = std::function<void(unsigned timerId)>;

    MessageQueue();
    ~MessageQueue();
    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;

    // The queue whose loop runs on the calling thread (set by Run and Bind).
    static MessageQueue* Current();
    // Makes this the calling thread's queue without running the loop yet.
    void Bind();

    // Any thread. WM_QUIT ends Run with wParam as the exit code.
    void Post(unsigned message, uintptr_t wParam = 0);
    bool QuitPending() const;

    // Owner thread: dispatches until WM_QUIT; returns its wParam.
    int Run(const MessageHandler& onMessage);
    // Owner thread: serves sockets and timers for at most maxWaitMs, leaving
    // posted messages queued for Run. Used by waits inside a command.
    void PumpEvents(int maxWaitMs);

    unsigned SetTimer(unsigned periodMs, TimerProc proc);
    void KillTimer(unsigned timerId);

    void AddWatcher(SocketWatcher* watcher);
    void RemoveWatcher(SocketWatcher* watcher);

private:
    using Clock = std::chrono::steady_clock;
    struct Timer {
        unsigned id;
        std::chrono::milliseconds period;
        Clock::time_point due;
        TimerProc proc;
    };
    struct Posted {
        unsigned message;
        uintptr_t wParam;
    };

    void WaitAndDispatch(int maxWaitMs);
    int MillisecondsToNextTimer(int cap) const;
    struct Watch {
        SocketWatcher* watcher;
        uint64_t serial;  // a new one at every AddWatcher
    };
    // WaitAndDispatch's poll set and the watches it stands for.
    struct TurnBuffers {
        std::vector<pollfd> fds;
        std::vector<Watch> polled;
    };
    void PollAndDispatch(TurnBuffers& turn, int maxWaitMs);
    void DispatchSockets(const std::vector<pollfd>& fds, const std::vector<Watch>& polled);
    void DispatchTimers();
    void DrainWakeup();
    bool IsWatched(const Watch& watch) const;

    int m_wakeFd = -1;
    mutable std::mutex m_postLock;
    std::deque<Posted> m_posted;
    std::vector<Watch> m_watchers;
    uint64_t m_nextWatchSerial = 1;
    std::vector<Timer> m_timers;
    unsigned m_nextTimerId = 1;
    // One per level of nesting; a deque, so that a nested level never
    // moves an outer one.
    std::deque<TurnBuffers> m_turns;
    size_t m_depth = 0;
};

}  // namespace platform
