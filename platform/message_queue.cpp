#include "platform/message_queue.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace platform {
namespace {
thread_local MessageQueue* t_current = nullptr;
}

MessageQueue::MessageQueue()
{
    m_wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

MessageQueue::~MessageQueue()
{
    if (t_current == this)
        t_current = nullptr;
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

MessageQueue* MessageQueue::Current() { return t_current; }

void MessageQueue::Bind() { t_current = this; }

void MessageQueue::Post(unsigned message, uintptr_t wParam)
{
    {
        std::lock_guard<std::mutex> guard(m_postLock);
        m_posted.push_back({message, wParam});
    }
    // The owner thread posts from inside a handler, and Run takes the queue
    // right after the handler returns: waking its own poll would only cost
    // a write and two reads. WM_QUIT still wakes it, so that a wait inside a
    // command (PumpEvents) sees the session end at once.
    if (t_current == this && message != WM_QUIT)
        return;
    const uint64_t one = 1;
    ssize_t ignored = ::write(m_wakeFd, &one, sizeof one);
    (void)ignored;
}

bool MessageQueue::QuitPending() const
{
    std::lock_guard<std::mutex> guard(m_postLock);
    return std::any_of(m_posted.begin(), m_posted.end(),
                       [](const Posted& p) { return p.message == WM_QUIT; });
}

int MessageQueue::Run(const MessageHandler& onMessage)
{
    Bind();
    for (;;) {
        bool havePosted;
        {
            std::lock_guard<std::mutex> guard(m_postLock);
            havePosted = !m_posted.empty();
        }
        WaitAndDispatch(havePosted ? 0 : -1);
        for (;;) {
            Posted next;
            {
                std::lock_guard<std::mutex> guard(m_postLock);
                if (m_posted.empty())
                    break;
                next = m_posted.front();
                m_posted.pop_front();
            }
            if (next.message == WM_QUIT)
                return static_cast<int>(next.wParam);
            if (onMessage)
                onMessage(next.message, next.wParam);
        }
    }
}

void MessageQueue::PumpEvents(int maxWaitMs)
{
    WaitAndDispatch(std::max(0, maxWaitMs));
}

unsigned MessageQueue::SetTimer(unsigned periodMs, TimerProc proc)
{
    const unsigned id = m_nextTimerId++;
    const auto period = std::chrono::milliseconds(std::max(1u, periodMs));
    m_timers.push_back({id, period, Clock::now() + period, std::move(proc)});
    return id;
}

void MessageQueue::KillTimer(unsigned timerId)
{
    std::erase_if(m_timers, [timerId](const Timer& t) { return t.id == timerId; });
}

void MessageQueue::AddWatcher(SocketWatcher* watcher)
{
    RemoveWatcher(watcher);
    m_watchers.push_back({watcher, m_nextWatchSerial++});
}

void MessageQueue::RemoveWatcher(SocketWatcher* watcher)
{
    std::erase_if(m_watchers, [watcher](const Watch& w) { return w.watcher == watcher; });
}

int MessageQueue::MillisecondsToNextTimer(int cap) const
{
    if (m_timers.empty())
        return cap;
    const auto now = Clock::now();
    auto soonest = m_timers.front().due;
    for (const Timer& t : m_timers)
        soonest = std::min(soonest, t.due);
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(soonest - now).count();
    const int ms = static_cast<int>(std::clamp<long long>(wait, 0, INT_MAX));
    return cap < 0 ? ms : std::min(cap, ms);
}

void MessageQueue::WaitAndDispatch(int maxWaitMs)
{
    // The poll set is kept between turns, one per nesting level (a handler
    // may pump events while its own turn is dispatched): once grown, a turn
    // allocates nothing.
    if (m_turns.size() <= m_depth)
        m_turns.emplace_back();
    ++m_depth;
    PollAndDispatch(m_turns[m_depth - 1], maxWaitMs);
    --m_depth;
    DispatchTimers();
}

void MessageQueue::PollAndDispatch(TurnBuffers& turn, int maxWaitMs)
{
    std::vector<pollfd>& fds = turn.fds;
    std::vector<Watch>& polled = turn.polled;
    fds.clear();
    polled.clear();
    fds.push_back({m_wakeFd, POLLIN, 0});
    bool buffered = false;
    for (const Watch& w : m_watchers) {
        const short wanted = w.watcher->WantedEvents();
        if (wanted == 0 || w.watcher->WatchedHandle() < 0)
            continue;
        fds.push_back({w.watcher->WatchedHandle(), wanted, 0});
        polled.push_back(w);
        buffered = buffered || ((wanted & POLLIN) && w.watcher->HasBufferedInput());
    }
    const int timeout = buffered ? 0 : MillisecondsToNextTimer(maxWaitMs);
    int ready = ::poll(fds.data(), fds.size(), timeout);
    if (buffered) {
        for (size_t i = 0; i < polled.size(); ++i)
            if ((fds[i + 1].events & POLLIN) && polled[i].watcher->HasBufferedInput()) {
                fds[i + 1].revents |= POLLIN;
                ready = std::max(ready, 1);
            }
    }
    if (ready > 0) {
        if (fds[0].revents)
            DrainWakeup();
        DispatchSockets(fds, polled);
    }
}

void MessageQueue::DrainWakeup()
{
    uint64_t count;
    while (::read(m_wakeFd, &count, sizeof count) > 0) {
    }
}

// Still the same registration: a watcher that a handler closed, destroyed
// or replaced meanwhile (even by a new one at the same address) is skipped.
bool MessageQueue::IsWatched(const Watch& watch) const
{
    return std::any_of(m_watchers.begin(), m_watchers.end(), [&watch](const Watch& w) {
        return w.watcher == watch.watcher && w.serial == watch.serial;
    });
}

void MessageQueue::DispatchSockets(const std::vector<pollfd>& fds, const std::vector<Watch>& polled)
{
    for (size_t i = 0; i < polled.size(); ++i) {
        const pollfd& p = fds[i + 1];
        if (p.revents == 0 || !IsWatched(polled[i]))
            continue;
        polled[i].watcher->OnReady(p.revents);
    }
}

void MessageQueue::DispatchTimers()
{
    const auto now = Clock::now();
    std::vector<unsigned> due;
    for (const Timer& t : m_timers)
        if (t.due <= now)
            due.push_back(t.id);
    for (unsigned id : due) {
        auto it = std::find_if(m_timers.begin(), m_timers.end(),
                               [id](const Timer& t) { return t.id == id; });
        if (it == m_timers.end())
            continue;  // killed by an earlier callback
        it->due = now + it->period;
        TimerProc proc = it->proc;  // the callback may kill its own timer
        proc(id);
    }
}

}  // namespace platform
