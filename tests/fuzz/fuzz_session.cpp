// A whole session driven by fuzzed bytes: a real connection thread serves one
// end of a socket pair, the input is written to the other end, and the
// replies are read until the server hangs up. Properties: the session always
// ends (no stuck thread), every reply is a well-formed line, the count of
// users is back to zero, and nothing appears outside the home folder.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "server/connect_thread.h"
#include "server/ftp_server.h"
#include "session_properties.h"

namespace fs = std::filesystem;

namespace {

constexpr auto kSessionLimit = std::chrono::seconds(30);

struct World {
    fs::path root;
    fs::path home;
    CVeskFTPServer server;
};

World& TheWorld()
{
    static World* world = [] {
        auto* w = new World;
        w->root = fs::temp_directory_path() / ("lumbra-fuzz-session-" + std::to_string(::getpid()));
        fs::remove_all(w->root);
        w->home = w->root / "home";
        fs::create_directories(w->home);
        fs::create_directories(w->root / "outside");
        ServerSettings settings;
        settings.m_strHomePath = w->home.string();
        settings.m_bAnonymous = 0;
        settings.m_strUserID = "scan";
        settings.m_strPassword = "secret";
        w->server.SetSettings(settings);
        std::atexit([] { fs::remove_all(TheWorld().root); });
        return w;
    }();
    return *world;
}

// Writes the input, then half-closes, while reading every reply and keeping
// the main thread's events flowing; returns what the server sent.
std::string Converse(int fd, const uint8_t* data, size_t size)
{
    std::string replies;
    size_t written = 0;
    bool halfClosed = false;
    const auto deadline = std::chrono::steady_clock::now() + kSessionLimit;
    for (;;) {
        Require(std::chrono::steady_clock::now() < deadline, "the session never ended");
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (written < size) {
            const ssize_t n = ::send(fd, data + written, size - written, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0)
                written += static_cast<size_t>(n);
            else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                written = size;  // the server has hung up already
        }
        if (written == size && !halfClosed) {
            ::shutdown(fd, SHUT_WR);
            halfClosed = true;
        }
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0)
            replies.append(buffer, static_cast<size_t>(n));
        else if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
            return replies;
        pollfd wait{fd, POLLIN, 0};
        ::poll(&wait, 1, 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    TheWorld();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    World& w = TheWorld();
    // Each input is a client of its own: failed logins of earlier inputs
    // (all from the same unnamed address) must not slow it down.
    w.server.Throttle().Clear();
    int pair[2];
    Require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
    auto thread = std::make_shared<CVeskConnectThread>(&w.server, pair[0]);
    w.server.AddThread(thread);
    Require(thread->Begin(), "the connection thread did not start");
    const std::string replies = Converse(pair[1], data, size);
    ::close(pair[1]);
    Require(w.server.WaitForThreadsToEnd(10000), "a connection thread is stuck");
    Require(w.server.ThreadCount() == 0, "a thread is still listed");
    Require(w.server.UserCount() == 0, "the user count is " + std::to_string(w.server.UserCount()));
    Require(replies.rfind("220 ", 0) == 0, "no greeting");
    RequireWellFormedReplies(replies);
    RequireNothingOutside(w.root, w.home);
    for (const auto& entry : fs::directory_iterator(w.home))
        fs::remove_all(entry.path());
    return 0;
}
