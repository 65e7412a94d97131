// signposter-cli upload LOCAL REMOTE [--verbose]: one upload attempt made exactly as the publisher makes
// it (FTP, FTPS or SFTP), with the settings loaded from the settings file.
#include <cstdio>
#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "app/cli/headless_user_interface.h"
#include "app/cli/output_lines.h"
#include "app/cli/tls_report.h"
#include "core/extended_settings.h"
#include "core/failure_text.h"
#include "core/publishing_core.h"
#include "core/server_check.h"
#include "ftp/id_ftp.h"
#include "platform/exceptions.h"
#include "platform/files.h"
#include "platform/text.h"

namespace signposter::cli {

namespace {

constexpr char kUploadUsage[] = "usage: signposter-cli upload LOCAL REMOTE [--verbose]\n";

// Messages may hold CR LF (the socket errors do); a terminal wants plain line ends, and no control bytes
// from a server.
std::string ForTerminal(const std::string& message) {
    std::string out;
    for (const std::string& line : text::SplitLines(message))
        out += (out.empty() ? "" : "\n") + text::Printable(line);
    return out;
}

// The password must not reach a terminal or a log, whether in the pass command or echoed by a server.
std::string MaskPassword(std::string line, const std::string& password) {
    if (password.empty())
        return line;
    const std::string stars(password.size(), '*');
    for (std::size_t at = line.find(password); at != std::string::npos;
         at = line.find(password, at + stars.size())) {
        line.replace(at, password.size(), stars);
    }
    return line;
}

}  // namespace

int RunUpload(Context& context, const std::vector<std::string>& args) {
    bool verbose = false;
    std::vector<std::string> paths;
    for (const std::string& arg : args) {
        if (arg == "--verbose") {
            verbose = true;
        } else if (arg.rfind("--", 0) == 0) {
            std::fprintf(stderr, "signposter-cli upload: unknown option '%s'\n%s", arg.c_str(), kUploadUsage);
            return 2;
        } else {
            paths.push_back(arg);
        }
    }
    if (paths.size() != 2) {
        std::fputs(kUploadUsage, stderr);
        return 2;
    }

    // Nothing to look up: the setting is missing, as the window's validation says.
    if (text::Trim(context.fields.Text(TextField::Host)).empty()) {
        WriteLine(stderr, Priority::Failure, "No Host Name");
        return 2;
    }
    // A port outside 1..65535 would wrap to another one, which would get the user name and password.
    if (const auto problem = PortProblem(context.fields.Text(TextField::Port))) {
        std::fprintf(stderr, "%s\n", problem->c_str());
        return 2;
    }
    HeadlessUserInterface ui;
    PublishingCore core(context.fields, ui, context.settingsPath,
                        {nullptr, &HeadlessUserInterface::StoppableClock(), nullptr, nullptr});
    InstallStopHandlers();
    // The values loaded for this command, the FTPS keys among them, are the ones the publisher configures
    // from.
    core.State() = context.state;
    ftp::TIdFTP& client = core.Client();
    const std::string password = context.fields.Text(TextField::Password);
    if (verbose) {
        client.SetOnStatus([](ftp::TIdComponent*, ftp::TIdStatus, const std::string& text) {
            std::fprintf(stderr, "-- %s\n", ForTerminal(text).c_str());
        });
        client.SetTraceHandler([password](ftp::TraceDirection direction, const std::string& line) {
            std::fprintf(stderr, "%s %s\n", direction == ftp::TraceDirection::Sent ? ">" : "<",
                         text::Printable(MaskPassword(line, password)).c_str());
        });
        client.SetOnTlsEstablished([](const ftp::TlsPeerInfo& info, bool dataConnection) {
            PrintTlsHandshake(stderr, info, dataConnection);
        });
        // The steps name the user and the key file, never the password or passphrase.
        core.Sftp().SetOnStep([password](const std::string& step) {
            std::fprintf(stderr, "-- %s\n", text::Printable(MaskPassword(step, password)).c_str());
        });
    }
    try {
        core.GetPublisher().ConfigureClient();
        // Read before anything is sent: what cannot be read whole (a FIFO, a device) must not cost the
        // server its copy.
        const std::string bytes = platform::ReadWholeFile(paths[0]);
        if (core.GetPublisher().UsesSftp()) {
            core.Sftp().OpenSession();
            core.Sftp().StoreAtomically(bytes, paths[1]);
            core.Sftp().CloseConnection();
        } else {
            client.OpenSession(true);
            if (core.State().AtomicUpload)
                client.StoreBytesAtomically(bytes, paths[1]);
            else
                client.StoreBytes(bytes, paths[1], false);
            client.CloseConnection();
        }
    } catch (const std::exception& error) {
        const bool sftp = ChoosesSftp(core.State());
        const AttemptFailure failure = CaptureFailure(error, sftp ? std::string() : client.LastCommandVerb());
        WriteLine(stderr, Priority::Failure,
                  DescribeFailure(failure, {client.Host(), client.Port(), client.User(), paths[1]}));
        // The exception as raised, the socket layer's own text included.
        if (verbose)
            std::fprintf(stderr, "%s: %s\n", failure.errorClass.c_str(),
                         ForTerminal(failure.message).c_str());
        return 1;
    }
    return 0;
}

}  // namespace signposter::cli
