#include "app/ftpd/scan_lines.h"

#include <cinttypes>
#include <ctime>

void PrintScanEvent(const ScanEvent& event, std::FILE* out)
{
    char when[32] = "";
    std::tm local{};
    if (localtime_r(&event.time, &local))
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
    switch (event.kind) {
    case ScanEvent::Kind::FileStored:
        std::fprintf(out, "%s stored %" PRIu64 " bytes %s\n", when, event.bytes, event.path.c_str());
        break;
    case ScanEvent::Kind::UploadFailed:
        std::fprintf(out, "%s upload failed %s\n", when, event.path.c_str());
        break;
    case ScanEvent::Kind::SessionEnded:
        return;
    }
    std::fflush(out);
}
