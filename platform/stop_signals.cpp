#include "platform/stop_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

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
    m_pNotifier = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
    QObject::connect(m_pNotifier.get(), &QSocketNotifier::activated, [onStop = std::move(onStop)] {
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
    if (!m_pNotifier)
        return;
    SetHandler(SIGTERM, SIG_DFL);
    SetHandler(SIGINT, SIG_DFL);
    m_pNotifier.reset();
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

}  // namespace platform
