#include "platform/tick_counter.h"

#include <chrono>

namespace signposter::platform {

std::int64_t TickCount() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace signposter::platform
