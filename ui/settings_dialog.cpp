#include "ui/settings_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>

#include "core/address_source.h"
#include "core/page_verification.h"
#include "core/server_check.h"
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

SettingsDialog::SettingsDialog(const ProgramState& snapshot, std::string settingsPath,
                               const LiveSettings& fields, HostLookup* lookup, QWidget* parent)
    : QDialog(parent),
      m_snapshot(snapshot),
      m_settingsPath(std::move(settingsPath)),
      m_fields(fields),
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

namespace {

QWidget* Named(QWidget* widget, const char* name, const char* tip) {
    widget->setObjectName(name);
    widget->setToolTip(tip);
    return widget;
}

// A combo box whose entries carry the file's spelling of each choice.
QComboBox* ChoiceCombo(const char* name, const char* tip,
                       std::initializer_list<std::pair<const char*, const char*>> choices) {
    auto* combo = new QComboBox;
    Named(combo, name, tip);
    for (const auto& [label, value] : choices) combo->addItem(label, value);
    return combo;
}

// Shows the entry the text means (letter case and surrounding spaces ignored, empty text the first entry,
// as the program reads these keys). Text none of them means is kept as an entry of its own, so that OK
// reports it rather than quietly replacing it.
void ShowChoice(QComboBox* combo, const std::string& text) {
    const std::string wanted = text::UpperAscii(text::Trim(text));
    for (int i = 0; i < combo->count(); ++i) {
        if (wanted.empty() || text::UpperAscii(ToBytes(combo->itemData(i).toString())) == wanted) {
            combo->setCurrentIndex(i);
            return;
        }
    }
    combo->addItem("Unknown: " + Shown(text), FromBytes(text));
    combo->setCurrentIndex(combo->count() - 1);
}

// A combo box whose entries carry the file's spelling of each choice, as one key's field.
template <typename Field>
void ChoiceField(Field& field, QComboBox* combo) {
    field.show = [combo](const std::string& v) { ShowChoice(combo, v); };
    field.read = [combo] { return ToBytes(combo->currentData().toString()); };
}

}  // namespace

// The widget of one key; a key this dialog has no widget of its own for gets a text field.
QWidget* SettingsDialog::CreateField(const SettingKey& key, QWidget*& focus) {
    KeyField field;
    field.key = &key;
    const std::string name = key.name;
    auto lineEdit = [&](QLineEdit* edit) {
        field.show = [edit](const std::string& v) { edit->setText(FromBytes(v)); };
        field.read = [edit] { return text::Trim(ToBytes(edit->text())); };
        return edit;
    };
    QWidget* widget = nullptr;
    if (name == "FtpSecurity") {
        m_security = ChoiceCombo(
            "SecurityCombo", "Plain FTP sends the password unencrypted; explicit TLS encrypts the session",
            {{"Plain FTP", "None"}, {"Explicit TLS (FTPS)", "ExplicitTLS"}});
        ChoiceField(field, m_security);
        widget = m_security;
    } else if (name == "TlsTrustFile") {
        m_trustFile = lineEdit(new QLineEdit);
        Named(m_trustFile, "TrustFileEdit", "A PEM file of certificates to trust besides the system's");
        widget = m_trustFile;
    } else if (name == "TlsFingerprint") {
        m_fingerprint = lineEdit(new QLineEdit);
        Named(m_fingerprint, "FingerprintEdit",
              "Trust only the certificate with this SHA-256 fingerprint (64 hex digits; colons allowed)");
        widget = m_fingerprint;
    } else if (name == "AddressSource") {
        m_source = ChoiceCombo("SourceCombo", "Where the address to publish comes from",
                               {{"Host name", "HostName"},
                                {"Network interface", "Interface"},
                                {"Web page that shows the caller's address", "Web"},
                                {"Router (UPnP)", "UPnP"}});
        ChoiceField(field, m_source);
        connect(m_source, &QComboBox::currentIndexChanged, this, [this] { SourceChanged(); });
        widget = m_source;
    } else if (name == "AddressInterface") {
        m_interface = new QComboBox;
        Named(m_interface, "InterfaceCombo", "The network interface whose first IPv4 address is published");
        m_interface->setEditable(true);
        QComboBox* combo = m_interface;
        field.show = [combo](const std::string& v) {
            combo->setCurrentIndex(-1);
            combo->setEditText(FromBytes(v));
        };
        field.read = [combo] { return InterfaceName(combo->currentText()); };
        widget = m_interface;
    } else if (name == "AddressURL") {
        m_url = lineEdit(new QLineEdit);
        Named(m_url, "UrlEdit",
              "An http:// or https:// page that answers with the address it sees the request come from");
        m_url->setPlaceholderText("https://");
        widget = m_url;
    } else if (name == "AddressPollSeconds") {
        m_poll = new QSpinBox;
        Named(m_poll, "PollSpin", "How often the web page or the router is asked");
        m_poll->setRange(kPollDefault, kMaxPollSeconds);
        m_poll->setSuffix(" s");
        m_poll->setSpecialValueText("Default (300 s web page, 60 s router)");
        QSpinBox* spin = m_poll;
        field.show = [spin](const std::string& v) {
            const int seconds = text::LenientInteger(v);
            spin->setValue(seconds <= 0 ? kPollDefault
                                        : std::clamp(seconds, kMinPollSeconds, kMaxPollSeconds));
        };
        field.read = [spin] {
            return spin->value() == kPollDefault ? std::string() : std::to_string(spin->value());
        };
        widget = m_poll;
    } else if (name == "PublishPrivate") {
        m_publishPrivate = new QCheckBox("Publish &private addresses");
        Named(m_publishPrivate, "PublishPrivateCheck",
              "Publish addresses visitors cannot reach (private, carrier-grade NAT) instead of holding them "
              "back");
        QCheckBox* check = m_publishPrivate;
        field.show = [check](const std::string& v) { check->setChecked(text::LenientInteger(v) == 1); };
        field.read = [check] { return std::string(check->isChecked() ? "1" : "0"); };
        widget = m_publishPrivate;
    } else if (name == "VerifyURL") {
        m_verifyUrl = lineEdit(new QLineEdit);
        Named(
            m_verifyUrl, "VerifyUrlEdit",
            "The address at which visitors get the page; it is fetched after each upload (empty: no check)");
        m_verifyUrl->setPlaceholderText("http://");
        widget = m_verifyUrl;
    } else if (name == "VerifyMatch") {
        m_verifyMatch = ChoiceCombo(
            "VerifyMatchCombo",
            "Exact: the served page is the uploaded one; contains: the host may wrap it in a banner",
            {{"Exact", "Exact"}, {"Contains the uploaded page", "Contains"}});
        ChoiceField(field, m_verifyMatch);
        widget = m_verifyMatch;
    } else if (name == "RepublishHours") {
        m_republish = new QSpinBox;
        Named(m_republish, "RepublishSpin",
              "Publish the page again after this many hours even without a change");
        m_republish->setRange(0, kMaxRepublishHours);
        m_republish->setSuffix(" h");
        m_republish->setSpecialValueText("Off");
        QSpinBox* spin = m_republish;
        // A value out of range (or no number) shows as the nearest one and is replaced by it on OK.
        field.show = [spin](const std::string& v) {
            spin->setValue(std::clamp(text::TryStrictInteger(v).value_or(0), 0, kMaxRepublishHours));
        };
        field.read = [spin] { return spin->value() == 0 ? std::string() : std::to_string(spin->value()); };
        widget = m_republish;
    } else if (name == "Protocol") {
        QComboBox* combo =
            ChoiceCombo("ProtocolCombo", "FTP (with the security above), or SFTP over SSH (usually port 22)",
                        {{"FTP", "FTP"}, {"SFTP (SSH file transfer)", "SFTP"}});
        ChoiceField(field, combo);
        widget = combo;
    } else if (name == "AtomicUpload") {
        auto* check = new QCheckBox("Upload under a temporary &name, then rename over the page");
        Named(check, "AtomicUploadCheck",
              "Visitors never see a half-written page (always so with SFTP); some FTP servers refuse the "
              "rename");
        field.show = [check](const std::string& v) { check->setChecked(text::LenientInteger(v) == 1); };
        field.read = [check] { return std::string(check->isChecked() ? "1" : "0"); };
        widget = check;
    } else if (name == "AddressFamily") {
        QComboBox* combo = ChoiceCombo("AddressFamilyCombo", "Which address the page carries",
                                       {{"IPv4", "IPv4"},
                                        {"IPv6", "IPv6"},
                                        {"Both: IPv4 when visitors can reach it, else IPv6", "Both"}});
        ChoiceField(field, combo);
        widget = combo;
    } else if (name == "IPv6Kind") {
        QComboBox* combo =
            ChoiceCombo("IPv6KindCombo", "Which of the interface's global IPv6 addresses to take",
                        {{"Stable address", "stable"}, {"Temporary (privacy) address", "temporary"}});
        ChoiceField(field, combo);
        widget = combo;
    } else {
        auto* edit = lineEdit(new QLineEdit);
        edit->setObjectName(QString::fromLatin1(key.name) + "Edit");
        edit->setToolTip(QString::fromUtf8(key.meaning));
        widget = edit;
    }
    focus = widget;
    m_keyFields.push_back(std::move(field));
    return widget;
}

void SettingsDialog::CreateWidgets() {
    // The groups scroll inside the dialog, so that OK and Cancel stay on an 800x600 screen.
    auto* outer = new QVBoxLayout(this);
    auto* scroll = new QScrollArea;
    scroll->setObjectName("SettingsScroll");
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* body = new QWidget;
    auto* layout = new QVBoxLayout(body);
    layout->setContentsMargins(0, 0, 0, 0);
    scroll->setWidget(body);
    outer->addWidget(scroll, 1);

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
    // The labels of the keys with a widget of their own; any other key is labelled with its name.
    static const std::map<std::string, const char*> kLabels = {
        {"FtpSecurity", "&Security:"},
        {"TlsTrustFile", "T&rust file:"},
        {"TlsFingerprint", "&Fingerprint:"},
        {"AddressSource", "S&ource:"},
        {"AddressInterface", "&Interface:"},
        {"AddressURL", "Web &URL:"},
        {"AddressPollSeconds", "&Poll every:"},
        {"VerifyURL", "Page &address:"},
        {"VerifyMatch", "&Match:"},
        {"RepublishHours", "&Republish every:"},
        {"Protocol", "Pro&tocol:"},
        {"SshHostKey", "SSH host &key:"},
        {"SshKeyFile", "SSH key fi&le:"},
        {"AddressFamily", "Addr&ess family:"},
        {"IPv6Kind", "IPv&6 address:"},
    };
    auto addKeys = [&](SettingsGroup group, QFormLayout* form) {
        for (const SettingKey& key : SettingKeys()) {
            if (key.owner != KeyOwner::User || key.group != group)
                continue;
            QWidget* focus = nullptr;
            QWidget* widget = CreateField(key, focus);
            if (qobject_cast<QCheckBox*>(widget)) {
                form->addRow(widget);
                continue;
            }
            QLayout* row = nullptr;
            if (widget == m_trustFile) {
                auto* browse = new QPushButton("&Browse...");
                Named(browse, "TrustFileBrowse", "Choose the PEM file of certificates to trust");
                connect(browse, &QPushButton::clicked, this, [this] {
                    const QString file =
                        QFileDialog::getOpenFileName(this, "Trust file", m_trustFile->text(),
                                                     "PEM certificates (*.pem *.crt);;All files (*)");
                    if (!file.isEmpty())
                        m_trustFile->setText(file);
                });
                auto* trustRow = new QHBoxLayout;
                trustRow->addWidget(m_trustFile, 1);
                trustRow->addWidget(browse);
                row = trustRow;
            }
            const auto known = kLabels.find(key.name);
            auto* label = new QLabel(known != kLabels.end() ? QString::fromLatin1(known->second)
                                                            : QString::fromLatin1(key.name) + ":");
            label->setBuddy(focus);
            form->addRow(label, withError(key.name, widget, row));
        }
    };

    // Connection security.
    auto* security = new QGroupBox("Connection security");
    security->setObjectName("ConnectionSecurityGroup");
    auto* securityForm = new QFormLayout(security);
    addKeys(SettingsGroup::Security, securityForm);
    m_checkServer = new QPushButton(kCheckServerCaption);
    Named(m_checkServer, "CheckServerButton",
          "Connect to the FTP host, start TLS and show its certificate, without logging in");
    connect(m_checkServer, &QPushButton::clicked, this, &SettingsDialog::CheckServerClick);
    m_trust = new QPushButton("&Trust this certificate");
    Named(m_trust, "TrustButton", "Put the checked certificate's fingerprint into the Fingerprint field");
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
    addKeys(SettingsGroup::Address, addressForm);
    m_checkAddress = new QPushButton(kCheckAddressCaption);
    Named(m_checkAddress, "CheckAddressButton", "Ask the chosen source once and show the address it gives");
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
    addKeys(SettingsGroup::Verification, verificationForm);
    m_checkPage = new QPushButton(kCheckPageCaption);
    Named(m_checkPage, "CheckPageButton",
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
    outer->addWidget(m_saveError);
    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    m_buttons->setObjectName("Buttons");
    connect(m_buttons, &QDialogButtonBox::accepted, this, &SettingsDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &SettingsDialog::reject);
    outer->addWidget(m_buttons);
    // As tall as its groups, but never taller than the screen leaves room for.
    const int wanted = body->sizeHint().height() + outer->contentsMargins().top() +
                       outer->contentsMargins().bottom() + m_buttons->sizeHint().height() +
                       2 * outer->spacing();
    int room = wanted;
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        room = screen->availableGeometry().height() - 60;  // the window's frame and title
    scroll->setMinimumWidth(body->sizeHint().width() + scroll->verticalScrollBar()->sizeHint().width());
    resize(sizeHint().width(), std::min(wanted, room));
}

void SettingsDialog::Load() {
    // One entry per interface, with its first IPv4 address, in the system's order.
    std::vector<std::pair<std::string, platform::InterfaceEntry>> interfaces;
    for (const platform::InterfaceEntry& entry : m_lookup ? m_lookup->Interfaces() : platform::ListInterfaces()) {
        auto it = std::find_if(interfaces.begin(), interfaces.end(),
                               [&entry](const auto& known) { return known.first == entry.name; });
        if (it == interfaces.end()) {
            interfaces.emplace_back(entry.name, entry);
        } else if (it->second.ipv4.empty()) {
            it->second.ipv4 = entry.ipv4;
        }
    }
    if (m_interface) {
        for (const auto& [name, entry] : interfaces) {
            std::string shown = name + " (" +
                                (entry.ipv4.empty() ? std::string("no IPv4 address") : entry.ipv4) +
                                (entry.up ? "" : ", down") + ")";
            m_interface->addItem(Shown(shown));
        }
    }
    for (KeyField& field : m_keyFields) {
        field.loaded = field.key->get(m_snapshot);
        field.show(field.loaded);
        field.shown = field.read();
    }
    SourceChanged();
}

void SettingsDialog::SourceChanged() {
    if (!m_source)
        return;
    const SourceKind kind = ParseSourceKind(ToBytes(m_source->currentData().toString()));
    if (m_interface)
        m_interface->setEnabled(kind == SourceKind::Interface);
    if (m_url)
        m_url->setEnabled(kind == SourceKind::Web);
    if (m_poll)
        m_poll->setEnabled(kind == SourceKind::Web || kind == SourceKind::UPnP);
    // The host name publishes what it resolves to, whatever its class.
    if (m_publishPrivate)
        m_publishPrivate->setEnabled(kind != SourceKind::HostName);
}

ProgramState SettingsDialog::Collect() const {
    ProgramState now = m_snapshot;
    for (const KeyField& field : m_keyFields) {
        const std::string value = field.read();
        // Untouched, a valid value keeps the file's spelling; one the widget could not show as it is (a
        // number out of range) is replaced by what the widget shows.
        const bool untouched = value == field.shown && !ValueProblem(*field.key, field.loaded);
        field.key->put(now, untouched ? field.loaded : value);
    }
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

    const ProgramState after = Collect();
    const KeyValues changed = ChangedKeys(m_snapshot, after);
    std::vector<SettingProblem> problems = ExtendedSettingsProblems(after);
    // A changed value is checked also where it is not in use now, as `set` checks it.
    for (const auto& [key, value] : changed) {
        if (const auto problem = ValueProblem(*FindSettingKey(key), value)) {
            const SettingProblem found{key, *problem};
            if (std::find(problems.begin(), problems.end(), found) == problems.end())
                problems.push_back(found);
        }
    }
    if (!ShowProblems(problems))
        return;

    if (changed.empty()) {
        QDialog::accept();
        return;
    }
    m_saveError->hide();
    m_buttons->setEnabled(false);  // until the program has answered
    emit Applied(changed);
}

void SettingsDialog::SaveFinished(const std::string& error) {
    m_buttons->setEnabled(true);
    if (error.empty()) {
        QDialog::accept();
        return;
    }
    m_saveError->setText(Shown(error));
    m_saveError->show();
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
    const std::string port = text::Trim(m_fields.Text(TextField::Port));
    const std::string trustFile = m_trustFile ? text::Trim(ToBytes(m_trustFile->text())) : std::string();
    // The protocol and pin as the fields say now: SFTP checks the SSH host key instead of a certificate.
    const ProgramState trial = Collect();
    m_checkedSsh = ChoosesSftp(trial);
    const std::string pinned = trial.SshHostKey;
    SetResult(m_serverResult, Shown("Connecting to " + host + " port " +
                                    (port.empty() ? std::string(m_checkedSsh ? "22" : "21") : port) + "..."));
    CheckStarted(m_checkServer);
    const bool ssh = m_checkedSsh;
    const bool ipv6 = ReachesServerOverIPv6(trial);
    m_serverCheck->Start([host, port, trustFile, pinned, ssh, ipv6](const platform::Clock& clock,
                                                                    const platform::StopRequest&) {
        return ssh ? CheckSshServer(host, port, pinned, clock, ipv6)
                   : CheckServer(host, port, trustFile, clock, ipv6);
    });
}

void SettingsDialog::ServerCheckFinished(const CheckResult& result) {
    CheckEnded(m_checkServer, kCheckServerCaption);
    SetResult(m_serverResult, FromBytes(result.text));
    // An SSH key that nothing accepts yet is the one the user may choose to trust, after comparing it.
    m_checkedFingerprint = result.ok || m_checkedSsh ? result.fingerprint : std::string();
    m_trust->setText(m_checkedSsh ? "&Trust this key" : "&Trust this certificate");
    m_trust->setEnabled(!m_checkedFingerprint.empty());
}

void SettingsDialog::TrustClick() {
    QLineEdit* target = m_checkedSsh ? findChild<QLineEdit*>("SshHostKeyEdit") : m_fingerprint;
    if (m_checkedFingerprint.empty() || !target)
        return;
    target->setText(FromBytes(m_checkedFingerprint));
}

void SettingsDialog::CheckAddressClick() {
    if (m_addressCheck->Running()) {
        m_addressCheck->Cancel();
        CheckEnded(m_checkAddress, kCheckAddressCaption);
        SetResult(m_addressResult, "Cancelled.");
        return;
    }
    // The source as the fields describe it now, not as the program uses it.
    const ProgramState trial = Collect();
    for (const SettingProblem& problem : ExtendedSettingsProblems(trial)) {
        const SettingKey* key = FindSettingKey(problem.key);
        if (key && key->group == SettingsGroup::Address) {
            SetResult(m_addressResult, FromBytes(problem.message));
            return;
        }
    }
    SetResult(m_addressResult, "Asking...");
    CheckStarted(m_checkAddress);
    // The check's thread may outlive the dialog and the program's core: without a test's lookup it asks the
    // machine through one of its own, on the check's clock, so it never touches what they own.
    HostLookup* lookup = m_lookup;
    m_addressCheck->Start([trial, lookup](const platform::Clock& clock, const platform::StopRequest& stop) {
        SystemHostLookup machines(clock);
        return CheckAddress(trial, lookup ? *lookup : static_cast<HostLookup&>(machines), clock,
                            [&stop] { return stop.Requested(); });
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
    ProgramState trial = Collect();
    if (text::Trim(trial.VerifyURL).empty()) {
        SetResult(m_pageResult, "No page address to fetch");
        return;
    }
    if (const std::vector<std::string> problems = VerificationProblems(trial); !problems.empty()) {
        SetResult(m_pageResult, FromBytes(problems.front()));
        return;
    }
    // The page a publication would upload now, built here: building reads the window's fields.
    const std::optional<std::string> page = PageToVerify(m_fields, trial);
    if (!page) {
        SetResult(m_pageResult, "verification failed: user template file not found");
        return;
    }
    SetResult(m_pageResult, "Fetching...");
    CheckStarted(m_checkPage);
    m_pageCheck->Start([trial, page = *page](const platform::Clock& clock, const platform::StopRequest&) {
        return CheckPage(trial, page, clock);
    });
}

void SettingsDialog::PageCheckFinished(const CheckResult& result) {
    CheckEnded(m_checkPage, kCheckPageCaption);
    SetResult(m_pageResult, FromBytes(result.text));
}

}  // namespace signposter::ui
