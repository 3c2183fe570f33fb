#include "server/login_throttle.h"

#include <algorithm>

LoginThrottle::LoginThrottle(Now now) : m_now(std::move(now)) {}

LoginThrottle::Clock::duration LoginThrottle::DelayAfter(int failures)
{
    if (failures <= 0)
        return Clock::duration::zero();
    const int doublings = std::min(failures - 1, 4);
    return std::min<Clock::duration>(kFirstDelay * (1 << doublings), kLongestDelay);
}

LoginThrottle::Clock::time_point LoginThrottle::NotBefore(const Record& record) const
{
    return std::max(record.lastFailure + DelayAfter(record.failures), record.turnUntil);
}

LoginThrottle::Clock::duration LoginThrottle::TakeTurn(const std::string& address)
{
    if (m_nRecords.load(std::memory_order_relaxed) == 0)
        return Clock::duration::zero();
    const auto now = m_now();
    std::lock_guard<std::mutex> guard(m_lock);
    const auto record = FindCurrent(address, now);
    if (record == m_records.end())
        return Clock::duration::zero();
    const auto notBefore = NotBefore(record->second);
    if (now < notBefore)
        return notBefore - now;
    // Should the outcome never be told, the turn passes on by itself.
    record->second.turnUntil = now + DelayAfter(record->second.failures + 1);
    return Clock::duration::zero();
}

int LoginThrottle::Failed(const std::string& address)
{
    const auto now = m_now();
    std::lock_guard<std::mutex> guard(m_lock);
    ForgetStale(now);
    auto record = m_records.find(address);
    if (record == m_records.end()) {
        if (m_records.size() >= kMaxAddresses)
            Forget(m_records.find(m_byLastFailure.front()));
        record = m_records.emplace(address, Record{}).first;
        m_nRecords.store(m_records.size(), std::memory_order_relaxed);
    } else {
        m_byLastFailure.erase(record->second.age);
    }
    Record& r = record->second;
    r.age = m_byLastFailure.insert(m_byLastFailure.end(), address);
    r.lastFailure = now;
    r.turnUntil = {};
    return ++r.failures;
}

void LoginThrottle::Succeeded(const std::string& address)
{
    if (m_nRecords.load(std::memory_order_relaxed) == 0)
        return;
    std::lock_guard<std::mutex> guard(m_lock);
    const auto record = m_records.find(address);
    if (record != m_records.end())
        Forget(record);
}

void LoginThrottle::EndTurn(const std::string& address)
{
    if (m_nRecords.load(std::memory_order_relaxed) == 0)
        return;
    std::lock_guard<std::mutex> guard(m_lock);
    const auto record = m_records.find(address);
    if (record != m_records.end())
        record->second.turnUntil = {};
}

void LoginThrottle::Clear()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_records.clear();
    m_byLastFailure.clear();
    m_nRecords.store(0, std::memory_order_relaxed);
}

size_t LoginThrottle::AddressCount() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_records.size();
}

LoginThrottle::Table::iterator LoginThrottle::FindCurrent(const std::string& address, Clock::time_point now)
{
    const auto record = m_records.find(address);
    if (record != m_records.end() && now - record->second.lastFailure >= kForgetAfter) {
        Forget(record);
        return m_records.end();
    }
    return record;
}

void LoginThrottle::Forget(Table::iterator record)
{
    m_byLastFailure.erase(record->second.age);
    m_records.erase(record);
    m_nRecords.store(m_records.size(), std::memory_order_relaxed);
}

void LoginThrottle::ForgetStale(Clock::time_point now)
{
    while (!m_byLastFailure.empty()) {
        const auto oldest = m_records.find(m_byLastFailure.front());
        if (now - oldest->second.lastFailure < kForgetAfter)
            return;
        Forget(oldest);
    }
}
