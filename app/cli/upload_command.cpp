// signposter-cli upload LOCAL REMOTE [--verbose]: one upload attempt made exactly as the publisher makes
// it (FTP, FTPS or SFTP), with the settings loaded from the settings file.
#include <cstdio>
#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "app/cli/headless_user_interface.h"
#include "app/cli/output_lines.h"
#include "core/extended_settings.h"
#include "core/publishing_core.h"
#include "core/single_upload.h"
#include "platform/exceptions.h"
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
    if (verbose)
        TraceSessions(core, [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
    try {
        UploadOnce(core, paths[0], paths[1]);
    } catch (const std::exception& error) {
        const AttemptFailure failure = DescribeUploadFailure(core, error, paths[1]);
        WriteLine(stderr, Priority::Failure, failure.sentence);
        // The exception as raised, the socket layer's own text included.
        if (verbose)
            std::fprintf(stderr, "%s: %s\n", failure.errorClass.c_str(),
                         ForTerminal(failure.message).c_str());
        return 1;
    }
    return 0;
}

}  // namespace signposter::cli
