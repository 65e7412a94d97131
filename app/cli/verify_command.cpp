// `verify`: whether visitors get the page a publication would upload now.
#include <cstdio>
#include <optional>

#include "app/cli/commands.h"
#include "app/cli/headless_user_interface.h"
#include "core/page_verification.h"
#include "core/server_check.h"
#include "core/settings.h"
#include "platform/text.h"

namespace signposter::cli {

int RunVerify(Context& context, const std::vector<std::string>& args) {
    std::optional<std::string> pageFile;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--page" && i + 1 < args.size() && !pageFile) {
            pageFile = args[++i];
        } else {
            std::fputs("usage: signposter-cli verify [--page FILE]\n", stderr);
            return 2;
        }
    }
    LoadSettings(context.fields, context.state, context.settingsPath);
    if (text::Trim(context.state.VerifyURL).empty()) {
        std::fputs("signposter-cli verify: VerifyURL is not set (signposter-cli set VerifyURL=http://...)\n",
                   stderr);
        return 2;
    }
    const std::vector<std::string> problems = VerificationProblems(context.state);
    if (!problems.empty()) {
        for (const std::string& line : problems) std::fprintf(stderr, "%s\n", line.c_str());
        return 2;
    }
    InstallStopHandlers();
    HeadlessUserInterface ui;
    HttpPageFetcher fetcher(HeadlessUserInterface::StoppableClock(), context.state);
    const VerifyResult result = VerifyPublishedPage(context.fields, context.state, ui, fetcher, pageFile);
    std::printf("%s\n", text::Printable(result.text).c_str());
    return result.match ? 0 : 1;
}

}  // namespace signposter::cli
