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
    // Signals 30 ms apart for longer than one quiet spell: only a stall of a
    // whole second between two of them would end the wait early.
    constexpr int kQuietMs = 1000;
    constexpr int kSignals = 50;
    platform::WaitActivity sink;
    std::atomic<bool> stop{false};
    int served = 0;  // main thread only
    Clock::time_point lastServed;
    std::thread worker([&] {
        for (int i = 0; i < kSignals && !stop; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            platform::PostToThreadOf(&sink, [&] {
                ++served;
                lastServed = Clock::now();
                sink.Signal();
            });
        }
    });
    const auto started = Clock::now();
    const bool done = platform::WaitWithMessageLoop([] { return false; }, &sink, kQuietMs);
    const auto ended = Clock::now();
    stop = true;
    worker.join();
    platform::DiscardPendingCalls(&sink);
    EXPECT_FALSE(done);
    EXPECT_EQ(served, kSignals) << "the wait ended while signals still came";
    // Qt's coarse timers may fire up to 5 % early.
    EXPECT_GE(ended - lastServed, std::chrono::milliseconds(kQuietMs * 95 / 100))
        << "the last quiet spell was cut short";
    EXPECT_LT(ended - started, std::chrono::seconds(20));
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
