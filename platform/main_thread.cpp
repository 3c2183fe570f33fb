#include "platform/main_thread.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/main_thread_bell.h"

namespace platform {
namespace {

// Calls cross threads through this mailbox under a std::mutex, so that the
// hand-over is plain to see (for readers and for thread sanitizers alike);
// the loop's bell only carries the wake-up.
struct PendingCall {
    WaitActivity* context;
    std::function<void()> fn;
    bool synchronous;
    bool done = false;
};

// Never destroyed: a worker may still hand in its last call while the
// process is ending.
std::mutex& g_lock = *new std::mutex;
std::condition_variable& g_finished = *new std::condition_variable;
std::deque<PendingCall*>& g_pending = *new std::deque<PendingCall*>;

PendingCall* TakeCallFor(std::thread::id thread)
{
    std::lock_guard<std::mutex> guard(g_lock);
    const auto it = std::find_if(g_pending.begin(), g_pending.end(), [thread](PendingCall* call) {
        return call->context->OwnerThread() == thread;
    });
    if (it == g_pending.end())
        return nullptr;
    PendingCall* call = *it;
    g_pending.erase(it);
    return call;
}

void Enqueue(PendingCall* call)
{
    // The bell is rung while the call is held in the mailbox: once out of
    // it, the call belongs to the target thread, which (woken by an earlier
    // bell) may run it at once; a worker's last word may let the receiver
    // itself be destroyed then, bell and all.
    std::lock_guard<std::mutex> guard(g_lock);
    g_pending.push_back(call);
    RingBell(*call->context);
}

}  // namespace

void RunPendingCalls()
{
    const std::thread::id self = std::this_thread::get_id();
    while (PendingCall* call = TakeCallFor(self)) {
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

void DeliverPendingCalls()
{
    RunPendingCalls();
}

void WaitActivity::Signal()
{
    // A listener may go (its wait ends) while the others are told.
    const std::vector<Listener*> listeners = m_listeners;
    for (Listener* listener : listeners)
        if (std::find(m_listeners.begin(), m_listeners.end(), listener) != m_listeners.end())
            (*listener)();
}

void WaitActivity::AddListener(Listener* listener) { m_listeners.push_back(listener); }

void WaitActivity::RemoveListener(Listener* listener) { std::erase(m_listeners, listener); }

void CallOnThreadOf(WaitActivity* context, const std::function<void()>& fn)
{
    if (std::this_thread::get_id() == context->OwnerThread()) {
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

}  // namespace platform
