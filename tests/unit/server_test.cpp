// The server object: start and stop, the one-client limit and its count.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cerrno>
#include <filesystem>

#include "server/ftp_server.h"

namespace {

ServerSettings LocalSettings(int port = 0)
{
    ServerSettings s;
    s.m_strBindAddress = "127.0.0.1";
    s.m_nPort = port;
    s.m_strHomePath = (std::filesystem::temp_directory_path() / "lumbra-server-test").string();
    return s;
}

// Keeps the main thread's events flowing until `done` or the time is up.
template <typename Predicate>
bool ServeUntil(Predicate done, int ms = 5000)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

int Connect(int port, int receiveBuffer = 0)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}

// Reads one reply line while the main thread keeps serving its events.
std::string ReadLine(int fd)
{
    std::string line;
    QElapsedTimer t;
    t.start();
    while (line.find("\r\n") == std::string::npos && t.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        char c;
        const ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT);
        if (n == 1)
            line += c;
        else if (n == 0)
            break;
    }
    return line;
}

// True once the server has closed the connection (end of stream, or a reset
// for bytes it never read); false when the 5 s pass without either.
bool ClosedByServer(int fd)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        char c;
        const ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno == ECONNRESET))
            return true;
    }
    return false;
}

}  // namespace

TEST(Server, StartTwiceAndStopWhenStoppedChangeNothing)
{
    CVeskFTPServer server;
    server.SetSettings(LocalSettings());
    server.Stop();
    EXPECT_FALSE(server.IsRunning());
    ASSERT_TRUE(server.Start());
    const int port = server.ListeningPort();
    EXPECT_FALSE(server.Start());
    EXPECT_EQ(server.ListeningPort(), port);
    server.Stop();
    EXPECT_FALSE(server.IsRunning());
    EXPECT_EQ(server.ListeningPort(), -1);
}

// The reason comes back with the failure, for the user's remedy.
TEST(Server, StartSaysWhyItFailsOnABusyPortOrAForeignAddress)
{
    CVeskFTPServer first, second;
    first.SetSettings(LocalSettings());
    ASSERT_TRUE(first.Start());
    EXPECT_TRUE(first.Start().alreadyRunning);
    second.SetSettings(LocalSettings(first.ListeningPort()));
    const StartResult busy = second.Start();
    EXPECT_EQ(busy.failure, ListenFailure::PortInUse);
    EXPECT_EQ(busy.error, EADDRINUSE);
    EXPECT_FALSE(second.IsRunning());

    for (const char* address : {"192.0.2.1", "", "not an address", "127.0.0.1.5"}) {
        ServerSettings s = LocalSettings();
        s.m_strBindAddress = address;
        second.SetSettings(s);
        const StartResult result = second.Start();
        EXPECT_FALSE(result) << address;
        EXPECT_EQ(result.failure, ListenFailure::AddressNotLocal) << address;
        EXPECT_FALSE(second.IsRunning());
    }
    first.Stop();
}

TEST(Server, OneClientIsServedTheNextIsRefusedAndTheCountComesBack)
{
    CVeskFTPServer server;
    server.SetSettings(LocalSettings());
    ASSERT_TRUE(server.Start());
    const int port = server.ListeningPort();

    const int first = Connect(port);
    EXPECT_EQ(ReadLine(first), "220 Welcome to Orvello\r\n");
    const int second = Connect(port);
    EXPECT_EQ(ReadLine(second), "421 Too many users are connected, please try again later.\r\n");
    EXPECT_TRUE(ClosedByServer(second));
    ::close(second);
    EXPECT_TRUE(ServeUntil([&] { return server.ThreadCount() == 1; }));
    EXPECT_EQ(server.UserCount(), 1);

    ::close(first);
    EXPECT_TRUE(ServeUntil([&] { return server.UserCount() == 0 && server.ThreadCount() == 0; }));
    const int third = Connect(port);
    EXPECT_EQ(ReadLine(third), "220 Welcome to Orvello\r\n");
    server.Stop();
    EXPECT_TRUE(ClosedByServer(third));
    EXPECT_EQ(server.UserCount(), 0);
    EXPECT_EQ(server.ThreadCount(), 0u);
    ::close(third);
}

TEST(Server, StopEndsAConnectedClientAndARestartServesAgain)
{
    CVeskFTPServer server;
    server.SetSettings(LocalSettings());
    ASSERT_TRUE(server.Start());
    int fd = Connect(server.ListeningPort());
    EXPECT_EQ(ReadLine(fd), "220 Welcome to Orvello\r\n");
    server.Stop();
    EXPECT_TRUE(ClosedByServer(fd));
    ::close(fd);

    ASSERT_TRUE(server.Start());
    fd = Connect(server.ListeningPort());
    EXPECT_EQ(ReadLine(fd), "220 Welcome to Orvello\r\n");
    EXPECT_EQ(server.UserCount(), 1);
    ::close(fd);
    server.Stop();
    EXPECT_EQ(server.UserCount(), 0);
}

// A client that sends without ever reading stalls its thread in a reply;
// Stop gives up on that thread after its wait, and a restarted server still
// greets the next client at once.
TEST(Server, AThreadStopGaveUpOnHoldsNoPlaceAfterARestart)
{
    CVeskFTPServer server;
    server.SetSettings(LocalSettings());
    ASSERT_TRUE(server.Start());
    const int port = server.ListeningPort();
    const int stuck = Connect(port, 4096);
    EXPECT_EQ(ReadLine(stuck), "220 Welcome to Orvello\r\n");
    // Log in, then pipeline NOOPs until neither side's buffers take more.
    const std::string login = "USER anonymous\r\nPASS x\r\n";
    ::send(stuck, login.data(), login.size(), 0);
    std::string noops;
    for (int i = 0; i < 4096; ++i)
        noops += "NOOP\r\n";
    // The server has stopped reading once the bytes queued on our side stop
    // going down for a while.
    QElapsedTimer filling, still;
    filling.start();
    still.start();
    int lastQueued = -1;
    while (filling.elapsed() < 20000 && still.elapsed() < 2500) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        ::send(stuck, noops.data(), noops.size(), MSG_DONTWAIT);
        int queued = 0;
        ::ioctl(stuck, SIOCOUTQ, &queued);
        if (queued != lastQueued || queued == 0) {
            lastQueued = queued;
            still.restart();
        }
    }
    QElapsedTimer stopping;
    stopping.start();
    server.Stop();
    EXPECT_GE(stopping.elapsed(), 4500);  // waited for the stuck thread, then gave up
    EXPECT_EQ(server.ThreadCount(), 0u);
    EXPECT_EQ(server.UserCount(), 0);

    ASSERT_TRUE(server.Start());
    const int next = Connect(server.ListeningPort());
    EXPECT_EQ(ReadLine(next), "220 Welcome to Orvello\r\n");
    ::close(next);
    ::close(stuck);
    server.Stop();
    EXPECT_TRUE(server.WaitForThreadsToEnd(20000));
    EXPECT_EQ(server.UserCount(), 0);
}
