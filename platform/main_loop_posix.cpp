// The main thread's loop on our own MessageQueue: the build for the server
// without a desktop, which so needs no Qt at all (and keeps its resident
// memory to what it uses).
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>

#include "platform/main_thread.h"
#include "platform/main_thread_bell.h"
#include "platform/message_queue.h"

namespace platform {
namespace {

// The main thread's queue; never destroyed, as workers may post to it
// while the process ends.
MessageQueue& MainQueue()
{
    static MessageQueue& queue = *new MessageQueue;
    return queue;
}

// One bell for the main thread: an eventfd its loop watches. Every receiver
// of this build belongs to the main thread.
class MainBell : public SocketWatcher {
public:
    MainBell() : m_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) { MainQueue().AddWatcher(this); }
    int WatchedHandle() const override { return m_fd; }
    short WantedEvents() const override { return POLLIN; }
    void OnReady(short) override
    {
        uint64_t count;
        while (::read(m_fd, &count, sizeof count) > 0) {
        }
        RunPendingCalls();
    }
    void Ring()
    {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_fd, &one, sizeof one);
    }

private:
    const int m_fd;
};

MainBell& TheBell()
{
    static MainBell& bell = *new MainBell;
    return bell;
}

}  // namespace

struct WaitActivity::Bell {};

WaitActivity::WaitActivity() : m_owner(std::this_thread::get_id()), m_bell(std::make_unique<Bell>())
{
    TheBell();  // made on the owner (main) thread, watched by its queue
}

WaitActivity::~WaitActivity() = default;

void RingBell(WaitActivity&) { TheBell().Ring(); }

bool WaitWithMessageLoop(const std::function<bool()>& done, WaitActivity* wakeups, int quietMs)
{
    using Clock = std::chrono::steady_clock;
    const auto quiet = std::chrono::milliseconds(quietMs);
    auto deadline = Clock::now() + quiet;
    WaitActivity::Listener heard = [&] { deadline = Clock::now() + quiet; };
    wakeups->AddListener(&heard);
    while (!done()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            break;
        MainQueue().PumpEvents(static_cast<int>(left.count()));
    }
    wakeups->RemoveListener(&heard);
    return done();
}

struct ReadWatch::Impl : SocketWatcher {
    int fd;
    std::function<void()> onReadable;
    unsigned pauseTimer = 0;

    int WatchedHandle() const override { return fd; }
    short WantedEvents() const override { return pauseTimer ? 0 : POLLIN; }
    void OnReady(short) override { onReadable(); }
};

ReadWatch::ReadWatch(int fd, std::function<void()> onReadable) : m_impl(std::make_unique<Impl>())
{
    m_impl->fd = fd;
    m_impl->onReadable = std::move(onReadable);
    MainQueue().AddWatcher(m_impl.get());
}

ReadWatch::~ReadWatch()
{
    if (m_impl->pauseTimer)
        MainQueue().KillTimer(m_impl->pauseTimer);
    MainQueue().RemoveWatcher(m_impl.get());
}

void ReadWatch::PauseFor(int ms)
{
    if (m_impl->pauseTimer)
        return;
    Impl* const impl = m_impl.get();
    impl->pauseTimer = MainQueue().SetTimer(static_cast<unsigned>(ms), [impl](unsigned id) {
        MainQueue().KillTimer(id);
        impl->pauseTimer = 0;
    });
}

struct RepeatingTimer::Impl {
    unsigned id = 0;
};

RepeatingTimer::RepeatingTimer(int periodMs, std::function<void()> onTick) : m_impl(std::make_unique<Impl>())
{
    m_impl->id = MainQueue().SetTimer(static_cast<unsigned>(periodMs), [onTick = std::move(onTick)](unsigned) {
        onTick();
    });
}

// The queue runs a copy of the callback, so killing it from inside is safe.
RepeatingTimer::~RepeatingTimer()
{
    MainQueue().KillTimer(m_impl->id);
}

bool MainLoopExists() { return true; }

int RunMainLoop() { return MainQueue().Run(nullptr); }

void QuitMainLoop(int exitCode) { MainQueue().Post(WM_QUIT, static_cast<uintptr_t>(exitCode)); }

}  // namespace platform
