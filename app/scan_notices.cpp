#include "app/scan_notices.h"

#include <filesystem>

#include "ftp/path_util.h"
#include "platform/message_box.h"

std::string ScanNoticeText(const ScanEvent& event)
{
    switch (event.kind) {
    case ScanEvent::Kind::SessionEnded:
        return "스캔 파일 " + std::to_string(event.storedFiles) + "개를 받았습니다.\n" +
               EscapeControlCharacters(event.path);
    case ScanEvent::Kind::UploadFailed:
        return "스캔 파일을 받지 못했습니다: " +
               EscapeControlCharacters(std::filesystem::path(event.path).filename().string());
    case ScanEvent::Kind::LoginFailed:
        if (event.failures >= kLoginFailuresNoticed)
            return "로그인 실패가 반복되고 있습니다: " + event.address;
        break;
    case ScanEvent::Kind::FileStored:
        break;  // the session's end sums them up
    }
    return {};
}

bool LoginNoticeGate::Admit(const std::string& address, std::time_t now)
{
    std::erase_if(m_shownAt, [now](const auto& shown) { return now - shown.second >= kQuietSeconds; });
    if (m_shownAt.size() >= kMaxAddresses)
        return false;  // thousands of notices within the hour say enough
    return m_shownAt.emplace(address, now).second;
}

void ShowScanNotice(const ScanEvent& event)
{
    static LoginNoticeGate loginNotices;  // main thread only, like the listener
    const std::string text = ScanNoticeText(event);
    if (text.empty())
        return;
    if (event.kind == ScanEvent::Kind::LoginFailed && !loginNotices.Admit(event.address, event.time))
        return;
    const bool failed = event.kind != ScanEvent::Kind::SessionEnded;
    platform::ShowNotice(text, failed ? platform::MessageIcon::Warning : platform::MessageIcon::Information);
}

std::string ScanNoticeFolder(const ScanEvent& event)
{
    switch (event.kind) {
    case ScanEvent::Kind::SessionEnded:
        return event.path;
    case ScanEvent::Kind::UploadFailed:
        return std::filesystem::path(event.path).parent_path().string();
    case ScanEvent::Kind::FileStored:
    case ScanEvent::Kind::LoginFailed:
        break;
    }
    return {};
}
