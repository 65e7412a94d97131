#include "core/publisher.h"

#include "core/address_family.h"
#include "core/address_source.h"
#include "core/extended_settings.h"
#include "core/failure_text.h"
#include "core/page_builder.h"
#include "core/page_verification.h"
#include "core/password_store.h"
#include "core/address_change_clock.h"
#include "ftp/id_ftp.h"
#include "platform/exceptions.h"
#include "platform/text.h"
#include "sftp/sftp_client.h"

namespace signposter {

namespace {

constexpr char kOfflineText[] = "OFFLINE";

}  // namespace

std::string DamagedAddressReason(const ProgramState& state, const std::string& address) {
    const bool ipv6 = address == state.CurrentIP6 && address != state.CurrentIP;
    return std::string(ipv6 ? "LastIP6" : "LastIP") + " in the settings file is not an address";
}

Publisher::Publisher(LiveSettings& fields, UserInterface& ui, ProgramState& state, const Clock& clock,
                     ftp::TIdFTP& ftp)
    : m_fields(fields), m_ui(ui), m_state(state), m_clock(clock), m_ftp(ftp) {}

Publisher::~Publisher() = default;

bool Publisher::IsIgnored(const std::string& address, const std::string& ignoreList) {
    std::size_t start = 0;
    while (start <= ignoreList.size()) {
        std::size_t comma = ignoreList.find(',', start);
        if (comma == std::string::npos)
            comma = ignoreList.size();
        const std::string entry = text::Trim(std::string_view(ignoreList).substr(start, comma - start));
        if (!entry.empty() && SameAddress(entry, address))
            return true;
        start = comma + 1;
    }
    return false;
}

void Publisher::PublishAddress(bool justDetected) {
    Publish(Kind::Address, kFirstRetryMs, justDetected);
}

void Publisher::PublishOffline() {
    Publish(Kind::Offline, kFirstRetryMs);
}

bool Publisher::RetryDue() const {
    return m_pending && !m_pending->waitsForSettings && m_clock.TickCount() >= m_pending->dueTick;
}

std::optional<std::int64_t> Publisher::MillisecondsUntilRetry() const {
    if (!m_pending || m_pending->waitsForSettings)
        return std::nullopt;
    return std::max<std::int64_t>(0, m_pending->dueTick - m_clock.TickCount());
}

void Publisher::RestorePending(bool offline) {
    // Half the first interval, so that a failure of this retry waits the first interval again.
    m_pending = Pending{offline ? Kind::Offline : Kind::Address, m_clock.TickCount(), kFirstRetryMs / 2};
}

std::string Publisher::PendingName() const {
    if (!m_pending)
        return "";
    return m_pending->kind == Kind::Offline ? "offline" : "1";
}

void Publisher::RetryPending() {
    if (!m_pending)
        return;
    const Pending pending = *m_pending;
    // New settings start the pauses afresh.
    const std::int64_t interval =
        pending.waitsForSettings ? kFirstRetryMs : std::min(pending.intervalMs * 2, kLongestRetryMs);
    // An error that leaves the retry (a port text that is no number, a page file that cannot be written)
    // must not leave it due again at the very next tick.
    m_pending = Pending{pending.kind, m_clock.TickCount() + interval, interval};
    Publish(pending.kind, interval);
}

void Publisher::ConfigureClient() {
    if (const auto problem = TakePassword())
        throw Exception(*problem);
    ConfigureClientWithPassword();
}

void Publisher::ConfigureClientWithPassword() {
    m_ftp.SetHost(text::Trim(m_fields.Text(TextField::Host)));
    m_ftp.SetUser(text::Trim(m_fields.Text(TextField::User)));
    m_ftp.SetPort(text::StrictInteger(m_fields.Text(TextField::Port)));
    m_ftp.SetPassive(m_fields.Checked(Switch::Passive));
    m_ftp.SetPassword(m_password);
    m_ftp.SetTlsSettings(
        ftp::MakeTlsSettings(m_state.FtpSecurity, m_state.TlsTrustFile, m_state.TlsFingerprint));
    // Only a family that is not IPv4 lets the server be reached over IPv6: an old file talks IPv4 as before.
    const bool ipv6Allowed = ChosenFamily(m_state) != AddressFamily::IPv4;
    m_ftp.SetIPv6Allowed(ipv6Allowed);
    m_sftpChosen = UsesSftp();
    if (!m_sftpChosen)
        return;
    if (!m_sftp) {
        m_ownSftp = std::make_unique<sftp::SftpClient>();
        m_ownSftp->SetClock(m_clock);
        m_sftp = m_ownSftp.get();
    }
    // A malformed pin must never mean "no pin": it is refused here, before any attempt.
    if (!sftp::NormalizeHostKeyPin(m_state.SshHostKey))
        throw sftp::ESshHostKeyRejected("SshHostKey '" + m_state.SshHostKey +
                                        "' is not SHA256: followed by a fingerprint as OpenSSH prints it.");
    sftp::SshSettings settings = m_sftp->Settings();
    settings.host = m_ftp.Host();
    settings.port = m_ftp.Port();
    settings.user = m_ftp.User();
    settings.password = m_ftp.Password();
    settings.keyFile = text::Trim(m_state.SshKeyFile);
    settings.pinnedHostKey = m_state.SshHostKey;
    settings.ipv6Allowed = ipv6Allowed;
    m_sftp->SetSettings(std::move(settings));
}

std::optional<std::string> Publisher::TakePassword() {
    const std::string typed = m_fields.Text(TextField::Password);
    const PasswordStoreChoice store = ParsePasswordStore(m_state.PasswordStore).value_or(PasswordStoreChoice{});
    const PasswordKey key = StoredPasswordKey(m_fields, m_state);
    // A password typed into the window while the keyring keeps it goes there (never into the file).
    if (store.kind == PasswordStoreKind::Keyring && !typed.empty()) {
        if (auto problem = StorePassword(m_clock, store, key, typed))
            return problem;
        m_password = typed;
        return std::nullopt;
    }
    PasswordAnswer answer = ReadPassword(m_clock, store, key, typed);
    if (!answer.password)
        return answer.problem;
    m_password = std::move(*answer.password);
    return std::nullopt;
}

bool Publisher::UsesSftp() const {
    if (const auto sftp = sftp::ParseSftpProtocol(m_state.Protocol))
        return *sftp;
    throw EConvertError("'" + m_state.Protocol + "' is not a valid Protocol (FTP or SFTP)");
}

std::string Publisher::RemoteName() const {
    std::string remoteDirectory = m_fields.Text(TextField::RemotePath);
    // One leading "/" is dropped for FTP, whose paths start in the login directory. An SFTP path is the
    // server's own and an absolute one stays absolute, except the lone "/" of the settings' default, which
    // keeps meaning the login directory: nobody publishes into the server's root directory.
    if (!remoteDirectory.empty() && remoteDirectory.front() == '/' && (!m_sftpChosen || remoteDirectory == "/"))
        remoteDirectory.erase(0, 1);
    return remoteDirectory + m_fields.Text(TextField::PageName);
}

void Publisher::Pause(int ms) {
    // The tick counter is 64 bits wide, so the end time cannot overflow and every wait is a real wait.
    const std::int64_t end = m_clock.TickCount() + ms;
    while (!m_clock.Cancelled() && !m_ui.EndRequested() && !m_clock.Passed(end)) m_clock.SleepUntil(end);
}

std::string Publisher::Signature(Kind kind) const {
    std::string signature = kind == Kind::Offline ? kOfflineText : PublishedAddress(m_state);
    for (const TextField field : {TextField::Host, TextField::Port, TextField::User, TextField::Password,
                                  TextField::PageName, TextField::RemotePath, TextField::TemplateFile})
        signature += '\n' + m_fields.Text(field);
    for (const Switch which : {Switch::Passive, Switch::InternalRedirect, Switch::InternalNoRedirect,
                               Switch::UserTemplate, Switch::Active})
        signature += m_fields.Checked(which) ? '1' : '0';
    for (const std::string* value :
         {&m_state.TemplateFile, &m_state.IgnoreList, &m_state.Protocol, &m_state.FtpSecurity,
          &m_state.TlsTrustFile, &m_state.TlsFingerprint, &m_state.SshHostKey, &m_state.SshKeyFile})
        signature += '\n' + *value;
    return signature + (m_state.AtomicUpload ? '1' : '0');
}

bool Publisher::PublishedSameSince(std::uint64_t seen) const {
    return m_ended.load() > seen && m_lastSignature == Signature(Kind::Address);
}

void Publisher::Publish(Kind kind, std::int64_t retryIntervalMs, bool justDetected) {
    m_lastSignature = Signature(kind);
    PublicationOutcome outcome;
    outcome.addressDetected = justDetected;
    outcome.offline = kind == Kind::Offline;
    outcome.address = kind == Kind::Offline ? std::string(kOfflineText) : PublishedAddress(m_state);
    using OutcomeKind = PublicationOutcome::Kind;

    if (!m_fields.Checked(Switch::Active)) {
        outcome.kind = OutcomeKind::SkippedInactive;
        return Finish(outcome, kind, retryIntervalMs);
    }
    SetLocalPageFile(m_fields, m_state);
    m_fields.SetText(TextField::AddressDisplay, outcome.address);
    if (IsIgnored(outcome.address, m_state.IgnoreList)) {
        outcome.kind = OutcomeKind::SkippedIgnored;
        return Finish(outcome, kind, retryIntervalMs);
    }
    // An unresolved host name still counts as a change, but a page of "http://" links helps nobody.
    if (kind == Kind::Address && outcome.address.empty()) {
        outcome.kind = OutcomeKind::SkippedEmptyAddress;
        outcome.reason = m_state.AddressProblem;
        return Finish(outcome, kind, retryIntervalMs);
    }
    if (kind == Kind::Address) {
        outcome.addressClass = ClassifyAddress(outcome.address);
        if (IsUnreachable(outcome.addressClass)) {
            // The host name publishes what it resolves to, as it always did (the ignore list filters it);
            // the sources chosen to find the public address hold back what visitors cannot reach, and text
            // that is no address even when told to publish private ones.
            const bool hostName = ParseSourceKind(m_state.AddressSource) == SourceKind::HostName;
            const bool notAnAddress = outcome.addressClass == AddressClass::NotAnAddress;
            // Text that is no address never goes into a page, whatever the source: a damaged LastIP would
            // put whatever it holds (markup, a script) before every visitor.
            if (notAnAddress && !justDetected) {
                outcome.kind = OutcomeKind::SkippedUnreachable;
                outcome.reason = DamagedAddressReason(m_state, outcome.address);
                outcome.address.clear();  // nor into a message, a tooltip or a notification
                return Finish(outcome, kind, retryIntervalMs);
            }
            if (notAnAddress || (!hostName && !m_state.PublishPrivate)) {
                outcome.kind = OutcomeKind::SkippedUnreachable;
                outcome.reason = text::Printable(outcome.address) + " is " +
                                 ClassPhrase(outcome.addressClass) + "; visitors cannot reach it";
                return Finish(outcome, kind, retryIntervalMs);
            }
            outcome.reason = ClassPhrase(outcome.addressClass) +
                             ", visitors outside this network cannot reach it" +
                             (hostName ? "; see AddressSource" : "");
        }
    }
    // This publication uploads the page it built, whatever another one writes to the file meanwhile.
    std::string page;
    if (kind == Kind::Offline) {
        page = BuildOfflinePage(m_state);
    } else if (auto built = BuildAddressPage(m_fields, m_state, m_ui, outcome.address)) {
        page = std::move(*built);
    } else {
        outcome.kind = OutcomeKind::Abandoned;
        return Finish(outcome, kind, retryIntervalMs);
    }

    if (const auto problem = TakePassword()) {
        // Like a refused login: the timer's retries would only ask the same store again.
        outcome.kind = OutcomeKind::Failed;
        outcome.permanent = true;
        outcome.errorClass = "EPasswordStore";
        outcome.errorMessage = outcome.failureText = *problem;
        return Finish(outcome, kind, retryIntervalMs);
    }
    ConfigureClientWithPassword();  // a bad port raises here, before any attempt, and is not retried
    const std::string remoteName = RemoteName();
    // The page names the address: a change of the machine's address from here on makes it stale.
    AddressChangeClock::Publication watched(kind == Kind::Address ? m_addressChangeClock : nullptr,
                                            outcome.address);

    outcome.kind = OutcomeKind::Failed;
    while (outcome.attempts < kAttempts) {
        ++outcome.attempts;
        m_ui.ReportProgress(outcome.address, outcome.attempts, kAttempts);
        // Once the store of the page itself is sent the server truncates the page: it is let finish.
        // Stored under a temporary name first, the page stays whole whenever the attempt is given up.
        if (!m_sftpChosen && !m_state.AtomicUpload)
            m_ftp.SetTraceHandler([&watched](net::TraceDirection direction, const std::string& line) {
                if (direction == net::TraceDirection::Sent && line.rfind("STOR ", 0) == 0)
                    watched.HoldOn();
            });
        const auto failure = Attempt(page, remoteName);
        m_ftp.SetTraceHandler({});
        watched.Release();
        if (!failure) {
            outcome.kind = OutcomeKind::Published;
            break;
        }

        outcome.errorClass = failure->errorClass;
        outcome.errorMessage = failure->message;
        outcome.failureText =
            DescribeFailure(*failure, {m_ftp.Host(), m_ftp.Port(), m_ftp.User(), remoteName});
        // Another attempt would only fail the same way, and count one more refused login.
        outcome.permanent = IsPermanent(failure->kind);
        // The pause spaces attempts; after the last one it would only keep the user waiting for the news.
        if (outcome.permanent || watched.Abandoned() || outcome.attempts == kAttempts)
            break;
        Pause(kAttemptPauseMs);
        // The program is ending: the remaining attempts would only hold it up (it stays pending meanwhile).
        if (m_ui.EndRequested() || watched.Abandoned())
            break;
    }
    // The upload's completion reply says nothing of what visitors get. A page they do not get is a failed
    // publication, left to the pending retry rather than to more uploads of the same page.
    if (outcome.kind == OutcomeKind::Published && m_fetcher && !text::Trim(m_state.VerifyURL).empty()) {
        if (const auto problem = Verify(page)) {
            outcome.kind = OutcomeKind::Failed;
            outcome.verificationFailed = true;
            outcome.errorClass = "EVerificationFailed";
            outcome.errorMessage = "verification failed: " + *problem;
        } else {
            outcome.verified = true;
        }
    }
    if (const auto why = watched.Abandoned()) {
        outcome.kind = OutcomeKind::AddressChanged;
        outcome.reason = *why;
    }
    Finish(outcome, kind, retryIntervalMs);
}

std::optional<std::string> Publisher::Verify(const std::string& page) {
    const std::string url = m_state.VerifyURL;
    const MatchRule rule = ParseMatchRule(m_state.VerifyMatch).value_or(MatchRule::Exact);
    auto problem = VerifyOnce(*m_fetcher, url, page, rule);
    if (!problem || m_ui.EndRequested())
        return problem;
    Pause(kVerifyPauseMs);
    if (m_ui.EndRequested())
        return problem;
    return VerifyOnce(*m_fetcher, url, page, rule);
}

std::optional<AttemptFailure> Publisher::Attempt(const std::string& page, const std::string& remoteName) {
    // A failed store leaves the connection open and logged in; close it so that the next attempt is a
    // real one and nothing stays open after the last.
    auto close = [&] {
        if (m_sftpChosen)
            m_sftp->CloseConnection();
        else
            m_ftp.CloseConnection();
    };
    try {
        if (m_sftpChosen) {
            m_sftp->OpenSession();
            m_sftp->StoreAtomically(page, remoteName);
        } else {
            m_ftp.OpenSession(true);
            if (m_state.AtomicUpload)
                m_ftp.StoreBytesAtomically(page, remoteName);
            else
                m_ftp.StoreBytes(page, remoteName, false);
        }
        close();
        return std::nullopt;
    } catch (const std::exception& error) {
        // Taken before the close: what the server was last asked.
        AttemptFailure failure =
            CaptureFailure(error, m_sftpChosen ? std::string() : m_ftp.LastCommandVerb());
        close();
        return failure;
    }
}

void Publisher::Finish(PublicationOutcome outcome, Kind kind, std::int64_t retryIntervalMs) {
    outcome.when = m_clock.Now();
    const std::string pendingBefore = PendingName();
    if (outcome.kind == PublicationOutcome::Kind::Failed) {
        m_pending = Pending{kind, m_clock.TickCount() + retryIntervalMs, retryIntervalMs, outcome.permanent};
        outcome.willRetry = !outcome.permanent;
    } else if (outcome.kind == PublicationOutcome::Kind::AddressChanged) {
        // The page was stale, not the publication: the next tick publishes the address then current, even
        // one that has changed back meanwhile.
        m_pending = Pending{kind, m_clock.TickCount(), kFirstRetryMs / 2};
    } else {
        m_pending.reset();
    }
    ++m_ended;
    m_ui.ReportOutcome(outcome);
    if (outcome.kind == PublicationOutcome::Kind::Published && m_onPublished)
        m_onPublished(outcome);
    if (PendingName() != pendingBefore && m_onPendingChanged)
        m_onPendingChanged(PendingName());
    if (m_onFinished)
        m_onFinished(outcome);
}

}  // namespace signposter
