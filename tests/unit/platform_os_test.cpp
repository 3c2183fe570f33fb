// The operations platform/ gives the rest of the program in place of system
// calls: the listening socket, writing all of a buffer, the stop signals.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cerrno>

#include "platform/handles.h"
#include "platform/listening_socket.h"
#include "platform/page_buffer.h"
#include "platform/stop_signals.h"

namespace {

int ConnectTo(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &peer.sin_addr);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer), 0);
    return fd;
}

void (*HandlerOf(int signal))(int)
{
    struct sigaction current {};
    ::sigaction(signal, nullptr, &current);
    return current.sa_handler;
}

}  // namespace

TEST(ListeningSocket, RefusesWhatCannotBeAnAddressOrPortWithoutLeavingAHandle)
{
    for (const auto& [address, port] : {std::pair<const char*, int>{"localhost", 0}, {"127.0.0.1", 65536},
                                        {"127.0.0.1", -1}, {"::1", 0}}) {
        int error = 0;
        EXPECT_EQ(platform::OpenListeningSocket(address, port, 4, error), -1) << address << ":" << port;
        EXPECT_EQ(error, EADDRNOTAVAIL) << address << ":" << port;
    }
    EXPECT_EQ(platform::LocalPortOf(-1), -1);
}

TEST(ListeningSocket, AcceptsOnlyWhatIsWaitingOnTheChosenPort)
{
    int error = 0;
    const int listening = platform::OpenListeningSocket("127.0.0.1", 0, 4, error);
    ASSERT_GE(listening, 0) << error;
    const int port = platform::LocalPortOf(listening);
    ASSERT_GT(port, 0);

    int connection = -1;
    EXPECT_EQ(platform::AcceptConnection(listening, connection), platform::AcceptResult::NoneWaiting);
    const int client = ConnectTo(port);
    platform::AcceptResult result = platform::AcceptResult::NoneWaiting;
    for (int i = 0; i < 100 && result == platform::AcceptResult::NoneWaiting; ++i) {
        result = platform::AcceptConnection(listening, connection);
        if (result == platform::AcceptResult::NoneWaiting)
            ::usleep(10000);
    }
    ASSERT_EQ(result, platform::AcceptResult::Accepted);
    EXPECT_TRUE(::fcntl(connection, F_GETFL) & O_NONBLOCK) << "a connection thread must never block in recv";

    // A second server on the same port is refused while the first listens.
    EXPECT_EQ(platform::OpenListeningSocket("127.0.0.1", port, 4, error), -1);
    EXPECT_EQ(error, EADDRINUSE);
    for (int fd : {connection, client, listening})
        platform::CloseHandle(fd);
}

// The pages go back to the system with the buffer (mincore fails with
// ENOMEM on an address that is no longer mapped).
TEST(PageBuffer, KeepsItsBlockWhileLargeEnoughAndUnmapsItWhenItGoes)
{
    const auto mapped = [](char* p) {
        unsigned char resident;
        return ::mincore(p, 1, &resident) == 0;
    };
    char* first = nullptr;
    char* grown = nullptr;
    {
        platform::PageBuffer buffer;
        first = buffer.Get(1 << 20);
        first[0] = 'a';
        first[(1 << 20) - 1] = 'z';
        EXPECT_EQ(buffer.Get(4096), first);
        grown = buffer.Get(2 << 20);
        grown[(2 << 20) - 1] = 'z';
        EXPECT_TRUE(mapped(grown));
        // The new block can only take the old one's place once that went back.
        const bool reused = first >= grown && first < grown + (2 << 20);
        EXPECT_TRUE(reused || !mapped(first)) << "the smaller block went back when it was replaced";
    }
    EXPECT_FALSE(mapped(grown));
}

TEST(WriteAll, AFullDiskIsReportedAsNoSpace)
{
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (full < 0)
        GTEST_SKIP() << "no /dev/full";
    errno = 0;
    EXPECT_FALSE(platform::WriteAll(full, "scan", 4));
    EXPECT_EQ(errno, ENOSPC);
    platform::CloseHandle(full);
}

TEST(StopSignalWatcher, SignalsBecomeOneCallOnTheMainThreadAndTheDefaultsReturn)
{
    int calls = 0;
    {
        platform::StopSignalWatcher watcher([&calls] { ++calls; });
        ASSERT_TRUE(watcher.IsInstalled());
        EXPECT_EQ(HandlerOf(SIGPIPE), SIG_IGN) << "a client that hangs up must not end the program";

        errno = EBADF;
        ::raise(SIGTERM);
        ::raise(SIGINT);
        EXPECT_EQ(errno, EBADF) << "the handler must leave errno as it found it";
        EXPECT_EQ(calls, 0) << "nothing may run inside the signal handler";
        for (int i = 0; i < 50 && calls == 0; ++i)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        EXPECT_EQ(calls, 1) << "signals that arrived together are drained at once";
    }
    EXPECT_EQ(HandlerOf(SIGTERM), SIG_DFL);
    EXPECT_EQ(HandlerOf(SIGINT), SIG_DFL);
    // A second watcher works once the first is gone.
    platform::StopSignalWatcher again([&calls] { ++calls; });
    EXPECT_TRUE(again.IsInstalled());
}
