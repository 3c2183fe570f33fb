// Failed logins per client address, kept across sessions: after a failure
// the next login reply to that address waits 1 s after it, then 2, 4, 8 and
// at most 16 s after the latest failure. Password guessing so slows to a few
// tries a minute, whatever the client does with its connections, while an
// address that never failed costs one look-up and waits for nothing.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

class LoginThrottle {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    static constexpr std::chrono::seconds kFirstDelay{1};
    static constexpr std::chrono::seconds kLongestDelay{16};
    // An address without a failure for this long starts afresh.
    static constexpr std::chrono::minutes kForgetAfter{15};
    // Most addresses on record; the one whose latest failure is oldest goes
    // first, so that many addresses cannot grow memory.
    static constexpr size_t kMaxAddresses = 4096;

    explicit LoginThrottle(Now now = Clock::now);

    // Any thread. How long the reply to a login attempt from `address` must
    // still wait; zero: it may be checked now, and from here until its
    // outcome is told it has the address's turn (an attempt from another
    // session of the address waits as if this one had failed).
    Clock::duration TakeTurn(const std::string& address);
    // The attempt failed; returns the address's consecutive failures.
    int Failed(const std::string& address);
    // A login succeeded: the address starts afresh.
    void Succeeded(const std::string& address);
    // The attempt had no outcome for the password (a known user name).
    void EndTurn(const std::string& address);

    // Forgets every address (a harness that plays many clients from one).
    void Clear();
    size_t AddressCount() const;
    // The wait that follows `failures` consecutive failures.
    static Clock::duration DelayAfter(int failures);

private:
    struct Record {
        int failures = 0;
        Clock::time_point lastFailure;
        Clock::time_point turnUntil;  // an attempt in progress holds the turn
        std::list<std::string>::iterator age;
    };
    using Table = std::unordered_map<std::string, Record>;

    Table::iterator FindCurrent(const std::string& address, Clock::time_point now);
    void Forget(Table::iterator record);
    void ForgetStale(Clock::time_point now);
    Clock::time_point NotBefore(const Record& record) const;

    Now m_now;
    mutable std::mutex m_lock;
    Table m_records;
    std::list<std::string> m_byLastFailure;  // oldest first
    // Read without the lock: a table that was never used costs nothing.
    std::atomic<size_t> m_nRecords{0};
};
