#pragma once

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <utility>
#include <vector>

#include "platform/clock.h"

namespace signposter::testing {

// A clock the test moves by hand. Its waits look at the descriptors for a moment of real time (peers on
// loopback answer within it); when none is ready by then, the whole time the wait was given passes at once,
// so that a bound of 30 s is reached without waiting 30 s.
class FakeClock : public platform::Clock {
public:
    static constexpr int kRealSliceMs = 50;

    std::int64_t TickCount() const override { return tick; }
    std::time_t Now() const override { return now; }
    int Poll(pollfd* fds, std::size_t count, std::int64_t deadline) const override {
        ++polls;
        const int slice =
            deadline == platform::kNoDeadline ? -1 : std::min(MillisecondsLeft(deadline), kRealSliceMs);
        int ready = 0;
        do {
            ready = ::poll(fds, static_cast<nfds_t>(count), slice);
        } while (ready < 0 && errno == EINTR);
        if (ready == 0)
            tick = std::max(tick, deadline);
        else if (waitCostMs > 0)
            tick =
                deadline == platform::kNoDeadline ? tick + waitCostMs : std::min(tick + waitCostMs, deadline);
        return ready;
    }
    void SleepUntil(std::int64_t deadline) const override {
        sleeps.push_back(deadline - tick);
        if (duringSleep)
            std::exchange(duringSleep, nullptr)();
        tick = std::max(tick, deadline);
    }

    mutable std::int64_t tick = 1'000'000;
    std::time_t now = 1'800'000'000;
    mutable int polls = 0;                     // waits made on this clock
    mutable std::vector<std::int64_t> sleeps;  // milliseconds asked for by each sleep
    mutable std::function<void()> duringSleep;  // runs once inside the next sleep
    // Driven time every answered wait takes, as with a peer that is slow at every step.
    std::int64_t waitCostMs = 0;
};

}  // namespace signposter::testing
