#pragma once

#include <QFont>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>

#include "core/address_discovery.h"
#include "core/clock.h"
#include "core/live_settings.h"
#include "core/program_state.h"
#include "core/user_interface.h"
#include "platform/stop_request.h"
#include "ui/cool_tray_icon.h"
#include "ui/settings_dialog.h"

class QAction;
class QLabel;
class QLineEdit;

namespace signposter {
class PublishingCore;
}

namespace signposter::ui {

class TAppEvents;
class TBevel;
class TFilenameEdit;
class TLbBackground;
class TPCheck;
class TvelColorButton;

// The window's font: a sans-serif face at 11 pixels whose widths fit every caption in its control.
QFont WindowFont();

// What the main window talks to. Empty members mean the machine's own lookup and clock and Qt's tray.
struct WindowServices {
    HostLookup* lookup = nullptr;
    const Clock* clock = nullptr;
    std::unique_ptr<TrayShell> trayShell;
    // The program "Start at login" names; empty means the tray program beside the running one.
    std::string autostartProgram;
};

// The program's only window: the current address, every setting in its fields, four command buttons.
// It holds the live settings the core reads and is the core's way to the user. It starts hidden; the tray
// icon, the commands and validation show and hide it. Closing it saves the settings and, when that works,
// ends the program (signal Closed).
class TForm1 : public QWidget, public LiveSettings, public UserInterface {
    Q_OBJECT
public:
    // Creates every component and runs FormCreate, which loads the settings file at `settingsPath` (the
    // user's settings file when empty).
    explicit TForm1(WindowServices services = {}, std::string settingsPath = {});
    ~TForm1() override;

    // LiveSettings
    std::string Text(TextField field) const override;
    void SetText(TextField field, const std::string& text) override;
    bool Checked(Switch which) const override;
    void SetChecked(Switch which, bool checked) override;

    // UserInterface
    void ShowMessage(const std::string& caption, const std::string& text, MessageIcon icon) override;
    void ShowMainWindow() override;
    void HideMainWindow() override;
    bool MainWindowVisible() const override;
    void SetTimerEnabled(bool enabled) override;
    void DispatchMessagesUntil(std::int64_t deadlineTick) override;
    bool EndRequested() const override { return m_closed; }
    void ReportOutcome(const PublicationOutcome& outcome) override;

    // Shows a message box instead of QMessageBox (tests). Lines arrive separated by "\n". An empty
    // function restores the real box.
    using MessageBoxFunction =
        std::function<void(const QString& caption, const QString& text, MessageIcon icon)>;
    void SetMessageBoxFunction(MessageBoxFunction function) { m_messageBox = std::move(function); }

    const ProgramState& State() const;
    const std::string& SettingsPath() const;

    // Event handlers.
    void FormCreate();
    // False when the settings could not be saved: the error has been shown and the window stays open.
    bool FormClose();
    void Timer1Timer();
    void velColorButton1click();
    void velColorButton2click();
    void velColorButton3click();
    void velColorButton4click();
    void PCheck2Click();
    void PCheck3Click();
    void PCheck4Click();
    void CoolTrayIcon1Click();
    // The tray menu's own items.
    void SettingsItemClick();
    void QuitItemClick();
    void StartAtLoginItemClick();
    void OpenPageItemClick();

    // The settings dialog while it is open (tests), else null.
    SettingsDialog* OpenSettingsDialog() const { return m_settingsDialog; }

    static constexpr int kClientWidth = 251;
    static constexpr int kClientHeight = 392;

signals:
    // The settings have been saved on closing: the program ends.
    void Closed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // Components, by the names the program's descriptions use; each is also its object name, by which
    // tests find it.
    TBevel* Bevel1 = nullptr;
    QLabel* Label7 = nullptr;
    QLineEdit* Edit7 = nullptr;
    TBevel* Bevel2 = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* Edit2 = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* Edit1 = nullptr;
    TPCheck* PCheck1 = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* Edit3 = nullptr;
    QLabel* Label4 = nullptr;
    QLineEdit* Edit4 = nullptr;
    QLabel* Label6 = nullptr;
    QLineEdit* Edit6 = nullptr;
    TBevel* Bevel3 = nullptr;
    QLabel* Label5 = nullptr;
    QLineEdit* Edit5 = nullptr;
    TPCheck* PCheck2 = nullptr;
    TPCheck* PCheck3 = nullptr;
    TPCheck* PCheck4 = nullptr;
    TFilenameEdit* FilenameEdit1 = nullptr;
    TPCheck* PCheck5 = nullptr;
    TvelColorButton* velColorButton2 = nullptr;
    TvelColorButton* velColorButton4 = nullptr;
    TvelColorButton* velColorButton3 = nullptr;
    TvelColorButton* velColorButton1 = nullptr;
    QTimer* Timer1 = nullptr;
    TCoolTrayIcon* CoolTrayIcon1 = nullptr;
    TAppEvents* AppEvents1 = nullptr;
    TLbBackground* LbBackground1 = nullptr;
    TPopupMenu* PopupMenu1 = nullptr;
    QAction* ShowItem = nullptr;
    QAction* UpdateNowItem = nullptr;
    QAction* OfflineItem = nullptr;
    QAction* SettingsItem = nullptr;
    QAction* OpenPageItem = nullptr;
    QAction* StartAtLoginItem = nullptr;
    QAction* QuitItem = nullptr;

    void CreateComponents();
    void CreatePopupMenu();
    // Brings the items up to date as the menu opens: the window's state, a command running, autostart.
    void PopupMenu1Popup();
    // VerifyURL when it is an http or https address, else an invalid URL.
    QUrl PublishedPageUrl() const;
    void SetTabOrder();
    QLineEdit* TextWidget(TextField field) const;
    TPCheck* SwitchWidget(Switch which) const;
    // Runs a handler of the core; anything that still escapes is shown as the application would.
    template <typename Handler>
    void Guarded(Handler&& handler);

    // Closing the window requests a stop: every wait of the core's (socket waits included) ends at once.
    platform::StopRequest m_stop;
    platform::SystemClock m_stoppableClock{&m_stop};
    std::unique_ptr<PublishingCore> m_core;
    // The window has closed for good: a publication still running stops after its current attempt.
    bool m_closed = false;
    MessageBoxFunction m_messageBox;
    bool m_shownBefore = false;
    // Handlers running now: a command's publication dispatches messages while it waits, and the tray menu
    // must not start a second one inside it.
    int m_handlersRunning = 0;
    std::string m_autostartProgram;
    QPointer<SettingsDialog> m_settingsDialog;
};

}  // namespace signposter::ui
