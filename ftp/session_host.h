// What a session needs from whoever runs it: the settings in force, its
// clock of activity, its end, the discard of a finished data connection, the
// outcome of uploads and of logins, and the loop to serve while a data
// connection is awaited. The connection thread is the host; a test may bring
// its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "ftp/server_settings.h"

namespace platform {
class MessageQueue;
}

class SessionHost {
public:
    // A copy of the settings as they are now (they may change between calls).
    virtual std::shared_ptr<const ServerSettings> Settings() const = 0;
    virtual std::string GoodbyeMessage() const = 0;
    // The client did something: restart the idle period.
    virtual void Touch() = 0;
    // From here on the session no longer holds its place.
    virtual void MarkEnding() = 0;
    // The session is over: the control connection closes and the loop ends.
    virtual void EndSession(int exitCode) = 0;
    // Discards the data connection with this serial once the running handler
    // has returned; a newer one is left alone.
    virtual void PostDiscard(unsigned serial) = 0;
    virtual void FileStored(const std::string& localPath, uint64_t bytes) = 0;
    virtual void UploadFailed(const std::string& localPath) = 0;
    // The session's own loop, served while a command waits for its data
    // connection.
    virtual platform::MessageQueue& Queue() = 0;

    // Logins from the client's address, kept by the host across sessions.
    // How long the reply to a login attempt must wait; zero: check it now,
    // then tell its outcome. A host without a record waits for nothing.
    virtual std::chrono::milliseconds LoginTurn(const std::string& /*address*/) { return {}; }
    // Undecided: no password was judged (a known name, or PASS before USER).
    enum class LoginOutcome { Failed, Undecided, LoggedIn };
    virtual void LoginAttempted(const std::string& /*address*/, const std::string& /*user*/, LoginOutcome)
    {
    }

protected:
    ~SessionHost() = default;
};
