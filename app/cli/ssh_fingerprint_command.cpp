// signposter-cli ssh-fingerprint: shows the SSH server's host key without trusting it and without logging
// in, so that a user can compare its fingerprint with the one the host publishes before pinning it.
#include <cstdio>
#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "app/cli/headless_user_interface.h"
#include "core/publishing_core.h"
#include "core/settings.h"
#include "platform/exceptions.h"
#include "platform/text.h"
#include "sftp/sftp_client.h"

namespace signposter::cli {

int RunSshFingerprint(Context& context, const std::vector<std::string>& args) {
    if (!args.empty()) {
        std::fputs("usage: signposter-cli ssh-fingerprint\n", stderr);
        return 2;
    }
    LoadSettings(context.fields, context.state, context.settingsPath);
    HeadlessUserInterface ui;
    PublishingCore core(context.fields, ui, context.settingsPath,
                        {nullptr, &HeadlessUserInterface::StoppableClock(), nullptr, nullptr});
    InstallStopHandlers();
    core.State() = context.state;
    // The probe needs the host and port only; whatever Protocol says, the SSH client is set up from them.
    core.State().Protocol = "SFTP";
    core.State().SshHostKey.clear();
    sftp::SftpClient& client = core.Sftp();
    try {
        core.GetPublisher().ConfigureClient();
        const sftp::HostKeyInfo info = client.ProbeHostKey();
        const auto pin = sftp::NormalizeHostKeyPin(context.state.SshHostKey);
        std::printf("Host: %s\n", text::Printable(info.hostEntry).c_str());
        std::printf("Key type: %s\n", text::Printable(info.type).c_str());
        std::printf("Fingerprint: %s\n", info.fingerprint.c_str());
        std::printf("known_hosts: %s\n", text::Printable(sftp::DescribeVerdict(info)).c_str());
        if (!pin || pin->empty()) {
            std::printf("SshHostKey: not set; to pin this key: signposter-cli set SshHostKey=%s\n",
                        info.fingerprint.c_str());
        } else {
            std::printf("SshHostKey: %s\n",
                        *pin == info.fingerprint ? "matches this key" : "DIFFERS from this key");
        }
    } catch (const Exception& error) {
        client.CloseConnection();
        std::fprintf(stderr, "%s: %s\n", error.ClassName(),
                     text::Printable(text::OneLine(error.Message())).c_str());
        return 1;
    }
    return 0;
}

}  // namespace signposter::cli
