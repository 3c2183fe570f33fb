#include "platform/message_box.h"

#include <cstdio>
#include <mutex>

namespace platform {
namespace {

std::mutex g_handlerLock;
MessageBoxHandler g_handler;

MessageResult WriteToStandardError(const std::string& text, MessageIcon, MessageButtons buttons)
{
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
    return buttons == MessageButtons::YesNo ? MessageResult::Yes : MessageResult::Ok;
}

}  // namespace

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler)
{
    std::lock_guard<std::mutex> guard(g_handlerLock);
    MessageBoxHandler previous = std::move(g_handler);
    g_handler = std::move(handler);
    return previous;
}

MessageResult AfxMessageBox(const std::string& text, MessageIcon icon, MessageButtons buttons)
{
    MessageBoxHandler handler;
    {
        std::lock_guard<std::mutex> guard(g_handlerLock);
        handler = g_handler;
    }
    if (!handler)
        return WriteToStandardError(text, icon, buttons);
    return handler(text, icon, buttons);
}

void ShowNotice(const std::string& text, MessageIcon icon)
{
    AfxMessageBox(text, icon, MessageButtons::Notice);
}

}  // namespace platform
