// The one way a text reaches the user of the PC (AfxMessageBox in the design).
// The desktop program shows these as message boxes; lumbra-ftpd writes them on
// standard error; tests capture them.
#pragma once

#include <functional>
#include <string>

namespace platform {

enum class MessageIcon { None, Error, Warning, Information, Question };
// Notice: no button and nobody waits; shown in passing where the desktop
// can (a tray notification), else dropped. Its caption is the program's name.
enum class MessageButtons { Ok, YesNo, Notice };
enum class MessageResult { Ok, Yes, No };

using MessageBoxHandler =
    std::function<MessageResult(const std::string& text, MessageIcon icon, MessageButtons buttons)>;

// Replaces the handler for the whole process; returns the previous one.
// An empty handler restores the default (standard error, answer Ok / Yes).
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);

// Safe to call from any thread; the handler runs on the calling thread.
MessageResult AfxMessageBox(const std::string& text, MessageIcon icon = MessageIcon::None,
                            MessageButtons buttons = MessageButtons::Ok);

// A notice through the same handler (MessageButtons::Notice); returns at once.
void ShowNotice(const std::string& text, MessageIcon icon = MessageIcon::Information);

}  // namespace platform
