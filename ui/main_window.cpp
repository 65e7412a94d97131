#include "ui/main_window.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QEventLoop>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProxyStyle>
#include <QScreen>
#include <QStyleOptionFrame>
#include <algorithm>
#include <exception>
#include <optional>

#include "core/extended_settings.h"
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
#include "ui/notifier.h"
#include "ui/settings_dialog.h"

namespace signposter::ui {

namespace {

// Measured at 11 pixels: "Internal Template with auto Redirect" takes 180 pixels here, inside the 187
// its check box leaves; plain DejaVu Sans needs 200 and would be clipped.
constexpr char kWindowFontFamily[] = "DejaVu Sans Condensed";
constexpr int kWindowFontPixels = 11;
constexpr int kAddressFontPixels = 19;

// Measured in the wide place: a full IPv6 address (39 characters) shows whole at 11 pixels, the window's
// own size, and in brackets (41) at 10. No address needs less; smaller text could not be read.
constexpr int kSmallestAddressFontPixels = 9;

// The address display is there to be read: its text stays unselected when tabbed into, and is never cut. A
// dotted quad fits its place at the address font; text that does not (an IPv6 address) takes the label's
// place as well, at the largest font size that shows all of it.
class AddressDisplay final : public QLineEdit {
public:
    AddressDisplay(QWidget* parent, QLabel* label, QRect place, QRect widePlace)
        : QLineEdit(parent), m_label(label), m_place(place), m_widePlace(widePlace) {
        setGeometry(m_place);
        connect(this, &QLineEdit::textChanged, this, [this] { Fit(); });
    }

protected:
    void focusInEvent(QFocusEvent* event) override {
        QLineEdit::focusInEvent(event);
        deselect();
    }

private:
    void Fit() {
        QFont fitted = font();
        fitted.setPixelSize(kAddressFontPixels);
        setGeometry(m_place);
        const bool fits = QFontMetrics(fitted).horizontalAdvance(text()) <= TextRoom();
        m_label->setHidden(!fits);
        if (!fits) {
            setGeometry(m_widePlace);
            while (fitted.pixelSize() > kSmallestAddressFontPixels &&
                   QFontMetrics(fitted).horizontalAdvance(text()) > TextRoom())
                fitted.setPixelSize(fitted.pixelSize() - 1);
        }
        setFont(fitted);
        // Shown from its first character, as a field that had never scrolled.
        setCursorPosition(0);
    }

    // What the style leaves for text, less the two pixels a line edit keeps clear on either side and the
    // cursor's pixel.
    int TextRoom() const {
        QStyleOptionFrame option;
        initStyleOption(&option);
        return style()->subElementRect(QStyle::SE_LineEditContents, &option, this).width() - 2 * 2 - 1;
    }

    QLabel* m_label;
    QRect m_place;
    QRect m_widePlace;
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

// The width at which `edit` shows `text` whole: the text's advance in the edit's font, the two pixels a line
// edit keeps clear on either side and the cursor's pixel, and what the style takes for the frame.
int WidthToShow(const QLineEdit& edit, const QString& text) {
    QStyleOptionFrame option;
    option.initFrom(&edit);
    option.rect = QRect(0, 0, edit.width(), edit.height());
    option.lineWidth = edit.style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, &edit);
    option.state |= QStyle::State_Sunken;
    const int frame =
        edit.width() - edit.style()->subElementRect(QStyle::SE_LineEditContents, &option, &edit).width();
    return QFontMetrics(edit.font()).horizontalAdvance(text) + 2 * 2 + 1 + frame;
}

// The widest port there is.
constexpr char kWidestPort[] = "65535";

// Where the lines under the buttons go, and the gap between them.
constexpr int kStatusLeft = 8;
constexpr int kStatusGap = 2;

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

// The window's message boxes for what runs on the window's own thread: the settings dialog.
class TForm1::WindowMessages final : public UserInterface {
public:
    explicit WindowMessages(TForm1& form) : m_form(form) {}
    void ShowMessage(const std::string& caption, const std::string& text, MessageIcon icon) override {
        m_form.ShowMessageNow(caption, text, icon);
    }
    void ShowMainWindow() override { m_form.ShowMainWindow(); }
    void HideMainWindow() override { m_form.HideMainWindow(); }
    bool MainWindowVisible() const override { return m_form.isVisible(); }
    void SetTimerEnabled(bool enabled) override { m_form.SetTimerEnabled(enabled); }
    void ReportOutcome(const PublicationOutcome& outcome) override { m_form.ShowOutcome(outcome); }
    bool EndRequested() const override { return m_form.EndRequested(); }

private:
    TForm1& m_form;
};

TForm1::TForm1(WindowServices services, std::string settingsPath)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      m_messages(std::make_unique<WindowMessages>(*this)) {
    setObjectName("Form1");
    setWindowTitle("Signposter 1.0");
    setFixedSize(kClientWidth, kClientHeight);
    setFont(WindowFont());
    setWindowIcon(MainIcon());

    CreateComponents();
    SetTabOrder();
    for (const TextField field : FieldSnapshot::kTextFields)
        m_shown.SetText(field, ToBytes(TextWidget(field)->text()));
    for (const Switch which : FieldSnapshot::kSwitches)
        m_shown.SetChecked(which, SwitchWidget(which)->Checked());

    CoolTrayIcon1 = new TCoolTrayIcon(this, std::move(services.trayShell));
    CoolTrayIcon1->setObjectName("CoolTrayIcon1");
    CoolTrayIcon1->SetIcon(MainIcon());
    connect(CoolTrayIcon1, &TCoolTrayIcon::OnClick, this, &TForm1::CoolTrayIcon1Click);
    TrayMenu1 = new TTrayMenu(
        *this, std::move(services.autostartProgram),
        [this] {
            return TTrayMenu::Situation{isVisible(), m_publishing, PublishedPageUrl().isValid()};
        },
        [this](const std::string& problem) { ShowMessageNow("Signposter", problem, MessageIcon::Error); });
    connect(TrayMenu1, &TTrayMenu::ShowClicked, this, &TForm1::CoolTrayIcon1Click);
    connect(TrayMenu1, &TTrayMenu::UpdateNowClicked, this, &TForm1::UpdateNow);
    connect(TrayMenu1, &TTrayMenu::OfflineClicked, this, &TForm1::velColorButton4click);
    connect(TrayMenu1, &TTrayMenu::SettingsClicked, this, &TForm1::SettingsItemClick);
    connect(TrayMenu1, &TTrayMenu::OpenPageClicked, this, &TForm1::OpenPageItemClick);
    connect(TrayMenu1, &TTrayMenu::QuitClicked, this, &TForm1::QuitItemClick);
    // Automatic popup on, not on the left button: a right click opens the menu, a left click and a double
    // click toggle the window as before (the menu has no default item for the double click to run).
    CoolTrayIcon1->SetPopupMenu(TrayMenu1->Menu());
    CoolTrayIcon1->SetLeftPopup(false);

    AppEvents1 = new TAppEvents(this);
    AppEvents1->setObjectName("AppEvents1");
    AppEvents1->SetShowMainForm(false);

    LbBackground1 = new TLbBackground(this);
    LbBackground1->setObjectName("LbBackground1");
    LbBackground1->SetImage(MarbleTexture());
    LbBackground1->SetEnabled(true);

    m_givenLookup = services.lookup;
    for (QLabel** line : {&TrayNote, &ProgressLine, &PathWarning, &NoticeLine}) {
        *line = new QLabel(this);
        (*line)->setWordWrap(true);
        (*line)->hide();
    }
    TrayNote->setObjectName("TrayNote");
    TrayNote->setText("The icon appears when the desktop has a tray.");
    ProgressLine->setObjectName("ProgressLine");
    NoticeLine->setObjectName("NoticeLine");
    PathWarning->setObjectName("PathWarning");
    m_notifier = new DesktopNotifier(
        [this](const QString& title, const QString& text) {
            // Without a tray there is no balloon either: the window, open all along, tells it.
            if (m_withoutTray) {
                NoticeLine->setText(title + ": " + text);
                LayOutStatusLines();
            }
            CoolTrayIcon1->ShowBalloon(title, text);
        },
        this);

    m_core = std::make_unique<WindowCore>(
        *this, *this, m_shown, settingsPath.empty() ? platform::SettingsFilePath() : std::move(settingsPath),
        CoreServices{services.lookup, services.clock, nullptr, nullptr}, m_stop);
    // Every change of a field reaches the publishing thread as it happens, so that a command posted after
    // it reads it. A template option pressed and released outside changes without a click.
    for (const TextField field : FieldSnapshot::kTextFields)
        connect(TextWidget(field), &QLineEdit::textChanged, this, &TForm1::FieldsChanged);
    for (const Switch which : FieldSnapshot::kSwitches) {
        connect(SwitchWidget(which), &TPCheck::OnClick, this, &TForm1::FieldsChanged);
        SwitchWidget(which)->installEventFilter(this);
    }

    // End of loading: the components settle in, then the window's creation handler runs (the settings are
    // loaded) and the publishing thread starts with the monitor timer.
    CoolTrayIcon1->Loaded();
    AppEvents1->Loaded();
    if (services.addressEvents)
        m_core->UseAddressEvents(std::move(services.addressEvents));
    m_core->Start();

    // Without a tray the icon could never be clicked: the window opens instead, and says why.
    connect(CoolTrayIcon1, &TCoolTrayIcon::TrayAppeared, this, &TForm1::TrayAppeared);
    if (!CoolTrayIcon1->TrayAvailable()) {
        m_withoutTray = true;
        LayOutStatusLines();
        ShowMainWindow();
    }
}

void TForm1::TrayAppeared() {
    m_withoutTray = false;
    LayOutStatusLines();
}

void TForm1::ShowPathWarning() {
    // A warning, not a validation failure: the page is published where the path says, as always.
    const QString warning = FromBytes(RemotePathWarning(m_shown));
    if (warning == PathWarning->text())
        return;
    PathWarning->setText(warning);
    LayOutStatusLines();
}

void TForm1::LayOutStatusLines() {
    TrayNote->setVisible(m_withoutTray);
    ProgressLine->setVisible(!ProgressLine->text().isEmpty());
    PathWarning->setVisible(!PathWarning->text().isEmpty());
    NoticeLine->setVisible(m_withoutTray && !NoticeLine->text().isEmpty());
    int bottom = kClientHeight;
    for (QLabel* line : {TrayNote, ProgressLine, PathWarning, NoticeLine}) {
        if (line->isHidden())
            continue;
        const int width = kClientWidth - 2 * kStatusLeft;
        const int height = line->heightForWidth(width);
        line->setGeometry(kStatusLeft, bottom, width, height);
        bottom += height + kStatusGap;
    }
    setFixedSize(kClientWidth, bottom == kClientHeight ? kClientHeight : bottom + kStatusGap);
}

const std::string& TForm1::SettingsPath() const {
    return m_core->SettingsPath();
}

UserInterface& TForm1::Messages() {
    return *m_messages;
}

TForm1::~TForm1() {
    // An open dialog goes first: it may still be waiting on a check it runs.
    delete m_settingsDialog;
    // The publishing thread ends next (its waits end at the stop): nothing may reach the window after.
    m_core.reset();
    for (const QPointer<QWidget>& box : m_boxes) delete box.data();
    // The tray entry goes next, while the window it refers to still exists.
    delete CoolTrayIcon1;
    CoolTrayIcon1 = nullptr;
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

    // The wide place spans the bevel from the window's left margin to the field's right edge.
    Edit7 = new AddressDisplay(this, Label7, QRect(72, 12, 165, 32), QRect(8, 12, 229, 32));
    Edit7->setObjectName("Edit7");
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
    // Grown to the right, into the space before "Passive Mode", until five digits show whole.
    Edit1->resize(std::max(Edit1->width(), WidthToShow(*Edit1, kWidestPort)), Edit1->height());

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

    for (TPCheck* templateOption : {PCheck2, PCheck3, PCheck4})
        connect(templateOption, &TPCheck::OnClick, this,
                [this, templateOption] { TemplateOptionClick(templateOption); });
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

void TForm1::FieldsChanged() {
    for (const TextField field : FieldSnapshot::kTextFields) {
        std::string text = ToBytes(TextWidget(field)->text());
        if (text != m_shown.Text(field)) {
            m_shown.SetText(field, text);
            m_core->PostText(field, std::move(text));
        }
    }
    for (const Switch which : FieldSnapshot::kSwitches) {
        const bool checked = SwitchWidget(which)->Checked();
        if (checked != m_shown.Checked(which)) {
            m_shown.SetChecked(which, checked);
            m_core->PostSwitch(which, checked);
        }
    }
    ShowPathWarning();
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    // The switch has not changed yet while its event is filtered: look once it has been handled.
    if (event->type() == QEvent::MouseButtonRelease || event->type() == QEvent::KeyRelease)
        QTimer::singleShot(0, this, &TForm1::FieldsChanged);
    return QWidget::eventFilter(watched, event);
}

void TForm1::ShowField(TextField field, const std::string& text) {
    if (QLineEdit* widget = TextWidget(field)) {
        m_shown.SetText(field, text);
        widget->setText(FromBytes(text));
        // Show a long value from its start, as a field the user has not touched yet should.
        widget->setCursorPosition(0);
        if (field == TextField::RemotePath || field == TextField::PageName)
            ShowPathWarning();
    }
}

void TForm1::ShowSwitch(Switch which, bool checked) {
    if (TPCheck* widget = SwitchWidget(which)) {
        m_shown.SetChecked(which, checked);
        widget->SetChecked(checked);
    }
}

namespace {

// CR separates the lines; any other control byte (a server's reply may carry some) is shown escaped.
QString BoxText(const std::string& text) {
    std::string shown;
    for (const char c : text)
        shown += c == '\r' || c == '\n' ? std::string(1, '\n') : text::Printable({&c, 1});
    return FromBytes(shown);
}

}  // namespace

void TForm1::ShowMessageBox(const std::string& caption, const std::string& text, MessageIcon icon,
                            std::function<void()> closed) {
    if (m_messageBox) {
        m_messageBox(FromBytes(caption), BoxText(text), icon);
        closed();
        return;
    }
    // No parent: the box is centred on the screen, and shows even while the window is hidden. Opened, not
    // run: the window goes on answering while the publishing thread waits for the box.
    auto* box = new QMessageBox(icon == MessageIcon::Error ? QMessageBox::Critical : QMessageBox::Information,
                                FromBytes(caption), BoxText(text), QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    connect(box, &QDialog::finished, box, [closed = std::move(closed)] { closed(); });
    m_boxes.erase(std::remove(m_boxes.begin(), m_boxes.end(), nullptr), m_boxes.end());
    m_boxes.emplace_back(box);
    box->show();
}

void TForm1::ShowMessageNow(const std::string& caption, const std::string& text, MessageIcon icon) {
    if (m_messageBox) {
        m_messageBox(FromBytes(caption), BoxText(text), icon);
        return;
    }
    QMessageBox box(icon == MessageIcon::Error ? QMessageBox::Critical : QMessageBox::Information,
                    FromBytes(caption), BoxText(text), QMessageBox::Ok);
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
    if (m_withoutTray) {
        // Nothing could show it again: the window stays, and the core learns that it does.
        m_core->SetWindowVisible(isVisible());
        return;
    }
    hide();
}

void TForm1::ShowWindow(bool shown) {
    if (shown)
        ShowMainWindow();
    else
        HideMainWindow();
}

void TForm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    m_core->SetWindowVisible(true);
}

void TForm1::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    m_core->SetWindowVisible(false);
}

void TForm1::SetTimerEnabled(bool enabled) {
    m_core->PostTimerEnabled(enabled);
}

// What the brief texts keep whole is what the tooltip holds after its prefix.
static_assert(kBriefTextLength + sizeof("Signposter: ") - 1 == kMaxTipLength);

void TForm1::ShowOutcome(const PublicationOutcome& outcome) {
    CoolTrayIcon1->SetHint("Signposter: " + FromBytes(text::Printable(DescribeOutcomeBriefly(outcome))));
    CoolTrayIcon1->SetShowHint(true);
    m_notifier->Outcome(outcome, m_state.Notify);
}

void TForm1::ShowProgress(const std::string& address, int attempt, int attempts) {
    CoolTrayIcon1->SetHint("Signposter: " +
                           FromBytes(text::Printable(DescribeProgressBriefly(address, attempt, attempts))));
    CoolTrayIcon1->SetShowHint(true);
    const std::string what = address == "OFFLINE" ? "the offline notice" : text::Printable(address);
    ProgressLine->setText(FromBytes("publishing " + what + ", attempt " + std::to_string(attempt) + " of " +
                                    std::to_string(attempts)));
    LayOutStatusLines();
}

void TForm1::ShowBusy(bool busy) {
    m_publishing = busy;
    TrayMenu1->SetPublishing(busy);
    // These commands would only wait behind the publication; Help and the fields answer at once.
    for (TvelColorButton* button : {velColorButton1, velColorButton3, velColorButton4})
        button->setEnabled(!busy);
    if (!busy) {
        ProgressLine->clear();
        LayOutStatusLines();
    }
}

void TForm1::TakeState(const ProgramState& state, std::uint64_t settingsTakenUp) {
    // A report from before the dialog's latest settings were taken up would hide them until the next one.
    if (settingsTakenUp >= m_settingsPosted)
        m_state = state;
}

void TForm1::CoreCaughtUp(std::uint64_t marker) {
    m_caughtUp = std::max(m_caughtUp, marker);
}

void TForm1::WaitForCore() {
    if (!m_core->Running())
        return;
    const std::uint64_t marker = m_core->PostMarker();
    while (m_caughtUp < marker && m_core->Running())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (m_closed) {
        event->accept();
        return;
    }
    // The window stays until the publishing thread has saved the settings: the stop ends what it waits
    // on now, and the save runs with the fields as they stand.
    event->ignore();
    if (m_closing)
        return;
    m_closing = true;
    FieldsChanged();
    m_stop.Request();
    m_core->PostClose();
}

void TForm1::CoreClosed(bool saved) {
    m_closing = false;
    if (!saved)
        return;  // the error has been shown; the program goes on
    m_core->Join();
    m_closed = true;
    hide();
    emit Closed();
}

void TForm1::Command(void (Monitor::*command)()) {
    FieldsChanged();
    m_core->Post([command](Monitor& monitor) { (monitor.*command)(); });
}

void TForm1::Timer1Timer() {
    Command(&Monitor::Timer1Timer);
    WaitForCore();
}

void TForm1::velColorButton1click() {
    Command(&Monitor::MonitorIpCommand);
}

void TForm1::velColorButton2click() {
    Command(&Monitor::HelpCommand);
}

void TForm1::velColorButton3click() {
    UpdateNow();
}

void TForm1::UpdateNow() {
    FieldsChanged();
    // A publication of the same page that ends after this click answers it: clicks made while one runs
    // add nothing, and after a change of the settings one publication follows, not one per click.
    m_core->Post([seen = m_core->PublicationsEnded()](Monitor& monitor) { monitor.UpdateNowCommand(seen); });
}

void TForm1::velColorButton4click() {
    Command(&Monitor::OfflineCommand);
}

void TForm1::TemplateOptionClick(TPCheck* option) {
    const std::array<TPCheck*, 3> group{PCheck2, PCheck3, PCheck4};
    if (option->Checked()) {
        for (TPCheck* other : group)
            if (other != option)
                other->SetChecked(false);
    }
    // The group cannot be emptied: the option clicked off comes back on.
    if (!PCheck2->Checked() && !PCheck3->Checked() && !PCheck4->Checked())
        option->SetChecked(true);
    // Only the user template has a file to choose; the internal ones leave the field as it was when off.
    if (option == PCheck4)
        FilenameEdit1->setEnabled(PCheck4->Checked());
    else if (option->Checked())
        FilenameEdit1->setEnabled(false);
    FieldsChanged();
}

void TForm1::CoolTrayIcon1Click() {
    // Decided here, at once: the window answers whatever the publishing thread is waiting on.
    if (isVisible())
        HideMainWindow();
    else
        ShowMainWindow();
}

void TForm1::SettingsItemClick() {
    // A dialog closed but not yet deleted would show the values it was opened with: open a fresh one.
    if (m_settingsDialog && !m_settingsDialog->isVisible())
        delete m_settingsDialog;
    if (!m_settingsDialog) {
        // A window of its own, not over the main window: that one is usually hidden. It shows the window's
        // copy of the program's values; the publishing thread takes up what it wrote (ForwardSettings).
        m_settingsDialog = new SettingsDialog(m_state, SettingsPath(), m_shown, m_givenLookup);
        m_settingsDialog->setAttribute(Qt::WA_DeleteOnClose);
        m_settingsDialog->setWindowIcon(MainIcon());
        connect(m_settingsDialog, &SettingsDialog::Applied, this, &TForm1::ForwardSettings);
    }
    m_settingsDialog->show();
    m_settingsDialog->raise();
    m_settingsDialog->activateWindow();
}

void TForm1::ForwardSettings(const KeyValues& changed) {
    ApplySettingKeys(m_state, changed);
    ++m_settingsPosted;
    m_core->PostSettings(changed);
}

void TForm1::SettingsSaved(const std::string& error) {
    if (m_settingsDialog)
        m_settingsDialog->SaveFinished(error);
}

void TForm1::QuitItemClick() {
    // The window's own close: a wait in progress ends at once (its publication stays pending), the
    // settings are saved (or the error shown and the program goes on), and the program ends.
    close();
}

}  // namespace signposter::ui
