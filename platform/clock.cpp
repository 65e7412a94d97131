#include "platform/clock.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <vector>

#include "platform/stop_request.h"

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
    const int stopFd = m_stop ? m_stop->Descriptor() : -1;
    if (stopFd < 0) {
        for (;;) {
            const int result = ::poll(fds, static_cast<nfds_t>(count), MillisecondsLeft(deadline));
            if (result >= 0 || errno != EINTR)
                return result;
        }
    }
    // The stop request's descriptor goes last, in a copy, so that the caller's set stays as it gave it.
    std::vector<pollfd> watched(fds, fds + count);
    watched.push_back(pollfd{stopFd, POLLIN, 0});
    for (;;) {
        if (m_stop->Requested()) {
            errno = ECANCELED;
            return -1;
        }
        int result = ::poll(watched.data(), static_cast<nfds_t>(watched.size()), MillisecondsLeft(deadline));
        if (result < 0 && errno == EINTR)
            continue;
        if (result > 0 && watched.back().revents != 0) {
            errno = ECANCELED;
            return -1;
        }
        for (std::size_t i = 0; i < count; ++i) fds[i].revents = watched[i].revents;
        return result;
    }
}

void SystemClock::SleepUntil(std::int64_t deadline) const {
    if (m_stop && m_stop->Descriptor() >= 0) {
        pollfd none{};
        Poll(&none, 0, deadline);
        return;
    }
    // The tick counter is the monotonic clock in milliseconds, so an absolute monotonic sleep matches it.
    timespec until{};
    until.tv_sec = static_cast<time_t>(deadline / 1000);
    until.tv_nsec = static_cast<long>((deadline % 1000) * 1'000'000);
    ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
}

bool SystemClock::Cancelled() const {
    return m_stop && m_stop->Requested();
}

std::int64_t BoundedClock::Earlier(std::int64_t deadline) const {
    if (m_bound == kNoDeadline)
        return deadline;
    return deadline == kNoDeadline ? m_bound : std::min(deadline, m_bound);
}

int BoundedClock::Poll(pollfd* fds, std::size_t count, std::int64_t deadline) const {
    const int result = m_base.Poll(fds, count, Earlier(deadline));
    if (result == 0 && Passed(m_bound)) {
        errno = ETIME;
        return -1;
    }
    return result;
}

void BoundedClock::SleepUntil(std::int64_t deadline) const {
    m_base.SleepUntil(Earlier(deadline));
}

const Clock& MachineClock() {
    static const SystemClock clock;
    return clock;
}

}  // namespace signposter::platform
