// signposter-cli: the publishing core without a window, for machines without a desktop and for scripts.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "platform/directories.h"
#include "platform/exceptions.h"

namespace {

constexpr char kUsage[] =
    "usage: signposter-cli COMMAND [ARGS]\n"
    "  show                     print every setting\n"
    "  set KEY=VALUE ...        change settings and save them\n";

}  // namespace

int main(int argc, char** argv) {
    using namespace signposter;
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    const std::string command = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);

    cli::HeadlessSettings fields;
    ProgramState state;
    cli::Context context{fields, state, platform::SettingsFilePath()};
    try {
        if (command == "show") return cli::RunShow(context, args);
        if (command == "set") return cli::RunSet(context, args);
    } catch (const Exception& error) {
        std::fprintf(stderr, "%s\n", error.Message().c_str());
        return 1;
    }
    std::fprintf(stderr, "signposter-cli: unknown command '%s'\n%s", command.c_str(), kUsage);
    return 2;
}
