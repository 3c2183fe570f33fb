// The per-address back-off of failed logins, on a clock the test turns.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/login_throttle.h"

namespace {

using namespace std::chrono_literals;
using Clock = LoginThrottle::Clock;
constexpr Clock::duration kNow = Clock::duration::zero();

class LoginThrottleTest : public ::testing::Test {
protected:
    // Fails one attempt from `address` at its first allowed moment.
    int FailAtTurn(const std::string& address)
    {
        if (const auto wait = throttle.TakeTurn(address); wait > kNow) {
            now += wait;
            EXPECT_EQ(throttle.TakeTurn(address), kNow);
        }
        return throttle.Failed(address);
    }

    Clock::time_point now = Clock::time_point{} + 1h;
    LoginThrottle throttle{[this] { return now; }};
};

TEST_F(LoginThrottleTest, EachFailureDoublesTheWaitUpToSixteenSecondsOneTurnAtATimeUntilASuccess)
{
    const std::vector<Clock::duration> waits{1s, 2s, 4s, 8s, 16s, 16s};
    for (size_t i = 0; i < waits.size(); ++i) {
        EXPECT_EQ(FailAtTurn("192.168.0.77"), static_cast<int>(i + 1));
        now += 250ms;
        EXPECT_EQ(throttle.TakeTurn("192.168.0.77"), waits[i] - 250ms) << "after failure " << i + 1;
    }
    EXPECT_EQ(throttle.TakeTurn("127.0.0.2"), kNow) << "addresses apart";
    now += 16s;
    EXPECT_EQ(throttle.TakeTurn("192.168.0.77"), kNow);
    EXPECT_EQ(throttle.TakeTurn("192.168.0.77"), 16s) << "a second attempt waits as if the first failed";
    throttle.EndTurn("192.168.0.77");  // a known name: nothing judged
    EXPECT_EQ(throttle.TakeTurn("192.168.0.77"), kNow);
    throttle.Succeeded("192.168.0.77");
    EXPECT_EQ(FailAtTurn("192.168.0.77"), 1) << "a success starts the count afresh";
}

TEST_F(LoginThrottleTest, FifteenQuietMinutesForgetAndTheTableDropsTheOldestFailureFirst)
{
    FailAtTurn("127.0.0.1");
    now += 15min - 1ms;
    EXPECT_EQ(FailAtTurn("127.0.0.2"), 1);
    EXPECT_EQ(FailAtTurn("127.0.0.1"), 2) << "still on record just before";
    now += 15min;
    EXPECT_EQ(throttle.TakeTurn("127.0.0.1"), kNow);
    EXPECT_EQ(throttle.Failed("127.0.0.2"), 1) << "forgotten";
    for (size_t i = 0; i < LoginThrottle::kMaxAddresses; ++i, now += 1ms)
        throttle.Failed("10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256));
    EXPECT_EQ(throttle.AddressCount(), LoginThrottle::kMaxAddresses);
    EXPECT_EQ(throttle.TakeTurn("127.0.0.2"), kNow) << "the oldest went";
    EXPECT_GT(throttle.TakeTurn("10.0.15.255"), kNow);
}

}  // namespace
