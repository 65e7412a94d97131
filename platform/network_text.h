#pragma once

#include <string>
#include <string_view>

namespace signposter::text {

// Text that came from the network, made safe for a terminal or a widget: every control byte (0..31 but
// tab, and 127) becomes a visible "\x1b"-style escape, so a hostile server cannot move the cursor, clear
// the screen or forge further lines in what we print.
std::string EscapeControlBytes(std::string_view s);

}  // namespace signposter::text
