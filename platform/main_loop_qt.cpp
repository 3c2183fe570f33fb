// The main thread's loop on Qt's event loop: the build for the desktop
// program, whose windows and tray run on that loop anyway.
#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

#include "platform/main_thread.h"
#include "platform/main_thread_bell.h"

namespace platform {

// A QObject living on the owner thread; a posted event wakes it for the
// mailbox.
struct WaitActivity::Bell : QObject {
    bool event(QEvent* e) override
    {
        if (e->type() != QEvent::User)
            return QObject::event(e);
        RunPendingCalls();
        return true;
    }
};

WaitActivity::WaitActivity() : m_owner(std::this_thread::get_id()), m_bell(std::make_unique<Bell>()) {}

WaitActivity::~WaitActivity() = default;

void RingBell(WaitActivity& context)
{
    QCoreApplication::postEvent(&context.GetBell(), new QEvent(QEvent::User));
}

bool WaitWithMessageLoop(const std::function<bool()>& done, WaitActivity* wakeups, int quietMs)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer quiet;
    quiet.setSingleShot(true);
    QObject::connect(&quiet, &QTimer::timeout, &loop, [&loop] { loop.exit(1); });
    WaitActivity::Listener heard = [&] {
        if (done())
            loop.exit(0);
        else
            quiet.start(quietMs);
    };
    wakeups->AddListener(&heard);
    quiet.start(quietMs);
    const bool finished = done() || loop.exec() == 0 || done();
    wakeups->RemoveListener(&heard);
    return finished;
}

struct ReadWatch::Impl {
    QSocketNotifier notifier;
    Impl(int fd) : notifier(fd, QSocketNotifier::Read) {}
};

ReadWatch::ReadWatch(int fd, std::function<void()> onReadable) : m_impl(std::make_unique<Impl>(fd))
{
    QObject::connect(&m_impl->notifier, &QSocketNotifier::activated,
                     [onReadable = std::move(onReadable)] { onReadable(); });
}

ReadWatch::~ReadWatch() = default;

void ReadWatch::PauseFor(int ms)
{
    QSocketNotifier* const notifier = &m_impl->notifier;
    notifier->setEnabled(false);
    QTimer::singleShot(ms, notifier, [notifier] { notifier->setEnabled(true); });
}

struct RepeatingTimer::Impl {
    QTimer* timer = new QTimer;
};

RepeatingTimer::RepeatingTimer(int periodMs, std::function<void()> onTick) : m_impl(std::make_unique<Impl>())
{
    QObject::connect(m_impl->timer, &QTimer::timeout, m_impl->timer, [onTick = std::move(onTick)] { onTick(); });
    m_impl->timer->start(periodMs);
}

// Deleted later: the timer may be the one whose tick is running now.
RepeatingTimer::~RepeatingTimer()
{
    m_impl->timer->stop();
    m_impl->timer->deleteLater();
}

bool MainLoopExists() { return QCoreApplication::instance() != nullptr; }

int RunMainLoop() { return QCoreApplication::exec(); }

void QuitMainLoop(int exitCode) { QCoreApplication::exit(exitCode); }

}  // namespace platform
