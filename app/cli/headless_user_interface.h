#pragma once

#include <functional>
#include <optional>

#include "core/clock.h"
#include "platform/stop_request.h"
#include "core/user_interface.h"

namespace signposter::cli {

// The user interface of the headless front end: message boxes become lines on stderr, publication
// outcomes timestamped lines on stdout (priority-tagged on the journal, app/cli/output_lines.h).
class HeadlessUserInterface final : public UserInterface {
public:

    void ShowMessage(const std::string& caption, const std::string& text, MessageIcon icon) override;
    void ShowMainWindow() override { m_windowRequested = true; }
    void HideMainWindow() override {}
    bool MainWindowVisible() const override { return false; }
    void SetTimerEnabled(bool enabled) override {
        if (m_timer)
            m_timer(enabled);
    }
    void ReportOutcome(const PublicationOutcome& outcome) override;
    bool EndRequested() const override { return StopRequested(); }
    void ReportHook(const std::vector<std::string>& lines) override;

    // The monitor runs: the timer is its runner's, and a failed publication is retried.
    void SetTimerHandler(std::function<void(bool)> handler) { m_timer = std::move(handler); }
    // Failed outcomes also show the last attempt's exception class and message as raised.
    void SetVerbose(bool verbose) { m_verbose = verbose; }

    // Validation failed: the window would have been shown to the user.
    bool WindowRequested() const { return m_windowRequested; }
    void ClearWindowRequest() { m_windowRequested = false; }
    // The default error display was used.
    bool ErrorShown() const { return m_errorShown; }
    const std::optional<PublicationOutcome>& LastOutcome() const { return m_lastOutcome; }

    // Set from a signal handler: every wait on StoppableClock() ends at once and the monitor stops.
    static void RequestStop();
    static bool StopRequested();
    static const platform::StopRequest& Stop();
    // The machine's clock, whose waits (socket waits included) end when a stop is requested.
    static const Clock& StoppableClock();

private:
    bool m_windowRequested = false;
    bool m_errorShown = false;
    std::optional<PublicationOutcome> m_lastOutcome;
    std::function<void(bool)> m_timer;
    bool m_verbose = false;
};

}  // namespace signposter::cli
