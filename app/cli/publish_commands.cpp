// address, page, publish, offline and monitor: the publishing core driven from a terminal.
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <string_view>

#include "app/cli/commands.h"
#include "app/cli/headless_user_interface.h"
#include "app/cli/output_lines.h"
#include "core/address_class.h"
#include "core/address_discovery.h"
#include "core/address_family.h"
#include "core/address_source.h"
#include "core/address_watch.h"
#include "core/extended_settings.h"
#include "core/monitor.h"
#include "core/page_builder.h"
#include "core/publisher.h"
#include "core/publishing_core.h"
#include "core/runner.h"
#include "core/settings.h"
#include "platform/exceptions.h"
#include "platform/text.h"

namespace signposter::cli {

namespace {

// What the window would be: the program's core with a headless user interface over the plain fields.
struct HeadlessProgram {
    explicit HeadlessProgram(Context& context)
        : core(context.fields, ui, context.settingsPath,
               {nullptr, &HeadlessUserInterface::StoppableClock(), nullptr, nullptr}),
          monitor(core.GetMonitor()) {}
    HeadlessUserInterface ui;
    PublishingCore core;
    Monitor& monitor;
};

bool ExpectNoArguments(const char* command, const std::vector<std::string>& args) {
    if (args.empty())
        return true;
    std::fprintf(stderr, "usage: signposter-cli %s\n", command);
    return false;
}

// Exit status of a command that validated and published.
int CommandStatus(const HeadlessUserInterface& ui) {
    if (ui.ErrorShown())
        return 1;
    if (ui.WindowRequested())
        return 2;  // validation failed
    const auto& outcome = ui.LastOutcome();
    if (!outcome)
        return 0;
    using Kind = PublicationOutcome::Kind;
    // A damaged LastIP is a failure to publish, not an address held back by choice.
    const bool damaged =
        outcome->kind == Kind::SkippedUnreachable && outcome->addressClass == AddressClass::NotAnAddress;
    return outcome->kind == Kind::Failed || outcome->kind == Kind::Abandoned || damaged ? 1 : 0;
}

void OnStopSignal(int signal) {
    if (HeadlessUserInterface::StopRequested()) {
        // A second Ctrl-C does not wait for the closing save.
        ::_exit(128 + signal);
    }
    HeadlessUserInterface::RequestStop();
}

}  // namespace

void InstallStopHandlers() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: sleeps end at once
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

namespace {

std::string WatchFallbackText(const AddressWatch& watch) {
    return "address events unavailable (" + watch.UnavailableReason() + "); polling instead";
}

// One line per address event the monitor acted on, timestamped as the outcomes are.
void PrintEventLine(const Clock& clock, const AddressEvent& event) {
    WriteLine(stdout, Priority::Information, "event: " + event.Describe(), clock.Now());
}

}  // namespace

namespace {

constexpr char kAddressUsage[] =
    "usage: signposter-cli address [--source hostname|interface:NAME|web:URL|upnp] [--family ipv4|ipv6]\n"
    "                              [--quiet] [--verbose]\n";

// "--source" text onto the settings it stands for; false when it names no source.
bool ApplySourceOption(const std::string& option, ProgramState& state) {
    const std::size_t colon = option.find(':');
    const std::string kind = option.substr(0, colon);
    const std::string value = colon == std::string::npos ? std::string() : option.substr(colon + 1);
    switch (ParseSourceKind(kind)) {
        case SourceKind::HostName:
        case SourceKind::UPnP:
            if (kind.empty() || colon != std::string::npos)
                return false;
            state.AddressSource = kind;
            return true;
        case SourceKind::Interface:
            state.AddressSource = kind;
            state.AddressInterface = value;
            return !value.empty();
        case SourceKind::Web:
            state.AddressSource = kind;
            state.AddressURL = value;
            return !value.empty();
        case SourceKind::Unknown:
            return false;
    }
    return false;
}

}  // namespace

int RunAddress(Context& context, const std::vector<std::string>& args) {
    std::optional<std::string> source;
    std::optional<AddressFamily> familyOption;
    bool verbose = false;
    bool quiet = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--verbose") {
            verbose = true;
        } else if (args[i] == "--quiet") {
            quiet = true;
        } else if (args[i] == "--source" && i + 1 < args.size() && !source) {
            source = args[++i];
        } else if (args[i] == "--family" && i + 1 < args.size() && !familyOption) {
            familyOption = ParseAddressFamily(args[++i]);
            if (!familyOption || *familyOption == AddressFamily::Both || text::Trim(args[i]).empty()) {
                std::fputs(kAddressUsage, stderr);
                return 2;
            }
        } else {
            std::fputs(kAddressUsage, stderr);
            return 2;
        }
    }
    LoadSettings(context.fields, context.state, context.settingsPath);
    // The source given here is asked instead of the configured one; the settings file stays as it is.
    if (source && !ApplySourceOption(*source, context.state)) {
        std::fputs(kAddressUsage, stderr);
        return 2;
    }
    // Without --family the settings' family decides; with Both, both are asked and the page's one printed.
    const AddressFamily family = familyOption.value_or(ChosenFamily(context.state));
    InstallStopHandlers();
    SystemHostLookup lookup(HeadlessUserInterface::StoppableClock());
    ConfiguredAddress configured(context.state, lookup, platform::MachineClock());
    configured.SetStopCheck([] { return HeadlessUserInterface::StopRequested(); });
    StepLog log;
    if (verbose)
        log = [](const std::string& step) { WriteLine(stderr, Priority::Information, step); };
    if (verbose) {
        const AddressWatch watch = OpenAddressWatch(platform::MachineClock());
        if (watch.Watching())
            WriteLine(stderr, Priority::Information,
                      "address events: watched (the monitor asks at each change)");
        else
            WriteLine(stderr, Priority::Warning, WatchFallbackText(watch));
    }
    std::optional<AddressAnswer> ipv4, ipv6;
    if (family != AddressFamily::IPv6)
        ipv4 = configured.QueryNow(log, false);
    if (family != AddressFamily::IPv4)
        ipv6 = configured.QueryNow(log, true);
    std::optional<std::string> address;
    if (family == AddressFamily::Both) {
        ProgramState answers;
        answers.AddressFamily = "Both";
        answers.CurrentIP = ipv4->address.value_or(std::string());
        answers.CurrentIP6 = ipv6->address.value_or(std::string());
        for (const auto& [name, answer] : {std::pair{"IPv4", &*ipv4}, std::pair{"IPv6", &*ipv6}}) {
            if (!answer->address)
                WriteLine(stderr, Priority::Warning, std::string(name) + ": " + answer->reason);
            else if (verbose)
                WriteLine(stderr, Priority::Information,
                          std::string(name) + ": " + *answer->address + " " +
                              DescribeClass(ClassifyAddress(*answer->address)));
        }
        if (!ipv4->address && !ipv6->address)
            return 1;
        address = PublishedAddress(answers);
        if (verbose)
            WriteLine(stderr, Priority::Information,
                      std::string("the page carries ") +
                          (*address == answers.CurrentIP6 && !answers.CurrentIP.empty()
                               ? "the IPv6 address: visitors cannot reach the IPv4 one"
                           : *address == answers.CurrentIP ? "the IPv4 address"
                                                           : "the IPv6 address"));
    } else {
        const AddressAnswer& answer = ipv4 ? *ipv4 : *ipv6;
        if (!answer.address) {
            WriteLine(stderr, Priority::Failure, answer.reason);
            return 1;
        }
        address = answer.address;
    }
    const std::string addressClass = DescribeClass(ClassifyAddress(*address));
    if (!quiet) {
        std::printf("%s %s\n", address->c_str(), addressClass.c_str());
        return 0;
    }
    // For scripts: the bare address alone on standard output, the class only where a person looks.
    std::printf("%s\n", address->c_str());
    if (verbose)
        WriteLine(stderr, Priority::Information, addressClass);
    return 0;
}

int RunPage(Context& context, const std::vector<std::string>& args) {
    bool offline = false;
    std::optional<std::string> address;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--offline") {
            offline = true;
        } else if (args[i] == "--address" && i + 1 < args.size()) {
            address = args[++i];
        } else {
            std::fputs("usage: signposter-cli page [--offline] [--address A]\n", stderr);
            return 2;
        }
    }
    HeadlessUserInterface ui;
    LoadSettings(context.fields, context.state, context.settingsPath);
    const std::string pageAddress = address ? CanonicalAddress(*address) : PublishedAddress(context.state);
    // Text that is no address never goes into a page (an empty one builds the page of "http://" links).
    if (!offline && !pageAddress.empty() && ClassifyAddress(pageAddress) == AddressClass::NotAnAddress) {
        WriteLine(stderr, Priority::Failure,
                  address ? "'" + text::Printable(*address) + "' is not an address"
                          : DamagedAddressReason(context.state, pageAddress));
        return 1;
    }
    SetLocalPageFile(context.fields, context.state);
    if (offline) {
        BuildOfflinePage(context.state);
    } else if (!BuildAddressPage(context.fields, context.state, ui, pageAddress)) {
        return 1;
    }
    std::printf("%s\n", context.state.LocalPageFile.c_str());
    return 0;
}

namespace {

// Once the settings passed their checks: a remote path that runs into the page name ("htdocs" +
// "home.htm") is said every time, cron jobs included; where the page goes only when a person asked for
// the publication.
void TellWhereThePageGoes(const HeadlessProgram& program, const LiveSettings& fields, bool note) {
    if (program.ui.WindowRequested() || program.ui.ErrorShown())
        return;
    if (note)
        WriteLine(stderr, Priority::Information, RemoteFileNote(fields));
    if (const std::string warning = RemotePathWarning(fields); !warning.empty())
        WriteLine(stderr, Priority::Warning, "signposter-cli: warning: " + warning);
}

// "Update Now" and "Offline" as the window runs them, after the settings are loaded as at start.
int RunWindowCommand(const char* name, void (Monitor::*command)(), Context& context,
                     const std::vector<std::string>& args) {
    if (!ExpectNoArguments(name, args))
        return 2;
    InstallStopHandlers();
    HeadlessProgram program(context);
    program.monitor.FormCreate();
    if (program.ui.ErrorShown())
        return 1;
    (program.monitor.*command)();
    TellWhereThePageGoes(program, context.fields, std::string_view(name) == "publish");
    return CommandStatus(program.ui);
}

}  // namespace

namespace {

constexpr char kPublishUsage[] = "usage: signposter-cli publish [--current [--force]]\n";

// One monitor tick for cron and dispatcher scripts: the configured source is asked once, a new answer is
// saved as LastIP and published, exactly as the running monitor would; an unchanged one is published
// only with `force`. The source's class rules hold, so a flagged address is not published even then.
int PublishCurrent(Context& context, bool force) {
    InstallStopHandlers();
    HeadlessProgram program(context);
    program.monitor.FormCreate();
    if (program.ui.ErrorShown())
        return 1;
    program.monitor.Timer1Timer();
    HeadlessUserInterface& ui = program.ui;
    if (force && !ui.LastOutcome() && !ui.WindowRequested() && !ui.ErrorShown())
        program.monitor.GetPublisher().PublishAddress();
    TellWhereThePageGoes(program, context.fields, false);
    if (const auto& outcome = ui.LastOutcome()) {
        using Kind = PublicationOutcome::Kind;
        if (outcome->kind == Kind::SkippedUnreachable || outcome->kind == Kind::AddressUnavailable)
            WriteLine(stderr, PriorityOf(*outcome), DescribeOutcome(*outcome));
        // The source gave nothing: the script learns that nothing was checked.
        if (outcome->kind == Kind::AddressUnavailable)
            return 1;
    }
    return CommandStatus(ui);
}

}  // namespace

int RunPublish(Context& context, const std::vector<std::string>& args) {
    bool current = false;
    bool force = false;
    for (const std::string& arg : args) {
        if (arg == "--current" && !current) {
            current = true;
        } else if (arg == "--force" && !force) {
            force = true;
        } else {
            std::fputs(kPublishUsage, stderr);
            return 2;
        }
    }
    if (force && !current) {
        std::fputs(kPublishUsage, stderr);
        return 2;
    }
    if (current)
        return PublishCurrent(context, force);
    return RunWindowCommand("publish", &Monitor::UpdateNowCommand, context, args);
}

int RunOffline(Context& context, const std::vector<std::string>& args) {
    return RunWindowCommand("offline", &Monitor::OfflineCommand, context, args);
}

int RunMonitor(Context& context, const std::vector<std::string>& args) {
    const bool verbose = args.size() == 1 && args[0] == "--verbose";
    if (!verbose && !ExpectNoArguments("monitor [--verbose]", args))
        return 2;
    InstallStopHandlers();
    HeadlessProgram program(context);
    HeadlessUserInterface& ui = program.ui;
    Monitor& monitor = program.monitor;
    monitor.FormCreate();
    Runner runner(program.core, ui, HeadlessUserInterface::Stop(), Runner::AtStop::Return);
    ui.SetTimerHandler([&runner](bool enabled) { runner.SetTimerEnabled(enabled); });
    // Validation failed: there is no window to configure in.
    runner.SetAfterStep([&] {
        if (ui.WindowRequested())
            runner.Finish();
    });
    // Watched before the start is announced, so that a change made after the announcement is seen.
    AddressWatch& watch = runner.Begin();
    if (!watch.Watching())
        WriteLine(stderr, Priority::Warning, "signposter-cli: " + WatchFallbackText(watch));
    ui.SetVerbose(verbose);
    WriteLine(stderr, Priority::Notice,
              "signposter-cli: " + MonitorStartLine(context.settingsPath, program.core.State()));
    // Events read during a publication too: those may end it.
    if (verbose)
        watch.ShowEventsTo(
            [&](const AddressEvent& event) { PrintEventLine(program.core.GetClock(), event); });
    runner.Run();
    if (ui.WindowRequested())
        return 2;
    const bool saved = monitor.FormClose();
    WriteLine(stderr, Priority::Notice,
              "signposter-cli: " + MonitorEndLine(program.core.State(), ui.LastOutcome()));
    return saved ? 0 : 1;
}

}  // namespace signposter::cli
