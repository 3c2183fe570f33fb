// The per-address back-off of failed logins, on a clock the test turns.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "server/login_throttle.h"

namespace {

using namespace std::chrono_literals;
using Clock = LoginThrottle::Clock;

class LoginThrottleTest : public ::testing::Test {
protected:
    Clock::time_point now = Clock::time_point{} + 1h;
    LoginThrottle throttle{[this] { return now; }};

    // Fails one attempt from `address` at its first allowed moment.
    int FailAtTurn(const std::string& address)
    {
        if (const auto wait = throttle.TakeTurn(address); wait > Clock::duration::zero()) {
            now += wait;
            EXPECT_EQ(throttle.TakeTurn(address), Clock::duration::zero());
        }
        return throttle.Failed(address);
    }
};

TEST_F(LoginThrottleTest, EachFailureDoublesTheWaitUpToSixteenSecondsAndSuccessResets)
{
    const std::string guesser = "192.168.0.77";
    EXPECT_EQ(throttle.TakeTurn(guesser), Clock::duration::zero()) << "no failure, no wait";
    const std::vector<Clock::duration> waits{1s, 2s, 4s, 8s, 16s, 16s, 16s};
    for (size_t i = 0; i < waits.size(); ++i) {
        EXPECT_EQ(FailAtTurn(guesser), static_cast<int>(i + 1));
        EXPECT_EQ(throttle.TakeTurn(guesser), waits[i]) << "after failure " << i + 1;
        now += 250ms;
        EXPECT_EQ(throttle.TakeTurn(guesser), waits[i] - 250ms) << "counted from the failure";
    }
    // The turn goes to one attempt: a second one waits as if it had failed.
    now += 16s;
    EXPECT_EQ(throttle.TakeTurn(guesser), Clock::duration::zero());
    EXPECT_EQ(throttle.TakeTurn(guesser), 16s);
    throttle.EndTurn(guesser);  // a known name: nothing judged
    EXPECT_EQ(throttle.TakeTurn(guesser), Clock::duration::zero());
    throttle.Succeeded(guesser);
    EXPECT_EQ(throttle.AddressCount(), 0u);
    EXPECT_EQ(FailAtTurn(guesser), 1) << "a success starts the count afresh";
    EXPECT_EQ(throttle.TakeTurn(guesser), 1s);
}

TEST_F(LoginThrottleTest, AddressesAreApartAndForgottenAfterFifteenQuietMinutes)
{
    for (int i = 0; i < 5; ++i)
        FailAtTurn("127.0.0.1");
    EXPECT_EQ(throttle.TakeTurn("127.0.0.2"), Clock::duration::zero());
    throttle.Succeeded("127.0.0.2");
    EXPECT_EQ(throttle.TakeTurn("127.0.0.1"), 16s) << "another address's login resets nothing";

    FailAtTurn("127.0.0.2");
    now += 15min - 1s;
    EXPECT_EQ(FailAtTurn("127.0.0.1"), 6) << "still on record a second before";
    now += 1s;
    EXPECT_EQ(throttle.TakeTurn("127.0.0.2"), Clock::duration::zero());
    EXPECT_EQ(throttle.AddressCount(), 1u);
    EXPECT_EQ(throttle.Failed("127.0.0.2"), 1) << "forgotten: counts from one again";
}

TEST_F(LoginThrottleTest, TheTableIsBoundedAndForgetsTheOldestFailureFirst)
{
    const auto address = [](size_t i) { return "10." + std::to_string(i / 65536) + "." +
                                               std::to_string(i / 256 % 256) + "." + std::to_string(i % 256); };
    for (size_t i = 0; i < LoginThrottle::kMaxAddresses; ++i) {
        throttle.Failed(address(i));
        now += 1ms;
    }
    throttle.Failed(address(0));  // now the newest
    throttle.Failed("192.168.1.1");
    EXPECT_EQ(throttle.AddressCount(), LoginThrottle::kMaxAddresses);
    EXPECT_EQ(throttle.TakeTurn(address(1)), Clock::duration::zero()) << "the oldest went";
    EXPECT_GT(throttle.TakeTurn(address(0)), Clock::duration::zero());
    EXPECT_GT(throttle.TakeTurn("192.168.1.1"), Clock::duration::zero());
}

// Sessions of many addresses on many threads at once: each address's count
// is exact (run under TSan for the locking).
TEST(LoginThrottleThreads, CountsStayExactUnderConcurrentSessions)
{
    LoginThrottle throttle;
    std::vector<std::thread> sessions;
    for (int t = 0; t < 4; ++t)
        sessions.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                const std::string address = "127.0.0." + std::to_string(i % 5);
                throttle.TakeTurn(address);
                throttle.Failed(address);
                throttle.Succeeded("127.0.1." + std::to_string(i % 3));
            }
        });
    for (auto& s : sessions)
        s.join();
    EXPECT_EQ(throttle.AddressCount(), 5u);
    EXPECT_EQ(throttle.Failed("127.0.0.4"), 4 * 100 + 1);
}

}  // namespace
