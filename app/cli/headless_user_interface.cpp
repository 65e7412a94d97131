#include "app/cli/headless_user_interface.h"

#include <csignal>
#include <cstdio>
#include <ctime>

#include "app/cli/output_lines.h"
#include "platform/stop_request.h"
#include "platform/text.h"

namespace signposter::cli {

namespace {

platform::StopRequest& ProgramStop() {
    static platform::StopRequest stop;
    return stop;
}

void PrintLines(std::FILE* out, const std::string& message, Priority priority) {
    for (const std::string& line : text::SplitLines(message)) WriteLine(out, priority, line);
}

}  // namespace

void HeadlessUserInterface::RequestStop() {
    ProgramStop().Request();
}

bool HeadlessUserInterface::StopRequested() {
    return ProgramStop().Requested();
}

const Clock& HeadlessUserInterface::StoppableClock() {
    static const platform::SystemClock clock(&ProgramStop());
    return clock;
}

void HeadlessUserInterface::SleepUntil(std::int64_t deadlineTick) const {
    // The deadline comes from the core's clock, so the sleep is made on that same clock.
    while (!StopRequested() && !m_clock->Cancelled() && m_clock->TickCount() < deadlineTick)
        m_clock->SleepUntil(deadlineTick);
}

void HeadlessUserInterface::ShowMessage(const std::string& caption, const std::string& text,
                                        MessageIcon icon) {
    if (icon == MessageIcon::Error && caption == "Signposter")
        m_errorShown = true;
    // Shown where the window would stop and wait for the user: validation and errors alike are failures.
    PrintLines(stderr, text, Priority::Failure);
}

void HeadlessUserInterface::DispatchMessagesUntil(std::int64_t deadlineTick) {
    while (!StopRequested() && !m_clock->Cancelled() && m_clock->TickCount() <= deadlineTick) {
        const std::int64_t nextTick = m_clock->TickCount() + 1000;
        SleepUntil(std::min(nextTick, deadlineTick + 1));
        // The monitor's ticks go on during waits, as they would in the window system's message loop.
        if (m_tick && m_timerEnabled && !m_inTick && m_clock->TickCount() >= nextTick) {
            m_inTick = true;
            m_tick();
            m_inTick = false;
        }
    }
}

void HeadlessUserInterface::ReportOutcome(const PublicationOutcome& outcome) {
    m_lastOutcome = outcome;
    // The journal stamps each line itself: no second time, neither before the line nor in it.
    const bool journal = IsJournal(stdout);
    std::string line = DescribeOutcome(outcome, !journal);
    if (outcome.kind == PublicationOutcome::Kind::Failed && !outcome.verificationFailed) {
        line += " (" + std::to_string(outcome.attempts) + (outcome.attempts == 1 ? " attempt" : " attempts");
        line += outcome.willRetry && m_tick ? "; will retry)" : ")";
    }
    // What the socket layer and the server said, as they said it.
    if (m_verbose && outcome.kind == PublicationOutcome::Kind::Failed)
        line += " [" + outcome.errorClass + ": " + text::OneLine(outcome.errorMessage) + "]";
    WriteLine(stdout, PriorityOf(outcome), line, outcome.when);
}

}  // namespace signposter::cli
