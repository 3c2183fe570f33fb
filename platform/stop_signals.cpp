#include "platform/stop_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/main_thread.h"

namespace platform {
namespace {

int g_pipe[2] = {-1, -1};
int g_tick = -1;

#if defined(__SANITIZE_THREAD__)
#define LUMBRA_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define LUMBRA_THREAD_SANITIZER 1
#endif
#endif

// The thread sanitizer holds a signal back until the thread's next call it
// intercepts, and a signal that arrives as the main loop goes into poll()
// can stay held there for good (seen once in some hundred starts and stops
// under load). A tick five times a second gives it that next call.
std::unique_ptr<ReadWatch> SanitizerTick()
{
#ifdef LUMBRA_THREAD_SANITIZER
    g_tick = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    const itimerspec every{{0, 200'000'000}, {0, 200'000'000}};
    if (g_tick < 0 || ::timerfd_settime(g_tick, 0, &every, nullptr) != 0)
        return nullptr;
    return std::make_unique<ReadWatch>(g_tick, [] {
        uint64_t expirations;
        [[maybe_unused]] const ssize_t got = ::read(g_tick, &expirations, sizeof expirations);
    });
#else
    return nullptr;
#endif
}

void OnStopSignal(int)
{
    const int savedErrno = errno;  // the interrupted code may be about to read it
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
    errno = savedErrno;
}

void SetHandler(int signal, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a call the signal interrupts returns, so that a loop
    // about to wait in poll() sees the byte in the pipe. (Under the thread
    // sanitizer, which runs handlers late, a restarted call left the stop
    // unseen now and then.)
    action.sa_flags = 0;
    ::sigaction(signal, &action, nullptr);
}

}  // namespace

StopSignalWatcher::StopSignalWatcher(std::function<void()> onStop)
{
    ::signal(SIGPIPE, SIG_IGN);
    if (g_pipe[0] >= 0 || ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_pWatch = std::make_unique<ReadWatch>(g_pipe[0], [onStop = std::move(onStop)] {
        char drained[64];
        while (::read(g_pipe[0], drained, sizeof drained) > 0) {
        }
        onStop();
    });
    SetHandler(SIGTERM, OnStopSignal);
    SetHandler(SIGINT, OnStopSignal);
    m_pSanitizerTick = SanitizerTick();
}

StopSignalWatcher::~StopSignalWatcher()
{
    if (!m_pWatch)
        return;
    SetHandler(SIGTERM, SIG_DFL);
    SetHandler(SIGINT, SIG_DFL);
    m_pWatch.reset();
    m_pSanitizerTick.reset();
    if (g_tick >= 0)
        ::close(g_tick);
    g_tick = -1;
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

}  // namespace platform
