// signposter-cli ssh-fingerprint: shows the SSH server's host key without trusting it and without logging
// in, so that a user can compare its fingerprint with the one the host publishes before pinning it.
#include <cstdio>
#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "app/cli/headless_user_interface.h"
#include "core/extended_settings.h"
#include "core/server_check.h"
#include "core/settings.h"
#include "platform/exceptions.h"
#include "platform/text.h"

namespace signposter::cli {

int RunSshFingerprint(Context& context, const std::vector<std::string>& args) {
    if (!args.empty()) {
        std::fputs("usage: signposter-cli ssh-fingerprint\n", stderr);
        return 2;
    }
    LoadSettings(context.fields, context.state, context.settingsPath);
    const std::string port = context.fields.Text(TextField::Port);
    if (const auto problem = PortProblem(port)) {
        std::fprintf(stderr, "%s\n", problem->c_str());
        return 2;
    }
    InstallStopHandlers();
    try {
        const CheckReport report =
            CheckSshServer(context.fields.Text(TextField::Host), port, context.state.SshHostKey,
                           HeadlessUserInterface::StoppableClock(), ReachesServerOverIPv6(context.state));
        if (report.fingerprint.empty()) {
            std::fprintf(stderr, "%s\n", report.text.c_str());
            return 2;
        }
        std::printf("%s\n", report.text.c_str());
    } catch (const Exception& error) {
        std::fprintf(stderr, "%s: %s\n", error.ClassName(),
                     text::Printable(text::OneLine(error.Message())).c_str());
        return 1;
    }
    return 0;
}

}  // namespace signposter::cli
