// Synchronous calls from a worker thread into the main (user-interface)
// thread, in place of SendMessage to a window that the main thread owns.
#pragma once

#include <QObject>
#include <functional>

namespace platform {

// Runs fn on the thread of `context` and returns once it has run. Called on
// that thread itself, it simply runs fn. The target thread must be
// dispatching events (its loop, or a nested wait that dispatches).
void CallOnThreadOf(QObject* context, const std::function<void()>& fn);

// Queues fn to run on the thread of `context` and returns at once.
void PostToThreadOf(QObject* context, std::function<void()> fn);

// Dispatches the calling (main) thread's events until done() is true or
// quietMs pass without `wakeups` emitting activity(); the MsgWaitForMultiple
// Objects loop of the design. True when done, false on time-out.
class WaitActivity : public QObject {
    Q_OBJECT
signals:
    void activity();
};
bool WaitWithMessageLoop(const std::function<bool()>& done, WaitActivity* wakeups, int quietMs);

}  // namespace platform
