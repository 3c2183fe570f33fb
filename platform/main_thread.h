// Calls from a worker thread into the main (user-interface) thread, in place
// of SendMessage and PostMessage to a window that the main thread owns.
#pragma once

#include <QObject>
#include <functional>

namespace platform {

// A hidden receiver owned by the main thread: the target of cross-thread
// calls, and a signal of activity for waits (the server's notification sink).
class WaitActivity : public QObject {
    Q_OBJECT
public:
    bool event(QEvent* e) override;
signals:
    void activity();
};

// Runs fn on the thread of `context` and returns once it has run. Called on
// that thread itself, it simply runs fn. The target thread must be
// dispatching events (its loop, or a nested wait that dispatches).
void CallOnThreadOf(WaitActivity* context, const std::function<void()>& fn);

// Queues fn to run on the thread of `context` and returns at once.
void PostToThreadOf(WaitActivity* context, std::function<void()> fn);

// Drops queued calls to `context` that have not run yet (before it goes).
void DiscardPendingCalls(WaitActivity* context);

// Dispatches the calling thread's events until done() is true, or until
// quietMs pass without `wakeups` signalling activity; the wait with message
// dispatch of the design. True when done, false on time-out.
bool WaitWithMessageLoop(const std::function<bool()>& done, WaitActivity* wakeups, int quietMs);

}  // namespace platform
