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

// A tooltip wraps only as rich text; the meaning is plain text, escaped.
QString Tip(const char* text) {
    return "<p>" + QString::fromUtf8(text).toHtmlEscaped() + "</p>";
}

QWidget* Named(QWidget* widget, const QString& name, const char* tip) {
    widget->setObjectName(name);
    widget->setToolTip(Tip(tip));
    return widget;
}

// A list as wide as a short entry: the dialog's two columns must fit a 1024 pixel screen, and the whole
// entry still shows when the list opens.
QComboBox* NarrowCombo() {
    auto* combo = new QComboBox;
    combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    combo->setMinimumContentsLength(18);
    return combo;
}

QString WidgetName(const SettingKey& key, const char* kind) {
    return QString::fromLatin1(key.name) + kind;
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

}  // namespace

SettingsDialog::Made SettingsDialog::MakeText(const SettingKey& key, KeyField& field) {
    auto* edit = new QLineEdit;
    Named(edit, WidgetName(key, "Edit"), key.meaning);
    if (key.placeholder)
        edit->setPlaceholderText(key.placeholder);
    field.show = [edit](const std::string& v) { edit->setText(FromBytes(v)); };
    field.read = [edit] { return text::Trim(ToBytes(edit->text())); };
    return {edit};
}

SettingsDialog::Made SettingsDialog::MakePath(const SettingKey& key, KeyField& field) {
    const Made made = MakeText(key, field);
    auto* edit = static_cast<QLineEdit*>(made.field);
    auto* browse = new QPushButton("&Browse...");
    Named(browse, WidgetName(key, "Browse"), key.meaning);
    connect(browse, &QPushButton::clicked, this, [this, edit, caption = QString::fromLatin1(key.label)] {
        const QString file =
            QFileDialog::getOpenFileName(this, QString(caption).remove('&').remove(':'), edit->text());
        if (!file.isEmpty())
            edit->setText(file);
    });
    auto* row = new QHBoxLayout;
    row->addWidget(edit, 1);
    row->addWidget(browse);
    field.widgets.push_back(browse);
    return {edit, row};
}

SettingsDialog::Made SettingsDialog::MakeFlag(const SettingKey& key, KeyField& field) {
    auto* check = new QCheckBox(key.label);
    Named(check, WidgetName(key, "Check"), key.meaning);
    field.show = [check](const std::string& v) { check->setChecked(text::LenientInteger(v) == 1); };
    field.read = [check] { return std::string(check->isChecked() ? "1" : "0"); };
    connect(check, &QCheckBox::toggled, this, &SettingsDialog::ChoicesChanged);
    return {check};
}

SettingsDialog::Made SettingsDialog::MakeChoice(const SettingKey& key, KeyField& field) {
    auto* combo = NarrowCombo();
    Named(combo, WidgetName(key, "Combo"), key.meaning);
    for (const Choice& choice : key.choices) combo->addItem(choice.label, choice.value);
    field.show = [combo](const std::string& v) { ShowChoice(combo, v); };
    field.read = [combo] { return ToBytes(combo->currentData().toString()); };
    connect(combo, &QComboBox::currentIndexChanged, this, &SettingsDialog::ChoicesChanged);
    return {combo};
}

// The spin box's lowest value, one below the key's range, stands for empty text (the key's default).
SettingsDialog::Made SettingsDialog::MakeNumber(const SettingKey& key, KeyField& field) {
    auto* spin = new QSpinBox;
    Named(spin, WidgetName(key, "Spin"), key.meaning);
    const int empty = key.minimum - 1, maximum = key.maximum;
    spin->setRange(empty, maximum);
    spin->setSuffix(key.unit);
    spin->setSpecialValueText(key.emptyText);
    // A value out of range (or no number) shows as the nearest one and is replaced by it on OK.
    field.show = [spin, empty, maximum](const std::string& v) {
        const int n = text::TryStrictInteger(v).value_or(0);
        spin->setValue(n <= 0 ? empty : std::clamp(n, empty + 1, maximum));
    };
    field.read = [spin, empty] {
        return spin->value() == empty ? std::string() : std::to_string(spin->value());
    };
    return {spin};
}

// The machine's interfaces to choose from (filled by Load), or a name typed by hand.
SettingsDialog::Made SettingsDialog::MakeInterface(const SettingKey& key, KeyField& field) {
    auto* combo = NarrowCombo();
    Named(combo, WidgetName(key, "Combo"), key.meaning);
    combo->setEditable(true);
    field.show = [combo](const std::string& v) {
        combo->setCurrentIndex(-1);
        combo->setEditText(FromBytes(v));
    };
    field.read = [combo] { return InterfaceName(combo->currentText()); };
    return {combo};
}

SettingsDialog::Made SettingsDialog::CreateField(const SettingKey& key, KeyField& field) {
    switch (key.kind) {
        case FieldKind::Path:
            return MakePath(key, field);
        case FieldKind::Flag:
            return MakeFlag(key, field);
        case FieldKind::Choice:
            return MakeChoice(key, field);
        case FieldKind::Number:
            return MakeNumber(key, field);
        case FieldKind::Interface:
            return MakeInterface(key, field);
        case FieldKind::Text:
            break;
    }
    return MakeText(key, field);
}

// One key's row: its label, its field, and the line under it where validation says what is wrong.
void SettingsDialog::AddKey(const SettingKey& key, QFormLayout* form) {
    KeyField field;
    field.key = &key;
    const Made made = CreateField(key, field);
    field.input = made.field;
    field.widgets.push_back(made.field);
    m_errorFields[key.name] = made.field;
    if (key.kind == FieldKind::Flag) {
        form->addRow(made.field);
        m_keyFields.push_back(std::move(field));
        return;
    }
    auto* box = new QWidget;
    auto* column = new QVBoxLayout(box);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(2);
    if (made.row)
        column->addLayout(made.row);
    else
        column->addWidget(made.field);
    auto* error = new QLabel;
    error->setObjectName(QString::fromLatin1(key.name) + "Error");
    error->setTextFormat(Qt::PlainText);
    error->setWordWrap(true);
    QPalette palette = error->palette();
    palette.setColor(QPalette::WindowText, QColor(176, 0, 32));
    error->setPalette(palette);
    error->hide();
    column->addWidget(error);
    m_errors[key.name] = error;
    auto* label =
        new QLabel(key.label ? QString::fromLatin1(key.label) : QString::fromLatin1(key.name) + ":");
    label->setBuddy(made.field);
    field.widgets.push_back(label);
    form->addRow(label, box);
    m_keyFields.push_back(std::move(field));
}

QPushButton* SettingsDialog::Button(const char* name, const char* caption, const char* tip,
                                    void (SettingsDialog::*click)()) {
    auto* button = new QPushButton(caption);
    Named(button, name, tip);
    connect(button, &QPushButton::clicked, this, click);
    return button;
}

// A group of the table's keys, its check's buttons and the line where the check's result appears.
QWidget* SettingsDialog::CreateGroup(SettingsGroup group, const char* title, const char* name,
                                     QLayout* buttons, QLabel* result) {
    auto* box = new QGroupBox(title);
    box->setObjectName(name);
    auto* form = new QFormLayout(box);
    form->setRowWrapPolicy(QFormLayout::DontWrapRows);
    for (const SettingKey& key : SettingKeys())
        if (key.owner == KeyOwner::User && key.group == group)
            AddKey(key, form);
    form->addRow(buttons);
    form->addRow(result);
    return box;
}

void SettingsDialog::CreateWidgets() {
    m_checkServer = Button("CheckServerButton", kCheckServerCaption,
                           "Connect to the server and show its certificate or host key, without logging in",
                           &SettingsDialog::CheckServerClick);
    m_trust = Button("TrustButton", "&Trust this certificate",
                     "Put the checked certificate's or host key's fingerprint into its field",
                     &SettingsDialog::TrustClick);
    m_trust->setEnabled(false);
    m_checkAddress = Button("CheckAddressButton", kCheckAddressCaption,
                            "Ask the chosen source once and show the address it gives",
                            &SettingsDialog::CheckAddressClick);
    m_checkPage = Button("CheckPageButton", kCheckPageCaption,
                         "Fetch the page as visitors get it and compare it with the page to upload",
                         &SettingsDialog::CheckPageClick);
    auto buttons = [](std::initializer_list<QPushButton*> row) {
        auto* layout = new QHBoxLayout;
        for (QPushButton* button : row) layout->addWidget(button);
        layout->addStretch(1);
        return layout;
    };
    m_serverResult = ResultLabel("ServerResult");
    m_addressResult = ResultLabel("AddressResult");
    m_pageResult = ResultLabel("PageResult");

    // Two columns, so that the whole dialog and its buttons fit a 1024x768 screen; the groups still scroll
    // inside the dialog where a screen is smaller.
    auto* body = new QWidget;
    auto* columns = new QHBoxLayout(body);
    columns->setContentsMargins(0, 0, 0, 0);
    auto* left = new QVBoxLayout;
    left->addWidget(CreateGroup(SettingsGroup::Security, "Connection security", "ConnectionSecurityGroup",
                                buttons({m_checkServer, m_trust}), m_serverResult));
    left->addStretch(1);
    auto* right = new QVBoxLayout;
    right->addWidget(CreateGroup(SettingsGroup::Address, "Address", "AddressGroup", buttons({m_checkAddress}),
                                 m_addressResult));
    right->addWidget(CreateGroup(SettingsGroup::Verification, "Verification", "VerificationGroup",
                                 buttons({m_checkPage}), m_pageResult));
    right->addStretch(1);
    columns->addLayout(left, 1);
    columns->addLayout(right, 1);

    auto* scroll = new QScrollArea;
    scroll->setObjectName("SettingsScroll");
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setWidget(body);
    auto* outer = new QVBoxLayout(this);
    outer->addWidget(scroll, 1);
    m_saveError = ResultLabel("SaveError");
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
    for (KeyField& field : m_keyFields) {
        if (field.key->kind != FieldKind::Interface)
            continue;
        auto* combo = static_cast<QComboBox*>(field.input);
        for (const auto& [name, entry] : interfaces) {
            std::string shown = name + " (" +
                                (entry.ipv4.empty() ? std::string("no IPv4 address") : entry.ipv4) +
                                (entry.up ? "" : ", down") + ")";
            combo->addItem(Shown(shown));
        }
    }
    for (KeyField& field : m_keyFields) {
        field.loaded = field.key->get(m_snapshot);
        field.loadedValid = !ValueProblem(*field.key, field.loaded);
        field.show(field.loaded);
        field.shown = field.read();
    }
    ChoicesChanged();
}

void SettingsDialog::ChoicesChanged() {
    // Called while the widgets are made, before there is anything to show.
    if (m_keyFields.empty() || !m_keyFields.back().read)
        return;
    const ProgramState trial = Collect();
    for (const KeyField& field : m_keyFields) {
        const bool applies = !field.key->inUse || field.key->inUse(trial);
        for (QWidget* widget : field.widgets) widget->setEnabled(applies);
    }
    m_trust->setEnabled(!m_checkedFingerprint.empty() && m_pinKey && m_pinKey->inUse(trial));
}

ProgramState SettingsDialog::Collect() const {
    ProgramState now = m_snapshot;
    for (const KeyField& field : m_keyFields) {
        const std::string value = field.read();
        // Untouched, a valid value keeps the file's spelling; one the widget could not show as it is (a
        // number out of range) is replaced by what the widget shows.
        const bool untouched = value == field.shown && field.loadedValid;
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

    // Judged as `set` judges a change, with every field that applies now counted as set: the dialog shows
    // them all, and OK must not leave one the program refuses.
    const ProgramState after = Collect();
    KeyValues judged;
    for (const KeyField& field : m_keyFields) {
        const std::string value = field.key->get(after);
        if (!field.key->inUse || field.key->inUse(after) || value != field.key->get(m_snapshot))
            judged.emplace_back(field.key->name, value);
    }
    const KeyValues changed = ChangedKeys(m_snapshot, after);
    if (!ShowProblems(ChangeProblems(m_fields, m_snapshot, judged)))
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
    SetResult(m_saveError, Shown(error));
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
    m_checkedFingerprint.clear();
    // The protocol, trust file and pin as the fields say now; which check they call for is core's choice.
    const ProgramState trial = Collect();
    m_pinKey = &PinningKey(trial);
    m_checkedSsh = ChoosesSftp(trial);
    m_trust->setEnabled(false);
    const std::string host = text::Trim(m_fields.Text(TextField::Host));
    const std::string port = text::Trim(m_fields.Text(TextField::Port));
    SetResult(m_serverResult, Shown("Connecting to " + host + " port " +
                                    (port.empty() ? std::string(m_checkedSsh ? "22" : "21") : port) + "..."));
    CheckStarted(m_checkServer);
    m_serverCheck->Start([host, port, trial](const platform::Clock& clock, const platform::StopRequest&) {
        return CheckChosenServer(trial, host, port, clock);
    });
}

void SettingsDialog::ServerCheckFinished(const CheckResult& result) {
    CheckEnded(m_checkServer, kCheckServerCaption);
    SetResult(m_serverResult, FromBytes(result.text));
    // A host key that nothing accepts yet is the one the user may choose to trust, after comparing it; a
    // certificate only once it checked out.
    m_checkedFingerprint = result.ok || m_checkedSsh ? result.fingerprint : std::string();
    m_trust->setText(m_checkedSsh ? "&Trust this key" : "&Trust this certificate");
    ChoicesChanged();
}

void SettingsDialog::TrustClick() {
    for (KeyField& field : m_keyFields)
        if (field.key == m_pinKey && !m_checkedFingerprint.empty())
            field.show(m_checkedFingerprint);
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
