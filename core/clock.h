#pragma once

#include <cstdint>
#include <ctime>

namespace signposter {

// Time as the core sees it, so that tests can drive it instead of sleeping.
class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds on a monotonic clock (the tick counter).
    virtual std::int64_t TickCount() const = 0;
    // Wall-clock time, for reporting when something happened.
    virtual std::time_t Now() const = 0;
};

// The real clocks of the machine.
class SystemClock final : public Clock {
public:
    std::int64_t TickCount() const override;
    std::time_t Now() const override;
};

}  // namespace signposter
