#include "core/monitor.h"

#include "core/address_family.h"
#include "core/address_source.h"
#include "core/extended_settings.h"
#include "core/ini_store.h"
#include "core/page_verification.h"
#include "core/publication_hook.h"
#include "core/publication_record.h"
#include "core/publisher.h"
#include "core/settings.h"
#include "net/tls_settings.h"
#include "platform/exceptions.h"
#include "platform/files.h"
#include "platform/text.h"

namespace signposter {

namespace {

// Clears the flag on every way out of the tick.
class BusyGuard {
public:
    explicit BusyGuard(bool& busy) : m_busy(busy) { m_busy = true; }
    ~BusyGuard() { m_busy = false; }
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;

private:
    bool& m_busy;
};

}  // namespace

Monitor::Monitor(LiveSettings& settings, UserInterface& ui, ProgramState& state, HostLookup& lookup,
                 const Clock& clock, ftp::TIdFTP& ftp, std::string settingsPath)
    : Monitor(settings, ui, state, std::make_unique<ConfiguredAddress>(state, lookup, clock), nullptr, clock,
              ftp, std::move(settingsPath)) {}

Monitor::Monitor(LiveSettings& settings, UserInterface& ui, ProgramState& state, ConfiguredAddress& address,
                 const Clock& clock, ftp::TIdFTP& ftp, std::string settingsPath)
    : Monitor(settings, ui, state, nullptr, &address, clock, ftp, std::move(settingsPath)) {}

Monitor::Monitor(LiveSettings& settings, UserInterface& ui, ProgramState& state,
                 std::unique_ptr<ConfiguredAddress> ownAddress, ConfiguredAddress* address,
                 const Clock& clock, ftp::TIdFTP& ftp, std::string settingsPath)
    : m_settings(settings),
      m_ui(ui),
      m_state(state),
      m_ownAddress(std::move(ownAddress)),
      m_address(address ? address : m_ownAddress.get()),
      m_clock(clock),
      m_settingsPath(std::move(settingsPath)),
      m_publisher(std::make_unique<Publisher>(settings, ui, state, clock, ftp)) {
    // A router question blocks for seconds; the program's end must not wait for it.
    m_address->SetStopCheck([this] { return m_ui.EndRequested(); });
    m_publisher->SetPublishedHook([this](const PublicationOutcome& outcome) { RecordPublication(outcome); });
    // Kept in the file so that a publication still failing when the program ends is made at its next start.
    m_publisher->SetPendingHook(
        [this](const std::string& pending) { WritePendingPublication(m_state, m_settingsPath, pending); });
    // What `signposter-cli status` tells of the last publication.
    m_publisher->SetFinishedHook([this](const PublicationOutcome& outcome) {
        RecordOutcome(m_state, m_settingsPath, outcome, m_publisher->MillisecondsUntilRetry(), m_clock.Now());
        RunPublicationHook(outcome);
    });
}

Monitor::~Monitor() = default;

template <typename Action>
bool Monitor::ShowingErrors(Action&& action) {
    try {
        action();
        return true;
    } catch (const Exception& error) {
        ShowDefaultError(m_ui, error.Message());
    } catch (const std::exception& error) {
        ShowDefaultError(m_ui, error.what());
    }
    return false;
}

void Monitor::FormCreate() {
    ShowingErrors([&] {
        LoadSettings(m_settings, m_state, m_settingsPath);
        m_place = Place();
        m_password = m_settings.Text(TextField::Password);
        if (!m_state.PendingPublication.empty())
            m_publisher->RestorePending(m_state.PendingPublication == "offline");
    });
}

bool Monitor::FormClose() {
    return ShowingErrors([&] {
        // The save writes the password empty while the keyring keeps it: one typed into the window goes
        // there first, and a keyring that refuses it keeps the program (and the password) running.
        const auto store = ParsePasswordStore(m_state.PasswordStore);
        const std::string typed = m_settings.Text(TextField::Password);
        if (store && store->kind == PasswordStoreKind::Keyring && !typed.empty())
            if (auto problem = StorePassword(m_clock, *store, StoredPasswordKey(m_settings, m_state), typed))
                throw Exception(*problem);
        SaveSettings(m_settings, m_state, m_settingsPath);
    });
}

void Monitor::Timer1Timer() {
    if (m_state.Busy)
        return;
    ShowingErrors([&] {
        // A change another program made to the file (signposter-cli set) counts from this tick on.
        MergeFileChanges(m_settings, m_state, m_settingsPath);
        if (!ValidateSettings()) {
            m_ui.SetTimerEnabled(false);
            m_ui.ShowMainWindow();
            return;
        }
        BusyGuard busy(m_state.Busy);
        m_state.PreviousIP = m_state.CurrentIP;
        const std::string previousIPv6 = m_state.CurrentIP6;
        const TickAnswer answer = m_address->Ask();
        m_state.CurrentIP = answer.address;
        m_state.CurrentIP6 = answer.address6;  // unchanged unless the family takes IPv6 in
        m_state.AddressProblem = answer.problem;
        if (answer.kept && !answer.problem.empty())
            ReportAddressProblem(answer.problem);
        const bool ipv6Changed = m_state.CurrentIP6 != previousIPv6;
        // A change of where the page goes is taken once the user has left the window (a command, or
        // signposter-cli set while the monitor runs), not at every key typed into a field.
        const bool settled = !m_ui.MainWindowVisible();
        const bool moved = settled && m_place && Place() != *m_place;
        const bool passwordChanged = settled && m_place && m_settings.Text(TextField::Password) != m_password;
        if (settled) {
            m_place = Place();
            m_password = m_settings.Text(TextField::Password);
        }
        // With both families, a change of either is a change of the page ({IPV4ADDRESS}, {IPV6ADDRESS}).
        if (m_state.CurrentIP != m_state.PreviousIP || ipv6Changed) {
            if (ipv6Changed)
                WriteLastIPv6();
            SaveSettings(m_settings, m_state, m_settingsPath);
            m_publisher->PublishAddress(/*justDetected=*/true);
        } else if ((moved || passwordChanged) && m_publisher->HasPending()) {
            m_publisher->RetryPending();  // a corrected password or place need not wait for the retry's time
        } else if (moved && !PublishedAddress(m_state).empty()) {
            // The old place keeps its page; the new one gets it now, not at the next change of address.
            m_publisher->PublishAddress();
        } else if (m_publisher->RetryDue()) {
            m_publisher->RetryPending();
        } else if (!m_publisher->HasPending() && RepublishDue()) {
            m_lastForced = m_clock.Now();
            if (m_state.LastPublishedPage == "offline") {
                m_publisher->PublishOffline();  // after "Offline" the notice stays up
            } else {
                m_publisher->PublishAddress();
            }
        }
    });
}

void Monitor::SetAddressEventsWatched(bool watched) {
    m_address->SetEventsWatched(watched);
}

void Monitor::AddressEventsSettled() {
    // During a publication the question waits for the next tick, which asks it.
    m_address->NoteAddressEvent();
    Timer1Timer();
}

std::int64_t Monitor::TickIntervalMs() const {
    return m_address->WaitsForEvents() && !m_publisher->HasPending() ? kQuietTickMs : 1000;
}

bool Monitor::RepublishDue() {
    if (m_state.RepublishHours <= 0 || m_state.RepublishHours > kMaxRepublishHours)
        return false;
    const std::int64_t now = m_clock.Now();
    if (m_state.LastPublished && *m_state.LastPublished > now) {
        // The clock was set back: counting from a time still to come would hold the page back for as long.
        m_state.LastPublished = now;
        WriteLastPublished();
        return false;
    }
    std::optional<std::int64_t> since = m_state.LastPublished;
    if (m_lastForced && (!since || *m_lastForced > *since))
        since = m_lastForced;
    // No record (a first start with the setting, or a record that is no number): publish once now.
    return !since || now - *since >= std::int64_t{m_state.RepublishHours} * 3600;
}

void Monitor::RecordPublication(const PublicationOutcome& outcome) {
    if (m_state.RepublishHours <= 0)
        return;  // without the setting the file stays exactly as the program always wrote it
    m_state.LastPublished = m_clock.Now();
    m_state.LastPublishedPage = outcome.offline ? "offline" : "address";
    WriteLastPublished();
}

void Monitor::RunPublicationHook(const PublicationOutcome& outcome) {
    using Kind = PublicationOutcome::Kind;
    PublicationFacts facts;
    if (outcome.kind == Kind::Published)
        facts.outcome = outcome.offline ? HookOutcome::Offline : HookOutcome::Published;
    else if (outcome.kind == Kind::Failed)
        facts.outcome = HookOutcome::Failed;
    else if (outcome.kind == Kind::SkippedUnreachable)
        facts.outcome = HookOutcome::HeldBack;
    else
        return;  // nothing was tried: no news for the user's command
    const bool worked = outcome.kind == Kind::Published;
    const PublicationHook hook(worked ? "OnPublished" : "OnFailed", worked ? m_state.OnPublished : m_state.OnFailed);
    if (hook.Empty() || m_ui.EndRequested())
        return;
    facts.address = outcome.address;
    facts.previousAddress = m_hookAddress.empty() ? m_state.PreviousIP : m_hookAddress;
    if (facts.previousAddress == facts.address)
        facts.previousAddress = m_state.PreviousIP != facts.address ? m_state.PreviousIP : std::string();
    facts.family = outcome.address.find(':') != std::string::npos ? "IPv6" : "IPv4";
    facts.page = RemoteFile(m_settings);
    facts.message = DescribeOutcome(outcome, false);
    if (worked)
        m_hookAddress = outcome.address;
    const HookReport report = hook.Run(m_clock, facts);
    if (!report.lines.empty())
        m_ui.ReportHook(report.lines);
}

void Monitor::WriteLastIPv6() {
    WithIniStore(m_settingsPath, [&] { IniWriteString(kSettingsSection, "LastIP6", m_state.CurrentIP6); });
}

void Monitor::WriteLastPublished() {
    // Each write replaces the whole file atomically (the settings store's rule).
    WithIniStore(m_settingsPath, [&] {
        IniWriteString(kSettingsSection, "LastPublished", std::to_string(m_state.LastPublished.value_or(0)));
        IniWriteString(
            kSettingsSection, "LastPublishedPage",
            m_state.LastPublishedPage.empty() ? std::string("address") : m_state.LastPublishedPage);
    });
}

bool Monitor::ValidateSettings() {
    m_ui.SetTimerEnabled(false);
    m_settings.SetText(TextField::AddressDisplay, PublishedAddress(m_state));
    if (text::Trim(m_settings.Text(TextField::Port)).empty())
        m_settings.SetText(TextField::Port, "21");

    std::string messages;
    const bool userTemplate = m_settings.Checked(Switch::UserTemplate);
    if (userTemplate && !platform::FileExists(m_state.TemplateFile))
        messages += "User Template not found\r";
    if (text::Trim(m_settings.Text(TextField::Host)).empty())
        messages += "No Host Name\r";
    if (text::Trim(m_settings.Text(TextField::User)).empty())
        messages += "No User Name\r";
    const int options = int(m_settings.Checked(Switch::InternalRedirect)) +
                        int(m_settings.Checked(Switch::InternalNoRedirect)) + int(userTemplate);
    if (options == 0)
        messages += "Please select a template option.\r";
    if (options > 1)
        messages += "Please select one template option only.\r";
    // A number outside 1..65535 would wrap to another port, and the user name and password would go there.
    if (const auto problem = PortProblem(m_settings.Text(TextField::Port)))
        messages += *problem + "\r";
    // The settings the window has no field for: only a key the user set can give one of these.
    for (const SettingProblem& problem : ExtendedSettingsProblems(m_state))
        messages += problem.message + "\r";

    const bool valid = text::Trim(messages).empty();
    if (!valid)
        m_ui.ShowMessage("Information", messages, MessageIcon::Information);
    m_ui.SetTimerEnabled(true);
    return valid;
}

void Monitor::ValidateThen(void (Monitor::*publish)()) {
    ShowingErrors([&] {
        SaveSettings(m_settings, m_state, m_settingsPath);
        if (ValidateSettings()) {
            m_ui.HideMainWindow();
            if (publish)
                (this->*publish)();
            m_ui.SetTimerEnabled(true);
        } else {
            m_ui.SetTimerEnabled(false);
            m_ui.ShowMainWindow();
        }
    });
}

void Monitor::MonitorIpCommand() {
    ValidateThen(nullptr);
}

void Monitor::UpdateNowCommand() {
    ValidateThen(&Monitor::PublishAddressNow);
}

void Monitor::UpdateNowCommand(std::uint64_t publicationsSeen) {
    m_updateSeen = publicationsSeen;
    UpdateNowCommand();
    m_updateSeen.reset();
}

std::string Monitor::Place() const {
    std::string place = m_state.Protocol;
    for (const TextField field : {TextField::Host, TextField::Port, TextField::User, TextField::RemotePath,
                                  TextField::PageName})
        place += '\n' + text::Trim(m_settings.Text(field));
    return place;
}

void Monitor::OfflineCommand() {
    ValidateThen(&Monitor::PublishOfflineNow);
}

void Monitor::PublishAddressNow() {
    if (m_updateSeen && m_publisher->PublishedSameSince(*m_updateSeen))
        return;
    m_place = Place();
    m_password = m_settings.Text(TextField::Password);
    m_publisher->PublishAddress();
}

void Monitor::ReportAddressProblem(const std::string& problem) {
    PublicationOutcome outcome;
    outcome.kind = PublicationOutcome::Kind::AddressUnavailable;
    outcome.address = m_state.CurrentIP;
    outcome.reason = problem;
    outcome.when = m_clock.Now();
    m_ui.ReportOutcome(outcome);
}

void Monitor::PublishOfflineNow() {
    m_place = Place();
    m_password = m_settings.Text(TextField::Password);
    m_publisher->PublishOffline();
}

void Monitor::HelpCommand() {
    m_ui.SetTimerEnabled(false);
    ShowingErrors([&] { m_ui.ShowMessage("Signposter", HelpText(), MessageIcon::Information); });
    m_ui.SetTimerEnabled(true);
}

void Monitor::TrayIconClick() {
    if (m_ui.MainWindowVisible()) {
        m_ui.HideMainWindow();
    } else {
        m_ui.ShowMainWindow();
    }
}

std::string Monitor::HelpText() {
    static const char* const kLines[] = {
        "Signposter 1.0 - a permanent web address for a changing IP address",
        "",
        "Signposter can be used to create a permanent URL Name for a server",
        "on your own PC. for example: http://yourname.example.net/ipaddress.htm",
        "could always point to your PC - no matter what IP address you have.",
        "",
        "There are subscription services that provide a DNS",
        "entry for non-static and dialup IP addresses, but this software takes",
        "Advantage of any free web page services available, to create your own",
        "permanent address for your non-static IP.",
        "",
        "You may have a website of web page that is hosted on one of the many",
        "free space providers - but want to serve pages from your home PC to friends",
        "family or work colleagues.",
        "Signposter is a tray application that monitors your IP address. When it changes",
        "it will create a new redirection webpage and FTP it to the web.",
        "",
        "All you need is a free webpage account with FTP access to act as your",
        "permanent URL address and you can start serving pages from your non-static IP for free.",
        "",
        "Signposter has 2 simple built in templates or you can create your own.",
        "Every occurrence of {IPADDRESS} in the template will be replaced with your",
        "current IP Address.",
        "",
        "Questions and suggestions: signposter@example.org",
    };
    std::string text;
    for (const char* line : kLines) {
        if (line != kLines[0])
            text += '\r';
        text += line;
    }
    return text;
}

}  // namespace signposter
