// Shows the program's messages (platform::AfxMessageBox) as message boxes
// captioned with the application's name, and its notices through a sink the
// application provides (the tray icon).
#pragma once

#include <QString>
#include <functional>

#include "platform/message_box.h"

void InstallQtMessageBoxes();

// Where notices go, on the main thread; none (the default): they are dropped.
using NoticeSink = std::function<void(const QString& text, platform::MessageIcon icon)>;
void SetNoticeSink(NoticeSink sink);
