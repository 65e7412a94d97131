#pragma once

#include <QObject>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/extended_settings.h"
#include "core/live_settings.h"
#include "core/program_state.h"
#include "core/publishing_core.h"
#include "core/runner.h"
#include "core/user_interface.h"
#include "platform/stop_request.h"

namespace signposter::ui {

// The window's fields as plain values: the publishing thread's copy of them, and the window's record of
// what that copy holds.
class FieldSnapshot final : public LiveSettings {
public:
    static constexpr TextField kTextFields[] = {
        TextField::Port,     TextField::Host,       TextField::User,           TextField::Password,
        TextField::PageName, TextField::RemotePath, TextField::AddressDisplay, TextField::TemplateFile};
    static constexpr Switch kSwitches[] = {Switch::Passive, Switch::InternalRedirect,
                                           Switch::InternalNoRedirect, Switch::UserTemplate, Switch::Active};

    std::string Text(TextField field) const override { return m_texts[static_cast<std::size_t>(field)]; }
    void SetText(TextField field, const std::string& text) override {
        m_texts[static_cast<std::size_t>(field)] = text;
    }
    bool Checked(Switch which) const override { return m_switches[static_cast<std::size_t>(which)]; }
    void SetChecked(Switch which, bool checked) override {
        m_switches[static_cast<std::size_t>(which)] = checked;
    }

private:
    std::array<std::string, std::size(kTextFields)> m_texts;
    std::array<bool, std::size(kSwitches)> m_switches{};
};

// What the publishing thread asks of the window. Every call arrives on the window's thread, queued.
class CoreView {
public:
    virtual ~CoreView() = default;
    virtual void ShowField(TextField field, const std::string& text) = 0;
    virtual void ShowSwitch(Switch which, bool checked) = 0;
    // Opens a message box and returns at once; `closed` runs when the user has closed it.
    virtual void ShowMessageBox(const std::string& caption, const std::string& text, MessageIcon icon,
                                std::function<void()> closed) = 0;
    virtual void ShowWindow(bool shown) = 0;
    virtual void ShowOutcome(const PublicationOutcome& outcome) = 0;
    virtual void ShowProgress(const std::string& address, int attempt, int attempts) = 0;
    // A publication runs (true) or has ended.
    virtual void ShowBusy(bool busy) = 0;
    // The program's values after a command; `settingsTakenUp` counts the dialog's changes taken up so far.
    virtual void TakeState(const ProgramState& state, std::uint64_t settingsTakenUp) = 0;
    // The dialog's changes have been written (an empty `error`) and taken up, or not (the reason).
    virtual void SettingsSaved(const std::string& error) = 0;
    // The closing save has run: when `saved` the thread has ended and the program may end.
    virtual void CoreClosed(bool saved) = 0;
    // Everything posted before marker `marker` has run.
    virtual void CoreCaughtUp(std::uint64_t marker) = 0;
};

// The publishing core on a thread of its own, as the window's fields and user interface: it reads a copy of
// the fields that the window keeps up to date, and reaches the window only through queued calls, so that no
// wait of the core's (name look-ups, the server, the pauses between attempts) ever holds the window up.
// The core's runner (core/runner.h) runs commands, the monitor tick and the kernel's address events on that
// thread. Both queues are the runner's, under its lock, so that ThreadSanitizer sees every hand-over (Qt's
// own queues live in a library it does not see into); Qt only wakes the window for its queue.
class WindowCore final : public LiveSettings, public UserInterface {
public:
    // `view` and `viewContext` live on the calling thread and outlive this object. `stop` ends every wait
    // of the core's once requested; services.clock, when given, replaces the stoppable machine clock.
    WindowCore(CoreView& view, QObject& viewContext, const FieldSnapshot& fields, std::string settingsPath,
               CoreServices services, platform::StopRequest& stop);
    // Ends the thread without the closing save when it still runs.
    ~WindowCore() override;
    WindowCore(const WindowCore&) = delete;
    WindowCore& operator=(const WindowCore&) = delete;

    // Loads the settings into the fields on the calling thread (an error box opens without waiting), opens
    // the address events, then starts the thread and its monitor tick.
    void Start();
    // Before Start: address events from `events` instead of the kernel's (tests).
    void UseAddressEvents(std::unique_ptr<platform::AddressEvents> events);

    // A command for the monitor, run on the publishing thread after those posted before; skipped once the
    // program has been asked to end.
    void Post(std::function<void(Monitor&)> command);
    // A field the user changed.
    void PostText(TextField field, std::string text);
    void PostSwitch(Switch which, bool checked);
    void PostTimerEnabled(bool enabled);
    // Settings the dialog has changed: written to the file and used from the next step on; the result
    // comes back through CoreView::SettingsSaved.
    void PostSettings(const KeyValues& changed);
    // The closing save, after the wait running now (the caller has requested the stop) has ended.
    void PostClose();
    // A marker that comes back through CoreView::CoreCaughtUp once everything posted before it has run.
    std::uint64_t PostMarker();
    // The thread runs: it has started and has not ended.
    bool Running() const { return m_thread.joinable() && !m_runner->Ended(); }
    // Waits for a thread that has ended (after CoreView::CoreClosed(true)).
    void Join();

    const std::string& SettingsPath() const { return m_core->SettingsPath(); }

    // LiveSettings, on the publishing thread.
    std::string Text(TextField field) const override { return m_fields.Text(field); }
    void SetText(TextField field, const std::string& text) override;
    bool Checked(Switch which) const override { return m_fields.Checked(which); }
    void SetChecked(Switch which, bool checked) override;

    // UserInterface, on the publishing thread.
    void ShowMessage(const std::string& caption, const std::string& text, MessageIcon icon) override;
    void ShowMainWindow() override;
    void HideMainWindow() override;
    bool MainWindowVisible() const override { return m_windowVisible.load(); }
    // Off, or on with the next tick a whole interval from now, as a timer started anew.
    void SetTimerEnabled(bool enabled) override { m_runner->SetTimerEnabled(enabled); }
    void ReportOutcome(const PublicationOutcome& outcome) override;
    void ReportProgress(const std::string& address, int attempt, int attempts) override;
    bool EndRequested() const override { return m_stop.Requested(); }

    // The window reports whether it is shown (its own thread).
    void SetWindowVisible(bool visible) { m_windowVisible.store(visible); }
    // Publications ended so far, for "Update Now" to tell one that ran since its click (any thread).
    std::uint64_t PublicationsEnded() const { return m_core->GetPublisher().PublicationsEnded(); }

private:
    struct Answers;
    class Relay;

    // After each step: the window learns that a publication ended and the program's values.
    void AfterStep();
    void ToView(std::function<void()> what) { m_runner->ToView(std::move(what)); }

    CoreView& m_view;
    platform::StopRequest& m_stop;
    platform::SystemClock m_stoppableClock;
    FieldSnapshot m_fields;
    std::unique_ptr<PublishingCore> m_core;
    std::thread::id m_viewThread;
    std::unique_ptr<Relay> m_relay;
    std::unique_ptr<Runner> m_runner;
    std::thread m_thread;

    std::atomic<bool> m_windowVisible{false};
    // Publishing thread only.
    bool m_publishing = false;
    std::uint64_t m_settingsTakenUp = 0;
    std::uint64_t m_boxesAsked = 0;
    // The destructor's stop is never withdrawn by a closing save that failed meanwhile.
    std::mutex m_endLock;
    bool m_ending = false;  // under m_endLock
    // Window thread only.
    std::uint64_t m_markers = 0;
    std::shared_ptr<Answers> m_answers;
};

}  // namespace signposter::ui
