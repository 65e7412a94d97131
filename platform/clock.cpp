#include "platform/clock.h"

#include <cerrno>
#include <chrono>
#include <climits>

namespace signposter::platform {

std::int64_t Clock::DeadlineAfter(int timeoutMs) const {
    return timeoutMs < 0 ? kNoDeadline : TickCount() + timeoutMs;
}

int Clock::MillisecondsLeft(std::int64_t deadline) const {
    if (deadline == kNoDeadline)
        return -1;
    const std::int64_t left = deadline - TickCount();
    if (left <= 0)
        return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

bool Clock::Passed(std::int64_t deadline) const {
    return deadline != kNoDeadline && TickCount() >= deadline;
}

std::int64_t SystemClock::TickCount() const {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::time_t SystemClock::Now() const {
    return std::time(nullptr);
}

int SystemClock::Poll(pollfd* fds, std::size_t count, std::int64_t deadline) const {
    for (;;) {
        const int result = ::poll(fds, static_cast<nfds_t>(count), MillisecondsLeft(deadline));
        if (result >= 0 || errno != EINTR)
            return result;
    }
}

void SystemClock::SleepUntil(std::int64_t deadline) const {
    // The tick counter is the monotonic clock in milliseconds, so an absolute monotonic sleep matches it.
    timespec until{};
    until.tv_sec = static_cast<time_t>(deadline / 1000);
    until.tv_nsec = static_cast<long>((deadline % 1000) * 1'000'000);
    ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
}

const Clock& MachineClock() {
    static const SystemClock clock;
    return clock;
}

}  // namespace signposter::platform
