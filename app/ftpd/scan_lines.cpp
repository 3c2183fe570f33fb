#include "app/ftpd/scan_lines.h"

#include <cinttypes>
#include <ctime>

#include "ftp/path_util.h"
#include "platform/handles.h"

// The lines are written on the main thread, which the connection threads
// wait for: a reader that stops reading (a pipe nobody drains) costs lines,
// never the server. A line is far shorter than what a writable pipe takes.
void PrintScanEvent(const ScanEvent& event, std::FILE* out)
{
    if (event.kind == ScanEvent::Kind::SessionEnded || !platform::HasRoomToWrite(out))
        return;
    // A name is the client's text: a line feed in it must not forge a line.
    const std::string path = EscapeControlCharacters(event.path);
    char when[32] = "";
    std::tm local{};
    if (localtime_r(&event.time, &local))
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
    switch (event.kind) {
    case ScanEvent::Kind::FileStored:
        std::fprintf(out, "%s stored %" PRIu64 " bytes %s\n", when, event.bytes, path.c_str());
        break;
    case ScanEvent::Kind::UploadFailed:
        std::fprintf(out, "%s upload failed %s\n", when, path.c_str());
        break;
    case ScanEvent::Kind::SessionEnded:
        break;
    }
    std::fflush(out);
}
