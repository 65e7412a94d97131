// signposter-cli status, and the lines `monitor` prints when it starts and ends: what the program watches,
// what it last published and what is still to be published, as the settings file remembers it.
#include <cstdio>
#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "app/cli/headless_user_interface.h"
#include "app/cli/output_lines.h"
#include "core/address_class.h"
#include "core/address_discovery.h"
#include "core/address_family.h"
#include "core/address_source.h"
#include "core/publication_record.h"
#include "core/settings.h"
#include "platform/files.h"
#include "platform/text.h"

namespace signposter::cli {

namespace {

std::string SourceName(const ProgramState& state) {
    switch (ParseSourceKind(state.AddressSource)) {
        case SourceKind::HostName:
            return "the host name";
        case SourceKind::Interface:
            return "interface " + text::Printable(state.AddressInterface);
        case SourceKind::Web:
            return "the web page " + text::Printable(state.AddressURL);
        case SourceKind::UPnP:
            return "the router (UPnP)";
        case SourceKind::Unknown:
            break;
    }
    return "AddressSource " + text::Printable(state.AddressSource) + ", which names no source";
}

std::string Stamp(std::optional<std::int64_t> when) {
    return when ? LocalStamp(static_cast<std::time_t>(*when)) : std::string("an unknown time");
}

std::string PendingName(const ProgramState& state) {
    if (state.PendingPublication == "offline")
        return "the offline notice";
    return "the address page";
}

std::string LastPublished(const PublicationRecord& record) {
    if (record.publishedAddress.empty())
        return "not recorded yet";
    return record.publishedAddress + " at " + Stamp(record.publishedWhen);
}

// What the source answers now, for one family.
std::string Answer(ConfiguredAddress& configured, bool ipv6) {
    const AddressAnswer answer = configured.QueryNow({}, ipv6);
    if (!answer.address)
        return "gives no address: " + text::Printable(text::OneLine(answer.reason));
    return "answers " + text::Printable(*answer.address) + " (" +
           DescribeClass(ClassifyAddress(*answer.address)) + ")";
}

}  // namespace

int RunStatus(Context& context, const std::vector<std::string>& args) {
    if (!args.empty()) {
        std::fputs("usage: signposter-cli status\n", stderr);
        return 2;
    }
    const bool exists = platform::FileExists(context.settingsPath);
    LoadSettings(context.fields, context.state, context.settingsPath);
    const ProgramState& state = context.state;
    const PublicationRecord record = RecordOf(state);
    std::printf("settings file: %s%s\n", context.settingsPath.c_str(), exists ? "" : " (not written yet)");

    InstallStopHandlers();
    SystemHostLookup lookup(HeadlessUserInterface::StoppableClock());
    ProgramState asked = state;
    ConfiguredAddress configured(asked, lookup, platform::MachineClock());
    configured.SetStopCheck([] { return HeadlessUserInterface::StopRequested(); });
    const AddressFamily family = ChosenFamily(state);
    std::string source = "address source: " + SourceName(state);
    if (family != AddressFamily::IPv6)
        source += ", which " + Answer(configured, false);
    if (family != AddressFamily::IPv4)
        source += std::string(family == AddressFamily::Both ? "; over IPv6 it " : ", which ") +
                  Answer(configured, true);
    std::printf("%s\n", source.c_str());

    std::printf("last published: %s\n", LastPublished(record).c_str());
    if (record.outcome.empty())
        std::printf("last outcome: not recorded yet (the record starts with the first failed publication)\n");
    else
        std::printf("last outcome: %s at %s: %s\n", record.outcome.c_str(), Stamp(record.when).c_str(),
                    text::Printable(record.text).c_str());
    const bool pending = !state.PendingPublication.empty();
    if (!pending) {
        std::printf("pending: nothing\n");
    } else if (record.outcome == "refused") {
        std::printf("pending: %s, retried when the settings change or the monitor starts\n",
                    PendingName(state).c_str());
    } else if (record.nextRetry) {
        std::printf("pending: %s, retried at %s by a running monitor, or when the monitor starts\n",
                    PendingName(state).c_str(), Stamp(record.nextRetry).c_str());
    } else {
        std::printf("pending: %s, retried when the monitor starts\n", PendingName(state).c_str());
    }
    // Without a record a pending publication is the sign of a failure.
    if (!record.outcome.empty())
        return record.outcome == "published" ? 0 : 1;
    return pending ? 1 : 0;
}

std::string MonitorStartLine(const std::string& settingsPath, const ProgramState& state) {
    const PublicationRecord record = RecordOf(state);
    const std::string address = PublishedAddress(state);
    return "monitoring " + SourceName(state) + "; last address " +
           (address.empty() ? std::string("none yet") : text::Printable(address)) + "; last published " +
           LastPublished(record) + "; settings in " + settingsPath + "; Ctrl-C stops";
}

std::string MonitorEndLine(const ProgramState& state, const std::optional<PublicationOutcome>& last) {
    std::string line = "monitor stopped";
    line +=
        last ? "; last outcome: " + DescribeOutcome(*last) : std::string("; nothing published in this run");
    if (!state.PendingPublication.empty())
        line += "; " + PendingName(state) + " is pending and is published when the monitor starts";
    return line;
}

}  // namespace signposter::cli
