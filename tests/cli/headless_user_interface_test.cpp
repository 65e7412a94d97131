// The headless front end's waits, on the clock the core was given.
#include <gtest/gtest.h>

#include "app/cli/headless_user_interface.h"
#include "support/fake_clock.h"

namespace signposter::cli {
namespace {

TEST(HeadlessUserInterface, WaitsOnTheCoresClockAndServesTheTickOncePerSecondOfIt) {
    // The driven clock stands far from the machine's tick counter: a wait measured or slept on another
    // clock would return at once or sleep for ages.
    testing::FakeClock clock;
    HeadlessUserInterface ui(clock);
    int ticks = 0;
    ui.SetTickHandler([&ticks] { ++ticks; });
    const std::int64_t start = clock.tick;
    ui.DispatchMessagesUntil(start + 3000);
    EXPECT_GT(clock.tick, start + 3000);
    EXPECT_EQ(ticks, 3);

    ui.SetTimerEnabled(false);
    ui.DispatchMessagesUntil(clock.tick + 2000);
    EXPECT_EQ(ticks, 3);
}

}  // namespace
}  // namespace signposter::cli
