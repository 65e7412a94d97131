#include "core/clock.h"

#include "platform/tick_counter.h"

namespace signposter {

std::int64_t SystemClock::TickCount() const {
    return platform::TickCount();
}

std::time_t SystemClock::Now() const {
    return std::time(nullptr);
}

}  // namespace signposter
