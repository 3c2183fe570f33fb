#include "app/ftpd/scan_lines.h"

#include <algorithm>
#include <cinttypes>
#include <ctime>
#include <string>

#include "ftp/path_util.h"
#include "platform/codepage.h"
#include "platform/handles.h"

namespace {

// Longer names are cut: a line stays a line whatever the client sends.
constexpr size_t kLoggedNameBytes = 128;

bool IsContinuationByte(unsigned char c)
{
    return (c & 0xC0) == 0x80;
}

void AppendHex(std::string& text, unsigned char c)
{
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02X", c);
    text += hex;
}

// The name inside the double quotes of a journal line, so that no name can
// end the quotes or the line, or forge another line: " and \ get a
// backslash, and control characters (C0, DEL, and C1, which the journal
// would take for binary data) and bytes of a name that is not UTF-8 are
// written \xNN.
std::string EscapedLoginName(const std::string& name)
{
    size_t length = std::min(name.size(), kLoggedNameBytes);
    while (length < name.size() && length > 0 && IsContinuationByte(static_cast<unsigned char>(name[length])))
        --length;  // not inside a character
    const std::string kept = name.substr(0, length);
    const bool utf8 = platform::IsValidUtf8(kept);
    std::string escaped;
    for (size_t i = 0; i < kept.size(); ++i) {
        const auto c = static_cast<unsigned char>(kept[i]);
        if (utf8 && c == 0xC2 && static_cast<unsigned char>(kept[i + 1]) < 0xA0) {
            AppendHex(escaped, c);  // a C1 control character, both its bytes
            AppendHex(escaped, static_cast<unsigned char>(kept[++i]));
        } else if (c < 0x20 || c == 0x7F || (c >= 0x80 && !utf8)) {
            AppendHex(escaped, c);
        } else {
            if (c == '"' || c == '\\')
                escaped += '\\';
            escaped += static_cast<char>(c);
        }
    }
    return length < name.size() ? escaped + "..." : escaped;
}

}  // namespace

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
    case ScanEvent::Kind::LoginFailed:
        std::fprintf(out, "%s login failed for \"%s\" from %s\n", when, EscapedLoginName(event.user).c_str(),
                     event.address.c_str());
        break;
    case ScanEvent::Kind::SessionEnded:
        break;
    }
    std::fflush(out);
}
