// `autostart on|off|status`: start the tray program with the desktop session, by the XDG autostart
// convention (a desktop entry in the user's autostart directory).
#include <cstdio>
#include <optional>
#include <string>

#include "app/cli/commands.h"
#include "platform/autostart.h"

namespace signposter::cli {

namespace {

constexpr char kAutostartUsage[] = "usage: signposter-cli autostart on|off|status\n";

int Report(const std::optional<std::string>& problem) {
    if (!problem)
        return 0;
    std::fprintf(stderr, "signposter-cli autostart: %s\n", problem->c_str());
    return 1;
}

}  // namespace

int RunAutostart(Context&, const std::vector<std::string>& args) {
    if (args.size() == 1 && args[0] == "on")
        return Report(platform::EnableAutostart(platform::TrayProgramPath()));
    if (args.size() == 1 && args[0] == "off")
        return Report(platform::DisableAutostart());
    if (args.size() == 1 && args[0] == "status") {
        std::printf("%s\n", platform::AutostartEnabled() ? "on" : "off");
        return 0;
    }
    std::fputs(kAutostartUsage, stderr);
    return 2;
}

}  // namespace signposter::cli
