#include "app/qt_message_box.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

#include "platform/message_box.h"

using namespace platform;

namespace {

QMessageBox::Icon ToQtIcon(MessageIcon icon)
{
    switch (icon) {
    case MessageIcon::Error:
        return QMessageBox::Critical;
    case MessageIcon::Warning:
        return QMessageBox::Warning;
    case MessageIcon::Information:
        return QMessageBox::Information;
    case MessageIcon::Question:
        return QMessageBox::Question;
    case MessageIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

MessageResult ShowOnThisThread(const std::string& text, MessageIcon icon, MessageButtons buttons)
{
    const bool yesNo = buttons == MessageButtons::YesNo;
    QMessageBox box(ToQtIcon(icon), QCoreApplication::applicationName(), QString::fromStdString(text),
                    yesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok,
                    QApplication::activeWindow());
    const int answer = box.exec();
    if (!yesNo)
        return MessageResult::Ok;
    return answer == QMessageBox::Yes ? MessageResult::Yes : MessageResult::No;
}

NoticeSink& Sink()
{
    static NoticeSink sink;
    return sink;
}

// Never waits: the notice is handed to the main thread's queue.
void PassNotice(const std::string& text, MessageIcon icon)
{
    QMetaObject::invokeMethod(
        qApp,
        [text, icon] {
            if (Sink())
                Sink()(QString::fromStdString(text), icon);
        },
        Qt::QueuedConnection);
}

}  // namespace

void SetNoticeSink(NoticeSink sink)
{
    Sink() = std::move(sink);
}

void InstallQtMessageBoxes()
{
    SetMessageBoxHandler([](const std::string& text, MessageIcon icon, MessageButtons buttons) {
        if (buttons == MessageButtons::Notice) {
            PassNotice(text, icon);
            return MessageResult::Ok;
        }
        if (QThread::currentThread() == qApp->thread())
            return ShowOnThisThread(text, icon, buttons);
        // Widgets live on the main thread only. A connection thread only
        // reports (an OK box): it must not wait for the user, nor for a main
        // thread that may itself be waiting for that connection to end.
        if (buttons == MessageButtons::Ok) {
            QMetaObject::invokeMethod(qApp, [text, icon] { ShowOnThisThread(text, icon, MessageButtons::Ok); },
                                      Qt::QueuedConnection);
            return MessageResult::Ok;
        }
        MessageResult result = MessageResult::Ok;
        QMetaObject::invokeMethod(
            qApp, [&] { result = ShowOnThisThread(text, icon, buttons); }, Qt::BlockingQueuedConnection);
        return result;
    });
}
