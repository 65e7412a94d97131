#include "ui/settings_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>

#include "core/address_class.h"
#include "core/address_source.h"
#include "core/page_builder.h"
#include "core/page_fetcher.h"
#include "core/page_verification.h"
#include "core/publishing_core.h"
#include "ftp/id_ftp.h"
#include "ftp/tls_probe.h"
#include "ftp/tls_settings.h"
#include "platform/exceptions.h"
#include "platform/text.h"

namespace signposter::ui {

namespace {

constexpr char kCheckServerCaption[] = "Check server";
constexpr char kCheckAddressCaption[] = "Check address";
constexpr char kCheckPageCaption[] = "Check page";
constexpr int kPollDefault = kMinPollSeconds - 1;  // the spin box's lowest value stands for "default"

QString FromBytes(const std::string& text) {
    return QString::fromStdString(text);
}
std::string ToBytes(const QString& text) {
    return text.toStdString();
}

// A text of the file or the network, safe to show: control bytes escaped.
QString Shown(const std::string& text) {
    return FromBytes(text::Printable(text));
}

QLabel* ResultLabel(const char* name) {
    auto* label = new QLabel;
    label->setObjectName(name);
    // Plain text always: a server's or a web page's answer must not be read as markup.
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->hide();
    return label;
}

// A check's result line takes room only once there is something to say.
void SetResult(QLabel* label, const QString& text) {
    label->setText(text);
    label->setVisible(!text.isEmpty());
}

// The interface name of a list entry such as "eth0 (192.168.1.5)": names hold no white space.
std::string InterfaceName(const QString& entry) {
    const std::string text = text::Trim(ToBytes(entry));
    return text.substr(0, text.find_first_of(" \t"));
}

}  // namespace

SettingsDialog::SettingsDialog(ProgramState& state, std::string settingsPath, const LiveSettings& fields,
                               UserInterface& ui, HostLookup& lookup, QWidget* parent)
    : QDialog(parent),
      m_state(state),
      m_settingsPath(std::move(settingsPath)),
      m_fields(fields),
      m_ui(ui),
      m_lookup(lookup) {
    setObjectName("SettingsDialog");
    setWindowTitle("Signposter Settings");
    setSizeGripEnabled(true);
    m_serverCheck = new BackgroundCheck(this);
    m_serverCheck->setObjectName("ServerCheck");
    m_addressCheck = new BackgroundCheck(this);
    m_addressCheck->setObjectName("AddressCheck");
    connect(m_serverCheck, &BackgroundCheck::Finished, this, &SettingsDialog::ServerCheckFinished);
    connect(m_addressCheck, &BackgroundCheck::Finished, this, &SettingsDialog::AddressCheckFinished);
    m_pageCheck = new BackgroundCheck(this);
    m_pageCheck->setObjectName("PageCheck");
    connect(m_pageCheck, &BackgroundCheck::Finished, this, &SettingsDialog::PageCheckFinished);
    CreateWidgets();
    Load();
}

SettingsDialog::~SettingsDialog() = default;

void SettingsDialog::CreateWidgets() {
    auto* layout = new QVBoxLayout(this);

    // A field with the line under it where validation says what is wrong with it.
    auto withError = [this](const char* key, QWidget* field, QLayout* row = nullptr) {
        auto* box = new QWidget;
        auto* column = new QVBoxLayout(box);
        column->setContentsMargins(0, 0, 0, 0);
        column->setSpacing(2);
        if (row)
            column->addLayout(row);
        else
            column->addWidget(field);
        auto* error = new QLabel;
        error->setObjectName(QString::fromLatin1(key) + "Error");
        error->setTextFormat(Qt::PlainText);
        error->setWordWrap(true);
        QPalette palette = error->palette();
        palette.setColor(QPalette::WindowText, QColor(176, 0, 32));
        error->setPalette(palette);
        error->hide();
        column->addWidget(error);
        m_errors[key] = error;
        m_errorFields[key] = field;
        return box;
    };
    auto named = [](QWidget* widget, const char* name, const char* tip) {
        widget->setObjectName(name);
        widget->setToolTip(tip);
        return widget;
    };

    // Connection security.
    auto* security = new QGroupBox("Connection security");
    security->setObjectName("ConnectionSecurityGroup");
    auto* securityForm = new QFormLayout(security);
    m_security = new QComboBox;
    named(m_security, "SecurityCombo",
          "Plain FTP sends the password unencrypted; explicit TLS encrypts the session");
    m_security->addItem("Plain FTP", "None");
    m_security->addItem("Explicit TLS (FTPS)", "ExplicitTLS");
    securityForm->addRow("&Security:", withError("FtpSecurity", m_security));

    m_trustFile = new QLineEdit;
    named(m_trustFile, "TrustFileEdit", "A PEM file of certificates to trust besides the system's");
    auto* browse = new QPushButton("&Browse...");
    named(browse, "TrustFileBrowse", "Choose the PEM file of certificates to trust");
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString file = QFileDialog::getOpenFileName(this, "Trust file", m_trustFile->text(),
                                                          "PEM certificates (*.pem *.crt);;All files (*)");
        if (!file.isEmpty())
            m_trustFile->setText(file);
    });
    auto* trustRow = new QHBoxLayout;
    trustRow->addWidget(m_trustFile, 1);
    trustRow->addWidget(browse);
    auto* trustLabel = new QLabel("T&rust file:");
    trustLabel->setBuddy(m_trustFile);
    securityForm->addRow(trustLabel, withError("TlsTrustFile", m_trustFile, trustRow));

    m_fingerprint = new QLineEdit;
    named(m_fingerprint, "FingerprintEdit",
          "Trust only the certificate with this SHA-256 fingerprint (64 hex digits; colons allowed)");
    securityForm->addRow("&Fingerprint:", withError("TlsFingerprint", m_fingerprint));

    m_checkServer = new QPushButton(kCheckServerCaption);
    named(m_checkServer, "CheckServerButton",
          "Connect to the FTP host, start TLS and show its certificate, without logging in");
    connect(m_checkServer, &QPushButton::clicked, this, &SettingsDialog::CheckServerClick);
    m_trust = new QPushButton("&Trust this certificate");
    named(m_trust, "TrustButton", "Put the checked certificate's fingerprint into the Fingerprint field");
    m_trust->setEnabled(false);
    connect(m_trust, &QPushButton::clicked, this, &SettingsDialog::TrustClick);
    auto* serverButtons = new QHBoxLayout;
    serverButtons->addWidget(m_checkServer);
    serverButtons->addWidget(m_trust);
    serverButtons->addStretch(1);
    securityForm->addRow(serverButtons);
    m_serverResult = ResultLabel("ServerResult");
    securityForm->addRow(m_serverResult);
    layout->addWidget(security);

    // Address.
    auto* address = new QGroupBox("Address");
    address->setObjectName("AddressGroup");
    auto* addressForm = new QFormLayout(address);
    m_source = new QComboBox;
    named(m_source, "SourceCombo", "Where the address to publish comes from");
    m_source->addItem("Host name", "HostName");
    m_source->addItem("Network interface", "Interface");
    m_source->addItem("Web page that shows the caller's address", "Web");
    m_source->addItem("Router (UPnP)", "UPnP");
    connect(m_source, &QComboBox::currentIndexChanged, this, [this] { SourceChanged(); });
    addressForm->addRow("S&ource:", withError("AddressSource", m_source));

    m_interface = new QComboBox;
    named(m_interface, "InterfaceCombo", "The network interface whose first IPv4 address is published");
    m_interface->setEditable(true);
    addressForm->addRow("&Interface:", withError("AddressInterface", m_interface));

    m_url = new QLineEdit;
    named(m_url, "UrlEdit", "An http:// page that answers with the address it sees the request come from");
    m_url->setPlaceholderText("http://");
    addressForm->addRow("Web &URL:", withError("AddressURL", m_url));

    m_poll = new QSpinBox;
    named(m_poll, "PollSpin", "How often the web page or the router is asked");
    m_poll->setRange(kPollDefault, kMaxPollSeconds);
    m_poll->setSuffix(" s");
    m_poll->setSpecialValueText("Default (300 s web page, 60 s router)");
    addressForm->addRow("&Poll every:", withError("AddressPollSeconds", m_poll));

    m_publishPrivate = new QCheckBox("Publish &private addresses");
    named(
        m_publishPrivate, "PublishPrivateCheck",
        "Publish addresses visitors cannot reach (private, carrier-grade NAT) instead of holding them back");
    addressForm->addRow(m_publishPrivate);

    m_checkAddress = new QPushButton(kCheckAddressCaption);
    named(m_checkAddress, "CheckAddressButton", "Ask the chosen source once and show the address it gives");
    connect(m_checkAddress, &QPushButton::clicked, this, &SettingsDialog::CheckAddressClick);
    auto* addressButtons = new QHBoxLayout;
    addressButtons->addWidget(m_checkAddress);
    addressButtons->addStretch(1);
    addressForm->addRow(addressButtons);
    m_addressResult = ResultLabel("AddressResult");
    addressForm->addRow(m_addressResult);
    layout->addWidget(address);

    // Verification of the published page.
    auto* verification = new QGroupBox("Verification");
    verification->setObjectName("VerificationGroup");
    auto* verificationForm = new QFormLayout(verification);
    m_verifyUrl = new QLineEdit;
    named(m_verifyUrl, "VerifyUrlEdit",
          "The address at which visitors get the page; it is fetched after each upload (empty: no check)");
    m_verifyUrl->setPlaceholderText("http://");
    verificationForm->addRow("Page &address:", withError("VerifyURL", m_verifyUrl));
    m_verifyMatch = new QComboBox;
    named(m_verifyMatch, "VerifyMatchCombo",
          "Exact: the served page is the uploaded one; contains: the host may wrap it in a banner");
    m_verifyMatch->addItem("Exact", "Exact");
    m_verifyMatch->addItem("Contains the uploaded page", "Contains");
    verificationForm->addRow("&Match:", withError("VerifyMatch", m_verifyMatch));
    m_republish = new QSpinBox;
    named(m_republish, "RepublishSpin", "Publish the page again after this many hours even without a change");
    m_republish->setRange(0, kMaxRepublishHours);
    m_republish->setSuffix(" h");
    m_republish->setSpecialValueText("Off");
    verificationForm->addRow("&Republish every:", withError("RepublishHours", m_republish));
    m_checkPage = new QPushButton(kCheckPageCaption);
    named(m_checkPage, "CheckPageButton",
          "Fetch the page as visitors get it and compare it with the page to upload");
    connect(m_checkPage, &QPushButton::clicked, this, &SettingsDialog::CheckPageClick);
    auto* pageButtons = new QHBoxLayout;
    pageButtons->addWidget(m_checkPage);
    pageButtons->addStretch(1);
    verificationForm->addRow(pageButtons);
    m_pageResult = ResultLabel("PageResult");
    verificationForm->addRow(m_pageResult);
    layout->addWidget(verification);

    layout->addStretch(1);
    m_saveError = ResultLabel("SaveError");
    m_saveError->hide();
    layout->addWidget(m_saveError);
    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    m_buttons->setObjectName("Buttons");
    connect(m_buttons, &QDialogButtonBox::accepted, this, &SettingsDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &SettingsDialog::reject);
    layout->addWidget(m_buttons);
}

void SettingsDialog::Load() {
    const ExtendedSettings loaded = ExtendedSettings::From(m_state);

    if (const auto security = ftp::ParseFtpSecurity(loaded.FtpSecurity)) {
        m_security->setCurrentIndex(*security == ftp::FtpSecurity::ExplicitTLS ? 1 : 0);
    } else {
        // Kept as the file has it, so OK reports it rather than quietly replacing it.
        m_security->addItem("Unknown: " + Shown(loaded.FtpSecurity), FromBytes(loaded.FtpSecurity));
        m_security->setCurrentIndex(m_security->count() - 1);
    }
    m_trustFile->setText(FromBytes(loaded.TlsTrustFile));
    m_fingerprint->setText(FromBytes(loaded.TlsFingerprint));

    const SourceKind kind = ParseSourceKind(loaded.AddressSource);
    if (kind == SourceKind::Unknown) {
        m_source->addItem("Unknown: " + Shown(loaded.AddressSource), FromBytes(loaded.AddressSource));
        m_source->setCurrentIndex(m_source->count() - 1);
    } else {
        m_source->setCurrentIndex(static_cast<int>(kind));
    }

    // One entry per interface, with its first IPv4 address, in the system's order.
    std::vector<std::pair<std::string, platform::InterfaceEntry>> interfaces;
    for (const platform::InterfaceEntry& entry : m_lookup.Interfaces()) {
        auto it = std::find_if(interfaces.begin(), interfaces.end(),
                               [&entry](const auto& known) { return known.first == entry.name; });
        if (it == interfaces.end()) {
            interfaces.emplace_back(entry.name, entry);
        } else if (it->second.ipv4.empty()) {
            it->second.ipv4 = entry.ipv4;
        }
    }
    for (const auto& [name, entry] : interfaces) {
        std::string shown = name + " (" + (entry.ipv4.empty() ? std::string("no IPv4 address") : entry.ipv4) +
                            (entry.up ? "" : ", down") + ")";
        m_interface->addItem(Shown(shown));
    }
    m_interface->setCurrentIndex(-1);
    m_interface->setEditText(FromBytes(loaded.AddressInterface));

    m_url->setText(FromBytes(loaded.AddressURL));
    m_poll->setValue(loaded.AddressPollSeconds <= 0
                         ? kPollDefault
                         : std::clamp(loaded.AddressPollSeconds, kMinPollSeconds, kMaxPollSeconds));
    m_publishPrivate->setChecked(loaded.PublishPrivate);
    SourceChanged();

    m_verifyUrl->setText(FromBytes(loaded.VerifyURL));
    if (const auto rule = ParseMatchRule(loaded.VerifyMatch)) {
        m_verifyMatch->setCurrentIndex(*rule == MatchRule::Contains ? 1 : 0);
    } else {
        m_verifyMatch->addItem("Unknown: " + Shown(loaded.VerifyMatch), FromBytes(loaded.VerifyMatch));
        m_verifyMatch->setCurrentIndex(m_verifyMatch->count() - 1);
    }
    // A value out of range (or no number) shows as the nearest one and is replaced by what OK finds here.
    m_republish->setValue(std::clamp(loaded.RepublishHours, 0, kMaxRepublishHours));
}

void SettingsDialog::SourceChanged() {
    const SourceKind kind = ParseSourceKind(ToBytes(m_source->currentData().toString()));
    m_interface->setEnabled(kind == SourceKind::Interface);
    m_url->setEnabled(kind == SourceKind::Web);
    m_poll->setEnabled(kind == SourceKind::Web || kind == SourceKind::UPnP);
    // The host name publishes what it resolves to, whatever its class.
    m_publishPrivate->setEnabled(kind != SourceKind::HostName);
}

ExtendedSettings SettingsDialog::Collect() const {
    const ExtendedSettings loaded = ExtendedSettings::From(m_state);
    ExtendedSettings now = loaded;

    const std::string security = ToBytes(m_security->currentData().toString());
    const auto chosen = ftp::ParseFtpSecurity(security);
    if (!chosen || chosen != ftp::ParseFtpSecurity(loaded.FtpSecurity))
        now.FtpSecurity = security;

    auto textField = [](const std::string& was, const QString& field) {
        const std::string typed = text::Trim(ToBytes(field));
        return typed == text::Trim(was) ? was : typed;
    };
    now.TlsTrustFile = textField(loaded.TlsTrustFile, m_trustFile->text());
    now.TlsFingerprint = textField(loaded.TlsFingerprint, m_fingerprint->text());

    const std::string source = ToBytes(m_source->currentData().toString());
    if (ParseSourceKind(source) != ParseSourceKind(loaded.AddressSource) ||
        ParseSourceKind(source) == SourceKind::Unknown)
        now.AddressSource = source;
    else
        now.AddressSource = loaded.AddressSource;

    const std::string name = InterfaceName(m_interface->currentText());
    now.AddressInterface = name == text::Trim(loaded.AddressInterface) ? loaded.AddressInterface : name;
    now.AddressURL = textField(loaded.AddressURL, m_url->text());

    // The program clamps a value out of range; one the user did not touch stays as the file has it.
    const int shownBefore = loaded.AddressPollSeconds <= 0
                                ? kPollDefault
                                : std::clamp(loaded.AddressPollSeconds, kMinPollSeconds, kMaxPollSeconds);
    if (m_poll->value() != shownBefore)
        now.AddressPollSeconds = m_poll->value() == kPollDefault ? 0 : m_poll->value();
    now.PublishPrivate = m_publishPrivate->isChecked();

    now.VerifyURL = textField(loaded.VerifyURL, m_verifyUrl->text());
    const std::string match = ToBytes(m_verifyMatch->currentData().toString());
    const auto rule = ParseMatchRule(match);
    if (!rule || rule != ParseMatchRule(loaded.VerifyMatch))
        now.VerifyMatch = match;
    now.RepublishHours = m_republish->value();
    return now;
}

bool SettingsDialog::ShowProblems(const std::vector<SettingProblem>& problems) {
    std::map<std::string, std::string> byKey;
    for (const SettingProblem& problem : problems) {
        std::string& text = byKey[problem.key];
        text += (text.empty() ? "" : "\n") + problem.message;
    }
    QWidget* first = nullptr;
    for (const auto& [key, label] : m_errors) {
        const auto it = byKey.find(key);
        label->setText(it == byKey.end() ? QString() : FromBytes(it->second));
        label->setVisible(it != byKey.end());
    }
    for (const SettingProblem& problem : problems) {
        if (const auto field = m_errorFields.find(problem.key); field != m_errorFields.end()) {
            first = field->second;
            break;
        }
    }
    if (first)
        first->setFocus();
    return problems.empty();
}

void SettingsDialog::accept() {
    m_serverCheck->Cancel();
    m_addressCheck->Cancel();
    m_pageCheck->Cancel();
    CheckEnded(m_checkServer, kCheckServerCaption);
    CheckEnded(m_checkAddress, kCheckAddressCaption);
    CheckEnded(m_checkPage, kCheckPageCaption);

    const ExtendedSettings before = ExtendedSettings::From(m_state);
    const ExtendedSettings after = Collect();
    ProgramState trial = m_state;
    trial.FtpSecurity = after.FtpSecurity;
    trial.TlsTrustFile = after.TlsTrustFile;
    trial.TlsFingerprint = after.TlsFingerprint;
    trial.AddressSource = after.AddressSource;
    trial.AddressInterface = after.AddressInterface;
    trial.AddressURL = after.AddressURL;
    trial.AddressPollSeconds = after.AddressPollSeconds;
    trial.PublishPrivate = after.PublishPrivate;
    trial.VerifyURL = after.VerifyURL;
    trial.VerifyMatch = after.VerifyMatch;
    trial.RepublishHours = after.RepublishHours;
    std::vector<SettingProblem> problems = ExtendedSettingsProblems(trial);
    // A line break would split the key's line in the file and could forge other keys.
    for (const auto& [key, value] : ChangedKeys(before, after)) {
        if (text::HasLineBreak(value))
            problems.push_back({key, key + " may not contain a line break"});
    }
    if (!ShowProblems(problems))
        return;

    try {
        ApplyExtendedSettings(m_settingsPath, m_state, before, after);
    } catch (const Exception& error) {
        m_saveError->setText(Shown(error.Message()));
        m_saveError->show();
        return;
    }
    QDialog::accept();
}

void SettingsDialog::CheckStarted(QPushButton* button) {
    button->setText("Cancel");
    setCursor(Qt::BusyCursor);
}

void SettingsDialog::CheckEnded(QPushButton* button, const char* caption) {
    button->setText(caption);
    if (!m_serverCheck->Running() && !m_addressCheck->Running() && !m_pageCheck->Running())
        unsetCursor();
}

void SettingsDialog::CheckServerClick() {
    if (m_serverCheck->Running()) {
        m_serverCheck->Cancel();
        CheckEnded(m_checkServer, kCheckServerCaption);
        SetResult(m_serverResult, "Cancelled.");
        return;
    }
    m_trust->setEnabled(false);
    m_checkedFingerprint.clear();
    const std::string host = text::Trim(m_fields.Text(TextField::Host));
    const std::string portText = text::Trim(m_fields.Text(TextField::Port));
    const auto port = portText.empty() ? std::optional<std::int32_t>(21) : text::TryStrictInteger(portText);
    if (host.empty()) {
        SetResult(m_serverResult, "No Host Name");
        return;
    }
    if (!port || *port < 1 || *port > 65535) {
        SetResult(m_serverResult, "The port must be a number from 1 to 65535");
        return;
    }
    const std::string trustFile = text::Trim(ToBytes(m_trustFile->text()));
    SetResult(m_serverResult, Shown("Connecting to " + host + " port " + std::to_string(*port) + "..."));
    CheckStarted(m_checkServer);
    m_serverCheck->Start(
        [host, port = *port, trustFile](const platform::Clock& clock, const platform::StopRequest&) {
            ftp::TIdFTP client;
            PublishingCore::ApplyClientDefaults(client);
            client.SetClock(clock);
            client.SetHost(host);
            client.SetPort(port);
            const ftp::TlsPeerInfo info = ftp::ProbeServerCertificate(client, trustFile);
            CheckResult result;
            result.ok = true;
            for (const auto& [label, value] : ftp::CertificateFields(info))
                result.text += (result.text.empty() ? "" : "\n") + label + ": " + text::Printable(value);
            result.fingerprint = info.fingerprint;
            return result;
        });
}

void SettingsDialog::ServerCheckFinished(const CheckResult& result) {
    CheckEnded(m_checkServer, kCheckServerCaption);
    SetResult(m_serverResult, FromBytes(result.text));
    m_checkedFingerprint = result.ok ? result.fingerprint : std::string();
    m_trust->setEnabled(!m_checkedFingerprint.empty());
}

void SettingsDialog::TrustClick() {
    if (m_checkedFingerprint.empty())
        return;
    m_fingerprint->setText(FromBytes(ftp::FormatFingerprint(m_checkedFingerprint)));
}

void SettingsDialog::CheckAddressClick() {
    if (m_addressCheck->Running()) {
        m_addressCheck->Cancel();
        CheckEnded(m_checkAddress, kCheckAddressCaption);
        SetResult(m_addressResult, "Cancelled.");
        return;
    }
    // The source as the fields describe it now, not as the program uses it.
    ProgramState trial;
    const ExtendedSettings now = Collect();
    trial.CurrentIP = m_state.CurrentIP;
    trial.AddressSource = now.AddressSource;
    trial.AddressInterface = now.AddressInterface;
    trial.AddressURL = now.AddressURL;
    trial.AddressPollSeconds = now.AddressPollSeconds;
    trial.TlsTrustFile = now.TlsTrustFile;
    std::vector<SettingProblem> problems = ExtendedSettingsProblems(trial);
    std::erase_if(problems, [](const SettingProblem& p) { return p.key.rfind("Address", 0) != 0; });
    if (!problems.empty()) {
        SetResult(m_addressResult, FromBytes(problems.front().message));
        return;
    }
    SetResult(m_addressResult, "Asking...");
    CheckStarted(m_checkAddress);
    HostLookup* lookup = &m_lookup;
    m_addressCheck->Start(
        [trial, lookup](const platform::Clock& clock, const platform::StopRequest& stop) mutable {
            ConfiguredAddress configured(trial, *lookup, clock);
            configured.SetStopCheck([&stop] { return stop.Requested(); });
            const AddressAnswer answer = configured.QueryNow();
            CheckResult result;
            if (!answer.address) {
                result.text = text::Printable(text::OneLine(answer.reason));
                return result;
            }
            const AddressClass addressClass = ClassifyAddress(*answer.address);
            result.ok = true;
            result.text = text::Printable(*answer.address) + ": " + ClassName(addressClass) +
                          (addressClass == AddressClass::Public ? "" : ", visitors cannot reach it");
            return result;
        });
}

void SettingsDialog::AddressCheckFinished(const CheckResult& result) {
    CheckEnded(m_checkAddress, kCheckAddressCaption);
    SetResult(m_addressResult, FromBytes(result.text));
}

void SettingsDialog::CheckPageClick() {
    if (m_pageCheck->Running()) {
        m_pageCheck->Cancel();
        CheckEnded(m_checkPage, kCheckPageCaption);
        SetResult(m_pageResult, "Cancelled.");
        return;
    }
    ProgramState trial = m_state;
    const ExtendedSettings now = Collect();
    trial.VerifyURL = now.VerifyURL;
    trial.VerifyMatch = now.VerifyMatch;
    trial.TlsTrustFile = now.TlsTrustFile;
    if (text::Trim(trial.VerifyURL).empty()) {
        SetResult(m_pageResult, "No page address to fetch");
        return;
    }
    ProgramState alone;
    alone.VerifyURL = trial.VerifyURL;
    alone.VerifyMatch = trial.VerifyMatch;
    if (const std::string problems = VerificationSettingsMessages(alone); !problems.empty()) {
        SetResult(m_pageResult, FromBytes(text::SplitLines(problems).front()));
        return;
    }
    // The page a publication would upload now, built here: building reads the window's fields.
    SetLocalPageFile(m_fields, trial);
    const std::optional<std::string> page = BuildAddressPage(m_fields, trial, m_ui, trial.CurrentIP);
    if (!page) {
        SetResult(m_pageResult, "verification failed: user template file not found");
        return;
    }
    SetResult(m_pageResult, "Fetching...");
    CheckStarted(m_checkPage);
    m_pageCheck->Start([trial, page = *page](const platform::Clock& clock, const platform::StopRequest&) {
        HttpPageFetcher fetcher(clock, trial);
        const VerifyResult verdict = CheckServedPage(fetcher, trial, page);
        CheckResult result;
        result.ok = verdict.match;
        result.text = text::Printable(text::OneLine(verdict.text));
        return result;
    });
}

void SettingsDialog::PageCheckFinished(const CheckResult& result) {
    CheckEnded(m_checkPage, kCheckPageCaption);
    SetResult(m_pageResult, FromBytes(result.text));
}

}  // namespace signposter::ui
