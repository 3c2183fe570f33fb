// What happened to the scans a client sent, and failed logins: reported by
// the connection threads, delivered on the main thread to whoever shows them
// (the tray notices, or lumbra-ftpd's lines on standard output).
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

struct ScanEvent {
    enum class Kind { FileStored, UploadFailed, SessionEnded, LoginFailed };
    Kind kind = Kind::FileStored;
    // The file (FileStored, UploadFailed), or for SessionEnded the folder
    // of the session's last stored file.
    std::string path;
    uint64_t bytes = 0;   // FileStored: the file's size
    int storedFiles = 0;  // SessionEnded: at least 1
    // LoginFailed: the name the client gave, as it gave it (unescaped), its
    // address, and the address's consecutive failures so far.
    std::string user;
    std::string address;
    int failures = 0;
    std::time_t time = 0;
};

using ScanListener = std::function<void(const ScanEvent&)>;
