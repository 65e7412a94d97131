#pragma once

#include <functional>
#include <optional>

#include "core/clock.h"
#include "core/user_interface.h"

namespace signposter::cli {

// The user interface of the headless front end: message boxes become lines on stderr, publication
// outcomes timestamped lines on stdout (priority-tagged on the journal, app/cli/output_lines.h), and waiting
// for messages is sleeping, with the monitor's tick still served once a second while the timer is on.
class HeadlessUserInterface final : public UserInterface {
public:
    explicit HeadlessUserInterface(const Clock& clock = StoppableClock()) : m_clock(&clock) {}
    // Waits from now on take `clock` (the core's, made after this interface), which must outlive them.
    void UseClock(const Clock& clock) { m_clock = &clock; }

    void ShowMessage(const std::string& caption, const std::string& text, MessageIcon icon) override;
    void ShowMainWindow() override { m_windowRequested = true; }
    void HideMainWindow() override {}
    bool MainWindowVisible() const override { return false; }
    void SetTimerEnabled(bool enabled) override { m_timerEnabled = enabled; }
    void DispatchMessagesUntil(std::int64_t deadlineTick) override;
    void ReportOutcome(const PublicationOutcome& outcome) override;
    bool EndRequested() const override { return StopRequested(); }

    // Failed outcomes also show the last attempt's exception class and message as raised.
    void SetVerbose(bool verbose) { m_verbose = verbose; }

    // Called once a second during waits while the timer is on (the monitor's tick).
    void SetTickHandler(std::function<void()> handler) { m_tick = std::move(handler); }

    bool TimerEnabled() const { return m_timerEnabled; }
    // Validation failed: the window would have been shown to the user.
    bool WindowRequested() const { return m_windowRequested; }
    void ClearWindowRequest() { m_windowRequested = false; }
    // The default error display was used.
    bool ErrorShown() const { return m_errorShown; }
    const std::optional<PublicationOutcome>& LastOutcome() const { return m_lastOutcome; }

    // Set from a signal handler: every wait on StoppableClock() ends at once and the monitor stops.
    static void RequestStop();
    static bool StopRequested();
    // The machine's clock, whose waits (socket waits included) end when a stop is requested.
    static const Clock& StoppableClock();
    // Sleeps on the interface's clock until `deadlineTick` or a stop request.
    void SleepUntil(std::int64_t deadlineTick) const;

private:
    const Clock* m_clock;
    bool m_timerEnabled = true;
    bool m_windowRequested = false;
    bool m_errorShown = false;
    std::optional<PublicationOutcome> m_lastOutcome;
    std::function<void()> m_tick;
    bool m_inTick = false;
    bool m_verbose = false;
};

}  // namespace signposter::cli
