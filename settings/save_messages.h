// Showing a failure of the save sequence.
#pragma once

#include "platform/message_box.h"
#include "platform/registry_errors.h"

#include <string>

// The message with its "%d" replaced by the failed call's result code.
inline std::string WithResultCode(std::string text, platform::RegStatus code)
{
    const std::size_t at = text.find("%d");
    if (at != std::string::npos)
        text.replace(at, 2, std::to_string(code));
    return text;
}

inline bool ShowSaveFailure(const std::string& text)
{
    platform::AfxMessageBox(text, platform::MessageIcon::Error, platform::MessageButtons::Ok);
    return false;
}
