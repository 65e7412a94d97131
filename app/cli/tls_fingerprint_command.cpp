// signposter-cli tls-fingerprint: shows the FTP server's certificate without trusting it and without
// logging in, so that a user can compare its fingerprint with the one the host publishes before pinning it.
#include <cstdio>
#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "app/cli/headless_user_interface.h"
#include "core/extended_settings.h"
#include "core/publishing_core.h"
#include "core/server_check.h"
#include "core/settings.h"
#include "core/single_upload.h"
#include "platform/exceptions.h"
#include "platform/text.h"

namespace signposter::cli {

int RunTlsFingerprint(Context& context, const std::vector<std::string>& args) {
    if (!args.empty()) {
        std::fputs("usage: signposter-cli tls-fingerprint\n", stderr);
        return 2;
    }
    LoadSettings(context.fields, context.state, context.settingsPath);
    if (const auto problem = PortProblem(context.fields.Text(TextField::Port))) {
        std::fprintf(stderr, "%s\n", problem->c_str());
        return 2;
    }
    HeadlessUserInterface ui;
    PublishingCore core(context.fields, ui, context.settingsPath);
    try {
        std::printf("%s\n", ProbeConfiguredServer(core, context.state.TlsTrustFile).text.c_str());
    } catch (const Exception& error) {
        std::fprintf(stderr, "%s: %s\n", error.ClassName(),
                     text::Printable(text::OneLine(error.Message())).c_str());
        return 1;
    }
    return 0;
}

}  // namespace signposter::cli
