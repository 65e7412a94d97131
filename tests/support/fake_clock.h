#pragma once

#include "core/clock.h"

namespace signposter::testing {

// A clock the test moves by hand.
class FakeClock : public Clock {
public:
    std::int64_t TickCount() const override { return tick; }
    std::time_t Now() const override { return now; }
    std::int64_t tick = 1'000'000;
    std::time_t now = 1'800'000'000;
};

}  // namespace signposter::testing
