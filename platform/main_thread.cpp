#include "platform/main_thread.h"

#include <QEventLoop>
#include <QMetaObject>
#include <QThread>
#include <QTimer>

namespace platform {

void CallOnThreadOf(QObject* context, const std::function<void()>& fn)
{
    if (QThread::currentThread() == context->thread()) {
        fn();
        return;
    }
    QMetaObject::invokeMethod(context, [&fn] { fn(); }, Qt::BlockingQueuedConnection);
}

void PostToThreadOf(QObject* context, std::function<void()> fn)
{
    QMetaObject::invokeMethod(context, std::move(fn), Qt::QueuedConnection);
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
