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
#include <vector>

#include "core/address_discovery.h"
#include "core/clock.h"
#include "core/live_settings.h"
#include "core/program_state.h"
#include "core/user_interface.h"
#include "platform/stop_request.h"
#include "ui/cool_tray_icon.h"
#include "ui/settings_dialog.h"
#include "ui/tray_menu.h"
#include "ui/window_core.h"

class QAction;
class QLabel;
class QLineEdit;

namespace signposter::ui {

class DesktopNotifier;
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
    // Address events instead of the kernel's (tests).
    std::unique_ptr<platform::AddressEvents> addressEvents;
};

// The program's only window: the current address, every setting in its fields, four command buttons. The
// publishing core runs on a thread of its own behind it (WindowCore): the window hands its fields over as
// they change, posts the commands, and shows what comes back. It starts hidden; the tray icon, the commands
// and validation show and hide it. Closing it saves the settings and, when that works, ends the program
// (signal Closed).
class TForm1 : public QWidget, public CoreView {
    Q_OBJECT
public:
    // Creates every component, loads the settings file at `settingsPath` (the user's settings file when
    // empty) and starts the publishing thread.
    explicit TForm1(WindowServices services = {}, std::string settingsPath = {});
    ~TForm1() override;

    // The fields as they stand and the window's own message boxes, for what runs on the window's thread
    // (the settings dialog builds the page and reports a missing template with them).
    const LiveSettings& ShownFields() const { return m_shown; }
    UserInterface& Messages();

    // Shows a message box instead of QMessageBox (tests). Lines arrive separated by "\n". An empty
    // function restores the real box.
    using MessageBoxFunction =
        std::function<void(const QString& caption, const QString& text, MessageIcon icon)>;
    void SetMessageBoxFunction(MessageBoxFunction function) { m_messageBox = std::move(function); }

    // The program's values as the publishing thread last reported them, with the dialog's changes.
    const ProgramState& State() const { return m_state; }
    const std::string& SettingsPath() const;

    void ShowMainWindow();
    void HideMainWindow();
    // Starts or stops the once-a-second monitor timer of the publishing thread.
    void SetTimerEnabled(bool enabled);
    // Serves the window until the publishing thread has run everything posted so far. The program never
    // waits on that thread; tests and scripted runs do.
    void WaitForCore();
    // The program has been asked to end.
    bool EndRequested() const { return m_stop.Requested(); }
    // A publication runs on the publishing thread.
    bool Publishing() const { return m_publishing; }
    // The desktop had no tray for the icon: the window stays open, as nothing else could bring it back.
    bool WithoutTray() const { return m_withoutTray; }
    // Tells the failures of publications on the desktop (tests watch what it delivers).
    DesktopNotifier& Notifier() { return *m_notifier; }

    // Event handlers.
    // A monitor tick now, as the timer's own; returns once it has run.
    void Timer1Timer();
    void velColorButton1click();
    void velColorButton2click();
    void velColorButton3click();
    // "Update Now", from the button or the tray menu.
    void UpdateNow();
    void velColorButton4click();
    // PCheck2, PCheck3 and PCheck4: one of the template options was clicked.
    void TemplateOptionClick(TPCheck* option);
    void CoolTrayIcon1Click();
    void SettingsItemClick();
    void QuitItemClick();
    void OpenPageItemClick();

    // The settings dialog while it is open (tests), else null.
    SettingsDialog* OpenSettingsDialog() const { return m_settingsDialog; }

    // CoreView: what the publishing thread shows.
    void ShowField(TextField field, const std::string& text) override;
    void ShowSwitch(Switch which, bool checked) override;
    void ShowMessageBox(const std::string& caption, const std::string& text, MessageIcon icon,
                        std::function<void()> closed) override;
    void ShowWindow(bool shown) override;
    void ShowOutcome(const PublicationOutcome& outcome) override;
    void ShowProgress(const std::string& address, int attempt, int attempts) override;
    void ShowBusy(bool busy) override;
    void TakeState(const ProgramState& state, std::uint64_t settingsTakenUp) override;
    void SettingsSaved(const std::string& error) override;
    void CoreClosed(bool saved) override;
    void CoreCaughtUp(std::uint64_t marker) override;

    static constexpr int kClientWidth = 251;
    static constexpr int kClientHeight = 392;

signals:
    // The settings have been saved on closing: the program ends.
    void Closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class WindowMessages;

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
    TCoolTrayIcon* CoolTrayIcon1 = nullptr;
    TAppEvents* AppEvents1 = nullptr;
    TLbBackground* LbBackground1 = nullptr;
    TTrayMenu* TrayMenu1 = nullptr;
    QLabel* TrayNote = nullptr;
    QLabel* ProgressLine = nullptr;
    QLabel* NoticeLine = nullptr;
    QLabel* PathWarning = nullptr;
    DesktopNotifier* m_notifier = nullptr;

    void CreateComponents();
    // The lines under the buttons: the note while there is no tray, the publication while one runs, a remote
    // path that runs into the page name, and, without a tray, the last notice the desktop could not show. The window grows by what they need and
    // is back at its own size without them.
    void LayOutStatusLines();
    void TrayAppeared();
    // Says, as the fields change, where a remote path without its closing "/" puts the page.
    void ShowPathWarning();
    // VerifyURL when it is an http or https address, else an invalid URL.
    QUrl PublishedPageUrl() const;
    void SetTabOrder();
    QLineEdit* TextWidget(TextField field) const;
    TPCheck* SwitchWidget(Switch which) const;
    // Hands the fields the user changed to the publishing thread.
    void FieldsChanged();
    // A command of the window's, run on the publishing thread after the fields as they stand now.
    void Command(void (Monitor::*command)());
    // The dialog has written its settings to the file: the running program takes them up.
    void ForwardSettings(const KeyValues& changed);
    // A message box that holds the caller until it is closed, for what runs on this thread.
    void ShowMessageNow(const std::string& caption, const std::string& text, MessageIcon icon);

    // Closing the window requests a stop: every wait of the core's (socket waits included) ends at once.
    platform::StopRequest m_stop;
    FieldSnapshot m_shown;  // what the fields show, as the publishing thread has been told
    ProgramState m_state;
    std::unique_ptr<WindowMessages> m_messages;
    std::unique_ptr<WindowCore> m_core;
    MessageBoxFunction m_messageBox;
    std::vector<QPointer<QWidget>> m_boxes;
    bool m_shownBefore = false;
    bool m_closing = false;
    bool m_closed = false;
    bool m_publishing = false;
    bool m_withoutTray = false;
    std::uint64_t m_settingsPosted = 0;
    HostLookup* m_givenLookup = nullptr;  // a test's, for the settings dialog; else the machine's
    std::uint64_t m_caughtUp = 0;
    QPointer<SettingsDialog> m_settingsDialog;
};

}  // namespace signposter::ui
