// signposter-cli: the publishing core without a window, for machines without a desktop and for scripts.
#include <malloc.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "app/cli/output_lines.h"
#include "core/settings.h"
#include "platform/directories.h"
#include "platform/exceptions.h"
#include "platform/text.h"

namespace {

constexpr char kUsage[] =
    "usage: signposter-cli COMMAND [ARGS]\n"
    "  show [--help]            print every setting (--help: what each extra setting does)\n"
    "  set [--password-stdin] KEY=VALUE ...\n"
    "                           change settings and save them (the password read from standard input)\n"
    "  address [--source hostname|interface:NAME|web:URL|upnp] [--family ipv4|ipv6] [--quiet] [--verbose]\n"
    "                           print this machine's address as the monitor sees it, and its class\n"
    "                           (--quiet: the bare address alone, for scripts)\n"
    "  page [--offline] [--address A]\n"
    "                           build the page a publication would upload; print its path\n"
    "  upload LOCAL REMOTE [--verbose]\n"
    "                           one upload attempt with the saved FTP settings\n"
    "  publish                  \"Update Now\": publish the page for the last address\n"
    "  publish --current [--force]\n"
    "                           ask the address source once and publish it if it changed (for cron\n"
    "                           and dispatcher scripts); --force publishes it anyway\n"
    "  offline                  \"Offline\": publish the offline notice\n"
    "  monitor [--verbose]      watch the address and publish changes until Ctrl-C (with --verbose,\n"
    "                           one line for each address event acted on, and failures as raised)\n"
    "  status                   the settings file, the address source's answer, the last publication\n"
    "                           and what is pending (exit 1 when the last publication failed)\n"
    "  autostart on|off|status  start the tray program at login, or not\n"
    "  verify [--page FILE]     fetch VerifyURL and compare it with the page a publication would upload\n"
    "  tls-fingerprint          show the FTP server's TLS certificate and its SHA-256 fingerprint\n"
    "  ssh-fingerprint          show the SSH server's host key, its SHA256 fingerprint and what known_hosts "
    "says\n"
    "  --version                print the version\n";

}  // namespace

int main(int argc, char** argv) {
    using namespace signposter;
    // One allocator arena: the monitor allocates on one thread, and a look-up thread stuck on a slow
    // resolver would otherwise keep an arena of its own for every one started meanwhile.
    ::mallopt(M_ARENA_MAX, 1);
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("signposter-cli %s\n", SIGNPOSTER_VERSION);
        return 0;
    }
    const std::string command = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);

    PlainLiveSettings fields;
    ProgramState state;
    cli::Context context{fields, state, platform::SettingsFilePath()};
    try {
        if (command == "show")
            return cli::RunShow(context, args);
        if (command == "set")
            return cli::RunSet(context, args);
        if (command == "address")
            return cli::RunAddress(context, args);
        if (command == "page")
            return cli::RunPage(context, args);
        if (command == "publish")
            return cli::RunPublish(context, args);
        if (command == "offline")
            return cli::RunOffline(context, args);
        if (command == "monitor")
            return cli::RunMonitor(context, args);
        if (command == "autostart")
            return cli::RunAutostart(context, args);
        if (command == "status")
            return cli::RunStatus(context, args);
        if (command == "verify")
            return cli::RunVerify(context, args);
        if (command == "tls-fingerprint")
            return cli::RunTlsFingerprint(context, args);
        if (command == "ssh-fingerprint")
            return cli::RunSshFingerprint(context, args);
        if (command == "upload") {
            LoadSettings(fields, state, context.settingsPath);
            return cli::RunUpload(context, args);
        }
    } catch (const Exception& error) {
        for (const std::string& line : text::SplitLines(error.Message()))
            cli::WriteLine(stderr, cli::Priority::Failure, line);
        return 1;
    } catch (const std::exception& error) {
        // Out of memory or another failure of the standard library: reported, never a crash.
        cli::WriteLine(stderr, cli::Priority::Failure, std::string("signposter-cli: ") + error.what());
        return 1;
    }
    std::fprintf(stderr, "signposter-cli: unknown command '%s'\n%s", command.c_str(), kUsage);
    return 2;
}
