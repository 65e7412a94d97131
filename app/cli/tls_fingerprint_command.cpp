// signposter-cli tls-fingerprint: shows the FTP server's certificate without trusting it and without
// logging in, so that a user can compare its fingerprint with the one the host publishes before pinning it.
#include <cstdio>
#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "app/cli/headless_user_interface.h"
#include "app/cli/tls_report.h"
#include "core/publishing_core.h"
#include "core/settings.h"
#include "ftp/id_ftp.h"
#include "ftp/tls_probe.h"
#include "platform/exceptions.h"
#include "platform/text.h"

namespace signposter::cli {

int RunTlsFingerprint(Context& context, const std::vector<std::string>& args) {
    if (!args.empty()) {
        std::fputs("usage: signposter-cli tls-fingerprint\n", stderr);
        return 2;
    }
    LoadSettings(context.fields, context.state, context.settingsPath);
    HeadlessUserInterface ui;
    PublishingCore core(context.fields, ui, context.settingsPath);
    ftp::TIdFTP& client = core.Client();
    try {
        core.GetPublisher().ConfigureClient();
        const ftp::TlsPeerInfo info =
            ftp::ProbeServerCertificate(client, text::Trim(context.state.TlsTrustFile));
        for (const auto& [label, value] : ftp::CertificateFields(info))
            std::printf("%s: %s\n", label.c_str(), text::Printable(value).c_str());
    } catch (const Exception& error) {
        client.CloseConnection();
        std::fprintf(stderr, "%s: %s\n", error.ClassName(),
                     text::Printable(text::OneLine(error.Message())).c_str());
        return 1;
    }
    return 0;
}

}  // namespace signposter::cli
