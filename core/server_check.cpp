#include "core/server_check.h"

#include "core/address_class.h"
#include "core/address_family.h"
#include "core/address_source.h"
#include "core/extended_settings.h"
#include "core/failure_text.h"
#include "core/page_builder.h"
#include "core/page_fetcher.h"
#include "core/page_verification.h"
#include "core/publishing_core.h"
#include "ftp/id_ftp.h"
#include "ftp/tls_probe.h"
#include "platform/text.h"
#include "sftp/sftp_client.h"

namespace signposter {

namespace {

// Building the page only reports a missing template; the check says so in its own result.
class QuietUserInterface final : public UserInterface {
public:
    void ShowMessage(const std::string&, const std::string&, MessageIcon) override {}
    void ShowMainWindow() override {}
    void HideMainWindow() override {}
    bool MainWindowVisible() const override { return false; }
    void SetTimerEnabled(bool) override {}
    void ReportOutcome(const PublicationOutcome&) override {}
};

}  // namespace

CheckReport ProbeServer(ftp::TIdFTP& client, const std::string& trustFile) {
    const ftp::TlsPeerInfo info = ftp::ProbeServerCertificate(client, text::Trim(trustFile));
    CheckReport report;
    report.ok = true;
    for (const auto& [label, value] : ftp::CertificateFields(info))
        report.text += (report.text.empty() ? "" : "\n") + label + ": " + text::Printable(value);
    report.fingerprint = ftp::FormatFingerprint(info.fingerprint);
    return report;
}

bool ReachesServerOverIPv6(const ProgramState& state) {
    return ChosenFamily(state) != AddressFamily::IPv4;
}

namespace {

// The host and port fields as a check uses them (empty port text: `defaultPort`), or why not, without
// connecting.
struct CheckTarget {
    std::string host;
    std::int32_t port = 0;
    std::optional<CheckReport> refused;
};

CheckTarget TargetOf(const std::string& host, const std::string& portText, std::int32_t defaultPort) {
    CheckTarget target{text::Trim(host), 0, std::nullopt};
    const std::string portField = text::Trim(portText);
    const auto port =
        portField.empty() ? std::optional<std::int32_t>(defaultPort) : text::TryStrictInteger(portField);
    if (target.host.empty())
        target.refused = CheckReport{false, "No Host Name", {}};
    else if (!port || *port < 1 || *port > 65535)
        target.refused = CheckReport{false, kPortMessage, {}};
    else
        target.port = *port;
    return target;
}

}  // namespace

CheckReport CheckServer(const std::string& host, const std::string& portText, const std::string& trustFile,
                        const Clock& clock, bool ipv6Allowed) {
    const CheckTarget target = TargetOf(host, portText, 21);
    if (target.refused)
        return *target.refused;
    ftp::TIdFTP client;
    PublishingCore::ApplyClientDefaults(client);
    client.SetClock(clock);
    client.SetHost(target.host);
    client.SetPort(target.port);
    client.SetIPv6Allowed(ipv6Allowed);
    // The greeting is what a plain FTP server shows of itself, when it has no certificate to show.
    std::string greeting;
    client.SetTraceHandler([&greeting](ftp::TraceDirection direction, const std::string& line) {
        if (direction == ftp::TraceDirection::Received && greeting.empty())
            greeting = line;
    });
    try {
        return ProbeServer(client, trustFile);
    } catch (const std::exception& error) {
        const AttemptFailure failure = CaptureFailure(error, client.LastCommandVerb());
        // Greeted, then AUTH TLS refused: a server of plain FTP only, which is what it is, not an error.
        if (failure.command == "AUTH" && failure.replyCode >= 500 && failure.replyCode < 600)
            return {true,
                    "connected, the server greets: " + text::Printable(text::OneLine(greeting)) +
                        "; it offers no TLS, and plain FTP sends the password unencrypted",
                    {}};
        return {false, DescribeFailure(failure, {target.host, target.port, {}, {}}), {}};
    }
}

CheckReport CheckSshServer(const std::string& host, const std::string& portText, const std::string& pinned,
                           const Clock& clock, bool ipv6Allowed) {
    const CheckTarget target = TargetOf(host, portText, 22);
    if (target.refused)
        return *target.refused;
    sftp::SftpClient client;
    client.SetClock(clock);
    sftp::SshSettings settings;
    settings.host = target.host;
    settings.port = target.port;
    settings.ipv6Allowed = ipv6Allowed;
    client.SetSettings(settings);
    const sftp::HostKeyInfo info = client.ProbeHostKey();
    const auto pin = sftp::NormalizeHostKeyPin(pinned);
    CheckReport report;
    report.fingerprint = info.fingerprint;
    report.text = "Host: " + text::Printable(info.hostEntry) + "\nKey type: " + text::Printable(info.type) +
                  "\nFingerprint: " + info.fingerprint +
                  "\nknown_hosts: " + text::Printable(sftp::DescribeVerdict(info)) + "\nSshHostKey: ";
    if (pin && !pin->empty()) {
        report.ok = *pin == info.fingerprint;
        report.text += report.ok ? "matches this key" : "DIFFERS from this key";
    } else {
        report.ok = info.verdict == sftp::KnownHostsVerdict::Known;
        report.text += "not set; to pin this key: signposter-cli set SshHostKey=" + info.fingerprint;
    }
    return report;
}

CheckReport CheckAddress(ProgramState state, HostLookup& lookup, const Clock& clock,
                         std::function<bool()> stopped) {
    ConfiguredAddress configured(state, lookup, clock);
    configured.SetStopCheck(std::move(stopped));
    const AddressAnswer answer = configured.QueryNow();
    if (!answer.address)
        return {false, text::Printable(text::OneLine(answer.reason)), {}};
    const AddressClass addressClass = ClassifyAddress(*answer.address);
    return {true,
            text::Printable(*answer.address) + ": " + ClassName(addressClass) +
                (IsUnreachable(addressClass) ? ", visitors cannot reach it" : ""),
            {}};
}

std::optional<std::string> PageToVerify(const LiveSettings& fields, ProgramState& state) {
    QuietUserInterface quiet;
    SetLocalPageFile(fields, state);
    return BuildAddressPage(fields, state, quiet, PublishedAddress(state));
}

CheckReport CheckPage(const ProgramState& state, const std::string& page, const Clock& clock) {
    HttpPageFetcher fetcher(clock, state);
    const VerifyResult verdict = CheckServedPage(fetcher, state, page);
    return {verdict.match, text::Printable(text::OneLine(verdict.text)), {}};
}

std::vector<std::string> VerificationProblems(const ProgramState& state) {
    std::vector<std::string> messages;
    for (const SettingProblem& problem : ExtendedSettingsProblems(state)) {
        const SettingKey* key = FindSettingKey(problem.key);
        if (key && key->group == SettingsGroup::Verification)
            messages.push_back(problem.message);
    }
    return messages;
}

bool ChoosesSftp(const ProgramState& state) {
    return sftp::ParseSftpProtocol(state.Protocol).value_or(false);
}

}  // namespace signposter
