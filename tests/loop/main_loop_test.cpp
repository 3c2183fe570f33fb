// The main thread's loop, the same tests over both of its builds: Qt's event
// loop (LUMBRA_LOOP_QT) and our own MessageQueue (lumbra-ftpd's).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/main_thread.h"

#ifdef LUMBRA_LOOP_QT
#include <QCoreApplication>
#endif

namespace {

using Clock = std::chrono::steady_clock;

TEST(MainLoop, PostedAndSynchronousCallsFromManyThreadsAllRunOnTheMainThread)
{
    platform::WaitActivity sink;
    constexpr int kWorkers = 4;
    constexpr int kPostsEach = 5000;
    const std::thread::id mainThread = std::this_thread::get_id();
    int posted = 0;  // main thread only
    int synchronous = 0;
    std::atomic<int> wrongThread{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w)
        workers.emplace_back([&] {
            for (int i = 0; i < kPostsEach; ++i)
                platform::PostToThreadOf(&sink, [&] {
                    wrongThread += std::this_thread::get_id() != mainThread;
                    ++posted;
                    sink.Signal();
                });
            // Returns only once it has run, after every call posted before it.
            platform::CallOnThreadOf(&sink, [&] {
                wrongThread += std::this_thread::get_id() != mainThread;
                ++synchronous;
                sink.Signal();
            });
        });
    const bool allRan = platform::WaitWithMessageLoop(
        [&] { return synchronous == kWorkers; }, &sink, 10000);
    for (std::thread& t : workers)
        t.join();
    EXPECT_TRUE(allRan);
    EXPECT_EQ(posted, kWorkers * kPostsEach);
    EXPECT_EQ(wrongThread, 0);
}

TEST(MainLoop, AWaitTimesOutOnlyAfterAQuietSpellAndActivityKeepsItGoing)
{
    platform::WaitActivity sink;
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        for (int i = 0; i < 10 && !stop; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            platform::PostToThreadOf(&sink, [&sink] { sink.Signal(); });
        }
    });
    const auto started = Clock::now();
    const bool done = platform::WaitWithMessageLoop([] { return false; }, &sink, 150);
    const auto waited = Clock::now() - started;
    stop = true;
    worker.join();
    platform::DiscardPendingCalls(&sink);
    EXPECT_FALSE(done);
    // Ten signals 30 ms apart, then a quiet spell: about 450 ms (Qt's coarse
    // timers may fire a little early); one quiet spell alone would be 150 ms.
    EXPECT_GE(waited, std::chrono::milliseconds(350));
    EXPECT_LT(waited, std::chrono::seconds(10));
}

// A descriptor that stays readable while nothing is done about it: each
// pause holds the notifications back; the loop ends with the code given.
TEST(MainLoop, AReadWatchPausedHoldsBackItsNotificationsAndQuitEndsTheLoop)
{
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    ASSERT_EQ(::write(pipeFds[1], "x", 1), 1);
    int notified = 0;
    std::unique_ptr<platform::ReadWatch> watch;
    watch = std::make_unique<platform::ReadWatch>(pipeFds[0], [&] {
        if (++notified == 3) {
            watch.reset();  // a watch may go from inside its own notification
            platform::QuitMainLoop(5);
            return;
        }
        watch->PauseFor(60);
    });
    const auto started = Clock::now();
    EXPECT_EQ(platform::RunMainLoop(), 5);
    EXPECT_EQ(notified, 3);
    EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(100));  // two pauses of 60
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

}  // namespace

int main(int argc, char** argv)
{
#ifdef LUMBRA_LOOP_QT
    QCoreApplication app(argc, argv);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
