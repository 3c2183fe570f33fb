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
    case ScanEvent::Kind::FileStored:
        break;  // the session's end sums them up
    }
    return {};
}

void ShowScanNotice(const ScanEvent& event)
{
    const std::string text = ScanNoticeText(event);
    if (text.empty())
        return;
    const bool failed = event.kind == ScanEvent::Kind::UploadFailed;
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
        break;
    }
    return {};
}
