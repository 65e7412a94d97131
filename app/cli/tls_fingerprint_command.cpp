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
        // Whatever the settings say: this command exists to look at the certificate before trusting it.
        ftp::TlsSettings settings;
        settings.security = ftp::FtpSecurity::ExplicitTLS;
        settings.trustFile = text::Trim(context.state.TlsTrustFile);
        settings.reportOnly = true;
        client.SetTlsSettings(settings);
        ftp::TlsPeerInfo info;
        client.SetOnTlsEstablished([&info](const ftp::TlsPeerInfo& peer, bool) { info = peer; });
        // Greeting, AUTH TLS and the handshake; the user name is never sent.
        client.OpenSession(false);
        client.CloseConnection();
        std::printf("Subject: %s\n", text::Printable(info.subject).c_str());
        std::printf("Issuer: %s\n", text::Printable(info.issuer).c_str());
        std::printf("Valid from: %s\n", text::Printable(info.notBefore).c_str());
        std::printf("Valid until: %s\n", text::Printable(info.notAfter).c_str());
        std::printf("SHA-256 fingerprint: %s\n", ftp::FormatFingerprint(info.fingerprint).c_str());
        std::printf("System store: %s\n", text::Printable(info.storeVerdict).c_str());
    } catch (const Exception& error) {
        client.CloseConnection();
        std::fprintf(stderr, "%s: %s\n", error.ClassName(),
                     text::Printable(text::OneLine(error.Message())).c_str());
        return 1;
    }
    return 0;
}

}  // namespace signposter::cli
