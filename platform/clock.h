#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

namespace signposter::platform {

// A deadline on a clock's tick counter; this value means none.
inline constexpr std::int64_t kNoDeadline = -1;

// Time as the whole program sees it, from the monitor's tick down to every socket wait, so that tests can
// drive it instead of waiting. The waits belong to the clock too: a driven clock decides what a wait means.
class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds on a monotonic clock (the tick counter).
    virtual std::int64_t TickCount() const = 0;
    // Wall-clock time, for reporting when something happened.
    virtual std::time_t Now() const = 0;
    // Waits until one of `fds` has an event or the tick counter reaches `deadline` (kNoDeadline: no limit).
    // poll()'s result: the number of ready descriptors, 0 at the deadline, -1 on failure (errno). A signal
    // resumes the wait with the time left.
    virtual int Poll(pollfd* fds, std::size_t count, std::int64_t deadline) const = 0;
    // Sleeps until the tick counter reaches `deadline`; returns early when a signal arrives, so that the
    // caller can look at what the signal asked for.
    virtual void SleepUntil(std::int64_t deadline) const = 0;
    // Every wait now ends at once (a stop was requested, or the publication that waits was given up): a
    // caller that sleeps in a loop leaves it rather than spin.
    virtual bool Cancelled() const { return false; }

    // The deadline `timeoutMs` from now; a negative time-out has none.
    std::int64_t DeadlineAfter(int timeoutMs) const;
    // Milliseconds left until `deadline`, never below 0; -1 (no limit) for kNoDeadline.
    int MillisecondsLeft(std::int64_t deadline) const;
    bool Passed(std::int64_t deadline) const;
};

class StopRequest;

// The machine's clocks: the monotonic clock and the system time. Given a stop request, every wait also
// ends as soon as a stop is requested: Poll answers -1 with errno ECANCELED, SleepUntil returns.
class SystemClock final : public Clock {
public:
    explicit SystemClock(const StopRequest* stop = nullptr) : m_stop(stop) {}
    std::int64_t TickCount() const override;
    std::time_t Now() const override;
    int Poll(pollfd* fds, std::size_t count, std::int64_t deadline) const override;
    void SleepUntil(std::int64_t deadline) const override;
    bool Cancelled() const override;

private:
    const StopRequest* m_stop;
};

// A clock whose waits all end by one further deadline: a whole exchange's bound over the bounds of its
// single waits. A wait cut short by it answers -1 with errno ETIME.
class BoundedClock final : public Clock {
public:
    BoundedClock(const Clock& base, std::int64_t bound) : m_base(base), m_bound(bound) {}
    std::int64_t Bound() const { return m_bound; }

    std::int64_t TickCount() const override { return m_base.TickCount(); }
    std::time_t Now() const override { return m_base.Now(); }
    int Poll(pollfd* fds, std::size_t count, std::int64_t deadline) const override;
    void SleepUntil(std::int64_t deadline) const override;
    bool Cancelled() const override { return m_base.Cancelled(); }

private:
    std::int64_t Earlier(std::int64_t deadline) const;
    const Clock& m_base;
    std::int64_t m_bound;
};

// The one system clock, for the parts that are given no other.
const Clock& MachineClock();

}  // namespace signposter::platform
