#pragma once

#include <cstdint>

namespace signposter::platform {

// Milliseconds from an arbitrary start on a clock that never jumps (the system tick counter).
std::int64_t TickCount();

}  // namespace signposter::platform
