#pragma once

#include "core/plain_live_settings.h"

namespace signposter::testing {

using FakeLiveSettings = PlainLiveSettings;

}  // namespace signposter::testing
