// The main thread's loop and the calls worker threads make into it, in place
// of the Windows message loop, of SendMessage and PostMessage to a hidden
// window that the main thread owns, and of that window's timers and socket
// notifications.
//
// The loop comes in two builds, chosen when a program is linked: on Qt's
// event loop for the desktop program (main_loop_qt.cpp), and on our own
// MessageQueue for the server without a desktop (main_loop_posix.cpp), which
// then loads no Qt at all. The mailbox of cross-thread calls is common to
// both (main_thread.cpp).
#pragma once

#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace platform {

// A receiver owned by the thread that made it: the target of cross-thread
// calls, and a source of activity for waits (the server's notification sink).
class WaitActivity {
public:
    WaitActivity();
    ~WaitActivity();
    WaitActivity(const WaitActivity&) = delete;
    WaitActivity& operator=(const WaitActivity&) = delete;

    // Owner thread: every wait on this receiver looks at its condition again.
    void Signal();

    std::thread::id OwnerThread() const { return m_owner; }

    // How the build's loop wakes the owner thread for queued calls.
    struct Bell;
    Bell& GetBell() { return *m_bell; }

    // Owner thread: a wait hears of activity while it is listening.
    using Listener = std::function<void()>;
    void AddListener(Listener* listener);
    void RemoveListener(Listener* listener);

private:
    const std::thread::id m_owner;
    std::unique_ptr<Bell> m_bell;
    std::vector<Listener*> m_listeners;
};

// Runs fn on the thread of `context` and returns once it has run. Called on
// that thread itself, it simply runs fn. The target thread must be
// dispatching events (its loop, or a nested wait that dispatches).
void CallOnThreadOf(WaitActivity* context, const std::function<void()>& fn);

// Queues fn to run on the thread of `context` and returns at once.
void PostToThreadOf(WaitActivity* context, std::function<void()> fn);

// Runs the calls queued to the calling thread now, without waiting for more:
// the last words of workers that ended just before the loop stops.
void DeliverPendingCalls();

// Drops queued calls to `context` that have not run yet (before it goes).
void DiscardPendingCalls(WaitActivity* context);

// Dispatches the calling thread's events until done() is true, or until
// quietMs pass without `wakeups` signalling activity; the wait with message
// dispatch of the design. True when done, false on time-out.
bool WaitWithMessageLoop(const std::function<bool()>& done, WaitActivity* wakeups, int quietMs);

// Readiness to read of one descriptor, served by the main thread's loop
// (a socket notification of the hidden window). Main thread only.
class ReadWatch {
public:
    ReadWatch(int fd, std::function<void()> onReadable);
    ~ReadWatch();
    ReadWatch(const ReadWatch&) = delete;
    ReadWatch& operator=(const ReadWatch&) = delete;

    // No notifications for ms, then they resume: for a descriptor that stays
    // ready while nothing can be done about it (a listener out of handles).
    void PauseFor(int ms);

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

// A callback every periodMs on the main thread's loop while the object
// lives (a thread timer of the hidden window). Main thread only; the
// callback may destroy the timer.
class RepeatingTimer {
public:
    RepeatingTimer(int periodMs, std::function<void()> onTick);
    ~RepeatingTimer();
    RepeatingTimer(const RepeatingTimer&) = delete;
    RepeatingTimer& operator=(const RepeatingTimer&) = delete;

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

// True when the main loop can dispatch (with Qt: once the application
// object exists; our own loop always can).
bool MainLoopExists();
// Main thread: runs the loop until QuitMainLoop; returns its exit code.
int RunMainLoop();
// Any thread: ends RunMainLoop with exitCode.
void QuitMainLoop(int exitCode);

}  // namespace platform
