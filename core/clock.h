#pragma once

#include "platform/clock.h"

namespace signposter {

// The core takes its time from the platform's clock, the same one the FTP client waits on.
using Clock = platform::Clock;
using SystemClock = platform::SystemClock;

}  // namespace signposter
