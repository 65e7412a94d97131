#include "ui/main_window.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QEventLoop>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProxyStyle>
#include <QScreen>
#include <exception>
#include <optional>

#include "core/publishing_core.h"
#include "platform/autostart.h"
#include "platform/directories.h"
#include "platform/text.h"
#include "ui/app_events.h"
#include "ui/bevel.h"
#include "ui/controls/control_resources.h"
#include "ui/controls/filename_edit.h"
#include "ui/controls/lb_background.h"
#include "ui/controls/p_check.h"
#include "ui/controls/vel_color_button.h"
#include "ui/cool_tray_icon.h"
#include "ui/settings_dialog.h"

namespace signposter::ui {

namespace {

// Measured at 11 pixels: "Internal Template with auto Redirect" takes 180 pixels here, inside the 187
// its check box leaves; plain DejaVu Sans needs 200 and would be clipped.
constexpr char kWindowFontFamily[] = "DejaVu Sans Condensed";
constexpr int kWindowFontPixels = 11;
constexpr int kAddressFontPixels = 19;

// The address display keeps its text unselected when tabbed into: it is there to be read.
class AddressDisplay final : public QLineEdit {
public:
    using QLineEdit::QLineEdit;

protected:
    void focusInEvent(QFocusEvent* event) override {
        QLineEdit::focusInEvent(event);
        deselect();
    }
};

// The password field shows each character as "*", whatever the style's own choice.
class PasswordStyle final : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_LineEdit_PasswordCharacter) {
            return '*';
        }
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

QString FromBytes(const std::string& text) {
    return QString::fromStdString(text);
}
std::string ToBytes(const QString& text) {
    return text.toStdString();
}

}  // namespace

QFont WindowFont() {
    QFont font(kWindowFontFamily);
    font.setPixelSize(kWindowFontPixels);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

TForm1::TForm1(WindowServices services, std::string settingsPath)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      m_core(std::make_unique<PublishingCore>(
          *this, *this, settingsPath.empty() ? platform::SettingsFilePath() : std::move(settingsPath),
          CoreServices{services.lookup, services.clock ? services.clock : &m_stoppableClock, nullptr,
                       nullptr})) {
    setObjectName("Form1");
    setWindowTitle("Signposter 1.0");
    setFixedSize(kClientWidth, kClientHeight);
    setFont(WindowFont());
    setWindowIcon(MainIcon());

    CreateComponents();
    SetTabOrder();

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);

    CoolTrayIcon1 = new TCoolTrayIcon(this, std::move(services.trayShell));
    CoolTrayIcon1->setObjectName("CoolTrayIcon1");
    CoolTrayIcon1->SetIcon(MainIcon());
    connect(CoolTrayIcon1, &TCoolTrayIcon::OnClick, this, &TForm1::CoolTrayIcon1Click);
    m_autostartProgram = std::move(services.autostartProgram);
    CreatePopupMenu();
    // Automatic popup on, not on the left button: a right click opens the menu, a left click and a double
    // click toggle the window as before (the menu has no default item for the double click to run).
    CoolTrayIcon1->SetPopupMenu(PopupMenu1);
    CoolTrayIcon1->SetLeftPopup(false);

    AppEvents1 = new TAppEvents(this);
    AppEvents1->setObjectName("AppEvents1");
    AppEvents1->SetShowMainForm(false);

    LbBackground1 = new TLbBackground(this);
    LbBackground1->setObjectName("LbBackground1");
    LbBackground1->SetImage(MarbleTexture());
    LbBackground1->SetEnabled(true);

    // End of loading: the components settle in, then the window's creation handler runs.
    CoolTrayIcon1->Loaded();
    AppEvents1->Loaded();
    Timer1->start();
    FormCreate();
}

const ProgramState& TForm1::State() const {
    return m_core->State();
}

const std::string& TForm1::SettingsPath() const {
    return m_core->SettingsPath();
}

TForm1::~TForm1() {
    // An open dialog goes first: it may still be waiting on a check it runs.
    delete m_settingsDialog;
    // The tray entry goes next, while the window it refers to still exists.
    delete CoolTrayIcon1;
    CoolTrayIcon1 = nullptr;
}

void TForm1::CreatePopupMenu() {
    PopupMenu1 = new TPopupMenu(this);
    PopupMenu1->setObjectName("PopupMenu1");
    PopupMenu1->SetAutoPopup(true);
    auto item = [this](const char* name, const char* caption, void (TForm1::*handler)()) {
        QAction* action = PopupMenu1->addAction(caption);
        action->setObjectName(name);
        connect(action, &QAction::triggered, this, handler);
        return action;
    };
    ShowItem = item("ShowItem", "Show Signposter", &TForm1::CoolTrayIcon1Click);
    UpdateNowItem = item("UpdateNowItem", "Update Now", &TForm1::velColorButton3click);
    OfflineItem = item("OfflineItem", "Offline", &TForm1::velColorButton4click);
    PopupMenu1->addSeparator();
    SettingsItem = item("SettingsItem", "Settings...", &TForm1::SettingsItemClick);
    OpenPageItem = item("OpenPageItem", "Open published page", &TForm1::OpenPageItemClick);
    StartAtLoginItem = item("StartAtLoginItem", "Start at login", &TForm1::StartAtLoginItemClick);
    StartAtLoginItem->setCheckable(true);
    PopupMenu1->addSeparator();
    QuitItem = item("QuitItem", "Quit", &TForm1::QuitItemClick);
    connect(PopupMenu1, &QMenu::aboutToShow, this, &TForm1::PopupMenu1Popup);
}

void TForm1::PopupMenu1Popup() {
    ShowItem->setText(isVisible() ? "Hide Signposter" : "Show Signposter");
    // A command waiting on its upload (or a tick publishing) dispatches messages meanwhile; a second
    // publication must not start inside it and share its connection.
    const bool idle = m_handlersRunning == 0 && !State().Busy;
    UpdateNowItem->setEnabled(idle);
    OfflineItem->setEnabled(idle);
    StartAtLoginItem->setChecked(platform::AutostartEnabled());
    OpenPageItem->setEnabled(PublishedPageUrl().isValid());
}

QUrl TForm1::PublishedPageUrl() const {
    const std::string text = text::Trim(State().VerifyURL);
    const std::string scheme = text::UpperAscii(text.substr(0, text.find(':')));
    if (scheme != "HTTP" && scheme != "HTTPS")
        return {};
    return QUrl(FromBytes(text), QUrl::StrictMode);
}

void TForm1::OpenPageItemClick() {
    // The page as visitors get it, in the desktop's browser.
    if (const QUrl url = PublishedPageUrl(); url.isValid())
        QDesktopServices::openUrl(url);
}

void TForm1::CreateComponents() {
    auto place = [](QWidget* widget, const char* name, int left, int top, int width, int height) {
        widget->setObjectName(name);
        widget->setGeometry(left, top, width, height);
    };
    auto label = [this, &place](const char* name, const char* caption, int left, int top) {
        auto* widget = new QLabel(caption, this);
        widget->move(left, top);
        widget->adjustSize();
        place(widget, name, left, top, widget->width(), widget->height());
        return widget;
    };
    auto edit = [this, &place](const char* name, const char* text, int left, int top, int width) {
        auto* widget = new QLineEdit(text, this);
        place(widget, name, left, top, width, 21);
        return widget;
    };
    auto option = [this, &place](const char* name, const char* caption, int left, int top, int width) {
        auto* widget = new TPCheck(this);
        place(widget, name, left, top, width, 19);
        widget->SetCaption(caption);
        widget->SetTransparent(true);
        widget->SetShowFocused(false);
        widget->SetImageType(igCirce);
        return widget;
    };
    auto button = [this, &place](const char* name, const char* caption, int left, int top, int width,
                                 int height) {
        auto* widget = new TvelColorButton(this);
        place(widget, name, left, top, width, height);
        widget->SetCaption(caption);
        widget->SetBackBitmap(MarbleTexture());
        return widget;
    };

    // Bevels first, so that everything else lies above them.
    Bevel1 = new TBevel(this);
    place(Bevel1, "Bevel1", 4, 4, 241, 49);
    Bevel2 = new TBevel(this);
    place(Bevel2, "Bevel2", 4, 56, 241, 153);
    Bevel3 = new TBevel(this);
    place(Bevel3, "Bevel3", 4, 212, 241, 125);

    QFont addressFont = WindowFont();
    addressFont.setPixelSize(kAddressFontPixels);
    Label7 = new QLabel("IP", this);
    place(Label7, "Label7", 44, 16, 16, 24);
    Label7->setFont(addressFont);

    Edit7 = new AddressDisplay(this);
    place(Edit7, "Edit7", 72, 12, 165, 32);
    Edit7->setReadOnly(true);
    Edit7->setFont(addressFont);
    QPalette addressPalette = Edit7->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        addressPalette.setColor(group, QPalette::Base, QColor(245, 240, 255));
        addressPalette.setColor(group, QPalette::Text, QColor(0, 0, 128));
    }
    Edit7->setPalette(addressPalette);

    Label1 = label("Label1", "Host", 44, 68);
    Edit2 = edit("Edit2", "", 72, 64, 165);
    Label2 = label("Label2", "Port", 48, 96);
    Edit1 = edit("Edit1", "21", 72, 92, 25);

    PCheck1 = option("PCheck1", "Passive Mode", 120, 92, 97);
    PCheck1->SetChecked(true);
    PCheck1->SetFlat(true);
    PCheck1->SetAlingment(taLeftJustify);
    PCheck1->SetImageType(igHookLime);

    Label3 = label("Label3", "User", 44, 124);
    Edit3 = edit("Edit3", "", 72, 120, 169);
    Label4 = label("Label4", "Password", 20, 152);
    Edit4 = edit("Edit4", "", 72, 148, 169);
    Edit4->setEchoMode(QLineEdit::Password);
    auto* passwordStyle = new PasswordStyle;
    passwordStyle->setParent(Edit4);  // outlives its use: deleted only after the field
    Edit4->setStyle(passwordStyle);
    Label6 = label("Label6", "Remote Path", 8, 180);
    Edit6 = edit("Edit6", "/", 72, 176, 169);

    Label5 = label("Label5", "HTML name", 8, 224);
    Edit5 = edit("Edit5", "ipaddress.htm", 72, 220, 169);
    PCheck2 = option("PCheck2", "Internal Template with auto Redirect", 8, 248, 209);
    PCheck2->SetChecked(true);
    PCheck3 = option("PCheck3", "Internal Template NO auto redirect", 8, 268, 209);
    PCheck4 = option("PCheck4", "User Template", 8, 288, 113);

    FilenameEdit1 = new TFilenameEdit(this);
    place(FilenameEdit1, "FilenameEdit1", 8, 308, 233, 21);
    FilenameEdit1->SetFilter("HTML Files|*.htm;*.html");
    FilenameEdit1->setEnabled(false);

    PCheck5 = option("PCheck5", "Signposter is Active", 56, 340, 125);
    PCheck5->SetChecked(true);
    PCheck5->SetImageType(igHookLime);
    PCheck5->SetShowFocused(true);

    velColorButton2 = button("velColorButton2", "Help", 208, 340, 38, 21);
    velColorButton4 = button("velColorButton4", "Offline", 8, 364, 77, 24);
    velColorButton3 = button("velColorButton3", "Update Now", 88, 364, 76, 24);
    velColorButton1 = button("velColorButton1", "Monitor IP", 168, 364, 77, 24);

    connect(PCheck2, &TPCheck::OnClick, this, &TForm1::PCheck2Click);
    connect(PCheck3, &TPCheck::OnClick, this, &TForm1::PCheck3Click);
    connect(PCheck4, &TPCheck::OnClick, this, &TForm1::PCheck4Click);
    connect(velColorButton1, &TvelColorButton::onclick, this, &TForm1::velColorButton1click);
    connect(velColorButton2, &TvelColorButton::onclick, this, &TForm1::velColorButton2click);
    connect(velColorButton3, &TvelColorButton::onclick, this, &TForm1::velColorButton3click);
    connect(velColorButton4, &TvelColorButton::onclick, this, &TForm1::velColorButton4click);
}

void TForm1::SetTabOrder() {
    // The buttons, labels and bevels are not tab stops; the fields go in this order.
    const std::array<QWidget*, 13> order{Edit1,   Edit2,   Edit3,   Edit4,   Edit5, Edit6,  FilenameEdit1,
                                         PCheck1, PCheck2, PCheck3, PCheck4, Edit7, PCheck5};
    for (std::size_t i = 0; i + 1 < order.size(); ++i) {
        setTabOrder(order[i], order[i + 1]);
    }
    Edit1->setFocus();
}

QLineEdit* TForm1::TextWidget(TextField field) const {
    switch (field) {
        case TextField::Port:
            return Edit1;
        case TextField::Host:
            return Edit2;
        case TextField::User:
            return Edit3;
        case TextField::Password:
            return Edit4;
        case TextField::PageName:
            return Edit5;
        case TextField::RemotePath:
            return Edit6;
        case TextField::AddressDisplay:
            return Edit7;
        case TextField::TemplateFile:
            return FilenameEdit1;
    }
    return nullptr;
}

TPCheck* TForm1::SwitchWidget(Switch which) const {
    switch (which) {
        case Switch::Passive:
            return PCheck1;
        case Switch::InternalRedirect:
            return PCheck2;
        case Switch::InternalNoRedirect:
            return PCheck3;
        case Switch::UserTemplate:
            return PCheck4;
        case Switch::Active:
            return PCheck5;
    }
    return nullptr;
}

std::string TForm1::Text(TextField field) const {
    const QLineEdit* widget = TextWidget(field);
    return widget ? ToBytes(widget->text()) : std::string();
}

void TForm1::SetText(TextField field, const std::string& text) {
    if (QLineEdit* widget = TextWidget(field)) {
        widget->setText(FromBytes(text));
        // Show a long value from its start, as a field the user has not touched yet should.
        widget->setCursorPosition(0);
    }
}

bool TForm1::Checked(Switch which) const {
    const TPCheck* widget = SwitchWidget(which);
    return widget && widget->Checked();
}

void TForm1::SetChecked(Switch which, bool checked) {
    if (TPCheck* widget = SwitchWidget(which)) {
        widget->SetChecked(checked);
    }
}

void TForm1::ShowMessage(const std::string& caption, const std::string& text, MessageIcon icon) {
    // CR separates the lines; any other control byte (a server's reply may carry some) is shown escaped.
    std::string shown;
    for (const char c : text)
        shown += c == '\r' || c == '\n' ? std::string(1, '\n') : text::Printable({&c, 1});
    const QString lines = FromBytes(shown);
    if (m_messageBox) {
        m_messageBox(FromBytes(caption), lines, icon);
        return;
    }
    // No parent: the box is centred on the screen, and shows even while the window is hidden.
    QMessageBox box(icon == MessageIcon::Error ? QMessageBox::Critical : QMessageBox::Information,
                    FromBytes(caption), lines, QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

void TForm1::ShowMainWindow() {
    if (!m_shownBefore) {
        m_shownBefore = true;
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            const QRect area = screen->geometry();
            move(area.center() - QPoint(kClientWidth / 2, kClientHeight / 2));
        }
    }
    // The tray icon watches the window: an explicit show also restores it and brings it to the front.
    show();
    if (isMinimized()) {
        // Already shown, so no show event reaches the tray icon's watch: restore here.
        setWindowState(windowState() & ~Qt::WindowMinimized);
        activateWindow();
    }
}

void TForm1::HideMainWindow() {
    hide();
}

bool TForm1::MainWindowVisible() const {
    return isVisible();
}

void TForm1::SetTimerEnabled(bool enabled) {
    if (enabled) {
        Timer1->start();
    } else {
        Timer1->stop();
    }
}

void TForm1::DispatchMessagesUntil(std::int64_t deadlineTick) {
    for (;;) {
        // The deadline comes from the core's clock, so the wait must be measured on that same clock.
        const std::int64_t remaining = deadlineTick - m_core->GetClock().TickCount();
        if (remaining < 0) {
            return;
        }
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        timer.setTimerType(Qt::PreciseTimer);
        // A flag, not the loop's exit code: QCoreApplication::exit(1) would give the same code.
        bool expired = false;
        connect(&timer, &QTimer::timeout, &loop, [&loop, &expired] {
            expired = true;
            loop.quit();
        });
        timer.start(static_cast<int>(std::min<std::int64_t>(remaining + 1, INT_MAX)));
        loop.exec();
        // Anything else ending the loop is the program quitting: stop waiting then.
        if (!expired) {
            return;
        }
    }
}

void TForm1::ReportOutcome(const PublicationOutcome& outcome) {
    CoolTrayIcon1->SetHint("Signposter: " + FromBytes(text::Printable(DescribeOutcomeBriefly(outcome))));
    CoolTrayIcon1->SetShowHint(true);
}

template <typename Handler>
void TForm1::Guarded(Handler&& handler) {
    struct Running {
        int& count;
        explicit Running(int& c) : count(c) { ++count; }
        ~Running() { --count; }
    } running(m_handlersRunning);
    try {
        handler();
    } catch (const std::exception& error) {
        ShowDefaultError(*this, error.what());
    }
}

void TForm1::FormCreate() {
    Guarded([this] { m_core->GetMonitor().FormCreate(); });
}

bool TForm1::FormClose() {
    bool saved = false;
    Guarded([this, &saved] { saved = m_core->GetMonitor().FormClose(); });
    return saved;
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (!FormClose()) {
        event->ignore();
        return;
    }
    event->accept();
    m_closed = true;
    m_stop.Request();
    emit Closed();
}

void TForm1::Timer1Timer() {
    Guarded([this] { m_core->GetMonitor().Timer1Timer(); });
}

void TForm1::velColorButton1click() {
    Guarded([this] { m_core->GetMonitor().MonitorIpCommand(); });
}

void TForm1::velColorButton2click() {
    Guarded([this] { m_core->GetMonitor().HelpCommand(); });
}

void TForm1::velColorButton3click() {
    // From the tray menu, opened before a publication began: not inside it.
    if (sender() == UpdateNowItem && (m_handlersRunning > 0 || State().Busy))
        return;
    Guarded([this] { m_core->GetMonitor().UpdateNowCommand(); });
}

void TForm1::velColorButton4click() {
    if (sender() == OfflineItem && (m_handlersRunning > 0 || State().Busy))
        return;
    Guarded([this] { m_core->GetMonitor().OfflineCommand(); });
}

void TForm1::PCheck2Click() {
    if (PCheck2->Checked()) {
        PCheck3->SetChecked(false);
        PCheck4->SetChecked(false);
    }
    if (!PCheck2->Checked() && !PCheck3->Checked() && !PCheck4->Checked()) {
        PCheck2->SetChecked(true);
    }
    if (PCheck2->Checked()) {
        FilenameEdit1->setEnabled(false);
    }
}

void TForm1::PCheck3Click() {
    if (PCheck3->Checked()) {
        PCheck2->SetChecked(false);
        PCheck4->SetChecked(false);
    }
    if (!PCheck2->Checked() && !PCheck3->Checked() && !PCheck4->Checked()) {
        PCheck3->SetChecked(true);
    }
    if (PCheck3->Checked()) {
        FilenameEdit1->setEnabled(false);
    }
}

void TForm1::PCheck4Click() {
    if (PCheck4->Checked()) {
        PCheck3->SetChecked(false);
        PCheck2->SetChecked(false);
    }
    if (!PCheck2->Checked() && !PCheck3->Checked() && !PCheck4->Checked()) {
        PCheck4->SetChecked(true);
    }
    FilenameEdit1->setEnabled(PCheck4->Checked());
}

void TForm1::CoolTrayIcon1Click() {
    Guarded([this] { m_core->GetMonitor().TrayIconClick(); });
}

void TForm1::SettingsItemClick() {
    // A dialog closed but not yet deleted would show the values it was opened with: open a fresh one.
    if (m_settingsDialog && !m_settingsDialog->isVisible())
        delete m_settingsDialog;
    if (!m_settingsDialog) {
        // A window of its own, not over the main window: that one is usually hidden.
        m_settingsDialog = new SettingsDialog(m_core->State(), m_core->SettingsPath(), *this, m_core->Lookup());
        connect(m_settingsDialog, &SettingsDialog::Applied, this,
                [this](const KeyValues& changed) { TakeUpSettings(m_core->State(), changed); });
        m_settingsDialog->setAttribute(Qt::WA_DeleteOnClose);
        m_settingsDialog->setWindowIcon(MainIcon());
    }
    m_settingsDialog->show();
    m_settingsDialog->raise();
    m_settingsDialog->activateWindow();
}

void TForm1::QuitItemClick() {
    // The window's own close: the settings are saved (or the error shown and the program goes on), a
    // publication in progress stops after its current attempt, and the program ends.
    close();
}

void TForm1::StartAtLoginItemClick() {
    const bool wanted = StartAtLoginItem->isChecked();
    const std::string program = m_autostartProgram.empty() ? platform::TrayProgramPath() : m_autostartProgram;
    const std::optional<std::string> problem =
        wanted ? platform::EnableAutostart(program) : platform::DisableAutostart();
    StartAtLoginItem->setChecked(platform::AutostartEnabled());
    if (problem)
        ShowMessage("Signposter", "Start at login could not be changed: " + *problem, MessageIcon::Error);
}

}  // namespace signposter::ui
