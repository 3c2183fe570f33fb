// The thread loop, the socket notifications and the code-page helpers.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "platform/async_socket.h"
#include "platform/codepage.h"
#include "platform/main_thread.h"
#include "platform/message_queue.h"

using platform::MessageQueue;

TEST(MessageQueue, PostedMessagesArriveInOrderAndQuitCarriesTheExitCode)
{
    MessageQueue queue;
    std::vector<unsigned> seen;
    std::thread poster([&queue] {
        queue.Post(platform::WM_USER + 1, 10);
        queue.Post(platform::WM_USER + 2, 20);
        queue.Post(platform::WM_QUIT, 7);
        queue.Post(platform::WM_USER + 3, 30);  // after the quit: never dispatched
    });
    poster.join();
    const int code = queue.Run([&seen](unsigned message, uintptr_t) { seen.push_back(message); });
    EXPECT_EQ(code, 7);
    EXPECT_EQ(seen, (std::vector<unsigned>{platform::WM_USER + 1, platform::WM_USER + 2}));
}

TEST(MessageQueue, PumpingServesTimersButLeavesPostedMessagesQueued)
{
    MessageQueue queue;
    queue.Bind();
    int ticks = 0;
    const unsigned id = queue.SetTimer(5, [&](unsigned) { ++ticks; });
    queue.Post(platform::WM_QUIT, 3);
    for (int i = 0; i < 50 && ticks < 2; ++i)
        queue.PumpEvents(20);
    EXPECT_GE(ticks, 2);
    EXPECT_TRUE(queue.QuitPending());
    queue.KillTimer(id);
    EXPECT_EQ(queue.Run(nullptr), 3);
}

TEST(MessageQueue, ATimerMayKillItselfFromItsCallback)
{
    MessageQueue queue;
    queue.Bind();
    int calls = 0;
    unsigned id = 0;
    id = queue.SetTimer(1, [&](unsigned) {
        ++calls;
        queue.KillTimer(id);
        queue.Post(platform::WM_QUIT, 0);
    });
    queue.Run(nullptr);
    EXPECT_EQ(calls, 1);
}

// A handler that pumps events (as a command waiting for its data connection
// does) runs a turn inside the turn that called it. The outer turn must go
// on with its own poll results; the owner thread's own posts reach Run right
// after the handler.
namespace {

class ReadyProbe : public platform::SocketWatcher {
public:
    ReadyProbe(int fd, const bool& nested) : m_fd(fd), m_nested(nested) {}
    int WatchedHandle() const override { return m_fd; }
    short WantedEvents() const override { return served || m_nested ? 0 : POLLIN; }
    void OnReady(short) override
    {
        if (served)
            return;
        served = true;
        if (onReady)
            onReady();
    }
    bool served = false;
    std::function<void()> onReady;

private:
    int m_fd;
    const bool& m_nested;
};

}  // namespace

TEST(MessageQueue, ATurnGoesOnWithItsOwnResultsAfterANestedOne)
{
    MessageQueue queue;
    queue.Bind();
    constexpr int kSockets = 4;
    int pairs[kSockets][2];
    bool nested = false;
    std::vector<std::unique_ptr<ReadyProbe>> probes;
    for (int i = 0; i < kSockets; ++i) {
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pairs[i]), 0);
        ASSERT_EQ(::write(pairs[i][1], "x", 1), 1);
        probes.push_back(std::make_unique<ReadyProbe>(pairs[i][0], nested));
        queue.AddWatcher(probes.back().get());
    }
    // The first one pumps while the others want nothing: the nested turn
    // polls none of them.
    probes[0]->onReady = [&] {
        nested = true;
        queue.PumpEvents(0);
        nested = false;
        queue.Post(platform::WM_USER + 7);
    };
    queue.PumpEvents(0);
    for (int i = 0; i < kSockets; ++i)
        EXPECT_TRUE(probes[i]->served) << "socket " << i << " was ready in the same turn";

    std::vector<unsigned> seen;
    queue.Post(platform::WM_QUIT, 0);
    queue.Run([&seen](unsigned message, uintptr_t) { seen.push_back(message); });
    EXPECT_EQ(seen, std::vector<unsigned>{platform::WM_USER + 7});
    for (int i = 0; i < kSockets; ++i) {
        queue.RemoveWatcher(probes[i].get());
        ::close(pairs[i][0]);
        ::close(pairs[i][1]);
    }
}

TEST(MessageQueue, AQuitPostedOnTheOwnThreadEndsAWaitAtOnce)
{
    MessageQueue queue;
    queue.Bind();
    queue.Post(platform::WM_USER + 1);
    queue.Post(platform::WM_QUIT, 5);
    const auto start = std::chrono::steady_clock::now();
    queue.PumpEvents(5000);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(queue.QuitPending());
    EXPECT_EQ(queue.Run(nullptr), 5);
}

namespace {

// Records notifications; reads only when told to.
class Probe : public platform::AsyncSocket {
public:
    int receives = 0;
    int closes = 0;
    bool read = true;
    std::string data;

protected:
    void OnReceive(int) override
    {
        ++receives;
        if (!read)
            return;
        char buffer[3];
        const ssize_t n = Receive(buffer, sizeof buffer);
        if (n > 0)
            data.append(buffer, static_cast<size_t>(n));
    }
    void OnClose(int) override { ++closes; }
};

}  // namespace

TEST(AsyncSocket, SmallReadsStillDeliverEveryByteThenOneClose)
{
    MessageQueue queue;
    queue.Bind();
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    Probe probe;
    ASSERT_TRUE(probe.Attach(pair[0]));
    ASSERT_EQ(::write(pair[1], "abcdefgh", 8), 8);
    ::close(pair[1]);
    for (int i = 0; i < 20 && probe.closes == 0; ++i)
        queue.PumpEvents(50);
    EXPECT_EQ(probe.data, "abcdefgh");
    EXPECT_EQ(probe.closes, 1);
    queue.PumpEvents(20);
    EXPECT_EQ(probe.closes, 1);
}

TEST(AsyncSocket, AHandlerThatReadsNothingIsNotCalledAgainUntilRearmed)
{
    MessageQueue queue;
    queue.Bind();
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    Probe probe;
    probe.read = false;
    ASSERT_TRUE(probe.Attach(pair[0]));
    ASSERT_EQ(::write(pair[1], "xy", 2), 2);
    for (int i = 0; i < 5; ++i)
        queue.PumpEvents(10);
    EXPECT_EQ(probe.receives, 1);
    probe.read = true;
    probe.Rearm();
    queue.PumpEvents(50);
    EXPECT_EQ(probe.data, "xy");
    ::close(pair[1]);
}

// Workers hand calls to the main thread while it is busy running earlier
// ones: a call may run and be freed before its poster has finished handing
// it in, and the poster must not touch it any more by then.
TEST(MainThreadCalls, CallsPostedFromManyThreadsWhileOthersRunAreAllRun)
{
    platform::WaitActivity context;
    constexpr int kWorkers = 4;
    constexpr int kCallsEach = 20000;
    int ran = 0;  // main thread only
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w)
        workers.emplace_back([&] {
            for (int i = 0; i < kCallsEach; ++i)
                platform::PostToThreadOf(&context, [&] {
                    ++ran;
                    context.Signal();
                });
        });
    const bool allRan = platform::WaitWithMessageLoop(
        [&] { return ran == kWorkers * kCallsEach; }, &context, 10000);
    for (std::thread& t : workers)
        t.join();
    EXPECT_TRUE(allRan);
    EXPECT_EQ(ran, kWorkers * kCallsEach);
}

TEST(CodePage, KoreanRoundTripsBetweenUtf8AndCp949)
{
    const std::string utf8 = "\xEC\x8A\xA4\xEC\xBA\x94";  // 스캔
    const std::string cp949 = Utf8ToAnsi(utf8);
    EXPECT_EQ(cp949, "\xBD\xBA\xC4\xB5");
    EXPECT_EQ(AnsiToUtf8(cp949), utf8);
    EXPECT_EQ(AnsiToUtf8(utf8), utf8);  // valid UTF-8 is taken as it is
    EXPECT_EQ(Utf8ToAnsi("plain ascii"), "plain ascii");
}

TEST(CodePage, UnmappableAndBrokenInputNeverFails)
{
    EXPECT_EQ(Utf8ToAnsi("a\xF0\x9F\x98\x80" "b"), "a?b");  // an emoji CP949 lacks
    EXPECT_EQ(Utf8ToAnsi("a\xFF" "b"), "a?b");
    const std::string broken = AnsiToUtf8("\xFF\xFF");
    EXPECT_TRUE(platform::IsValidUtf8(broken));
    EXPECT_FALSE(platform::IsValidUtf8("\xC0\xAF"));  // overlong "/"
    EXPECT_FALSE(platform::IsValidUtf8("\xED\xA0\x80"));  // surrogate
}
