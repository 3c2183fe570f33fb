#include "platform/stop_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/main_thread.h"

namespace platform {
namespace {

int g_pipe[2] = {-1, -1};

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
}

StopSignalWatcher::~StopSignalWatcher()
{
    if (!m_pWatch)
        return;
    SetHandler(SIGTERM, SIG_DFL);
    SetHandler(SIGINT, SIG_DFL);
    m_pWatch.reset();
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

}  // namespace platform
