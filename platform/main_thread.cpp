#include "platform/main_thread.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace platform {
namespace {

// Calls cross threads through this mailbox under a std::mutex, so that the
// hand-over is plain to see (for readers and for thread sanitizers alike);
// Qt's event queue only carries the wake-up.
struct PendingCall {
    QObject* context;
    std::function<void()> fn;
    bool synchronous;
    bool done = false;
};

// Never destroyed: a worker may still hand in its last call while the
// process is ending.
std::mutex& g_lock = *new std::mutex;
std::condition_variable& g_finished = *new std::condition_variable;
std::deque<PendingCall*>& g_pending = *new std::deque<PendingCall*>;

void RunPendingCalls(QThread* thread)
{
    for (;;) {
        PendingCall* call = nullptr;
        {
            std::lock_guard<std::mutex> guard(g_lock);
            for (auto it = g_pending.begin(); it != g_pending.end(); ++it) {
                if ((*it)->context->thread() == thread) {
                    call = *it;
                    g_pending.erase(it);
                    break;
                }
            }
        }
        if (!call)
            return;
        call->fn();
        if (!call->synchronous) {
            delete call;
            continue;
        }
        std::lock_guard<std::mutex> guard(g_lock);
        call->done = true;
        g_finished.notify_all();
    }
}

void Enqueue(PendingCall* call)
{
    // Once in the mailbox the call belongs to the target thread: woken by an
    // earlier call's event it may run and free this one at once.
    QObject* const context = call->context;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_pending.push_back(call);
    }
    QCoreApplication::postEvent(context, new QEvent(QEvent::User));
}

}  // namespace

// The context object receives the wake-up event; it forwards to the mailbox.
bool WaitActivity::event(QEvent* e)
{
    if (e->type() == QEvent::User) {
        RunPendingCalls(thread());
        return true;
    }
    return QObject::event(e);
}

void CallOnThreadOf(WaitActivity* context, const std::function<void()>& fn)
{
    if (QThread::currentThread() == context->thread()) {
        fn();
        return;
    }
    PendingCall call{context, fn, true};
    Enqueue(&call);
    std::unique_lock<std::mutex> guard(g_lock);
    g_finished.wait(guard, [&call] { return call.done; });
}

void PostToThreadOf(WaitActivity* context, std::function<void()> fn)
{
    Enqueue(new PendingCall{context, std::move(fn), false});
}

void DiscardPendingCalls(WaitActivity* context)
{
    std::lock_guard<std::mutex> guard(g_lock);
    std::erase_if(g_pending, [context](PendingCall* call) {
        if (call->context != context || call->synchronous)
            return false;
        delete call;
        return true;
    });
}

bool WaitWithMessageLoop(const std::function<bool()>& done, WaitActivity* wakeups, int quietMs)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer quiet;
    quiet.setSingleShot(true);
    QObject::connect(&quiet, &QTimer::timeout, &loop, [&loop] { loop.exit(1); });
    QObject::connect(wakeups, &WaitActivity::activity, &loop, [&] {
        if (done())
            loop.exit(0);
        else
            quiet.start(quietMs);
    });
    quiet.start(quietMs);
    if (done())
        return true;
    return loop.exec() == 0 || done();
}

}  // namespace platform
