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

const platform::StopRequest& HeadlessUserInterface::Stop() {
    return ProgramStop();
}

const Clock& HeadlessUserInterface::StoppableClock() {
    static const platform::SystemClock clock(&ProgramStop());
    return clock;
}

void HeadlessUserInterface::ShowMessage(const std::string& caption, const std::string& text,
                                        MessageIcon icon) {
    if (icon == MessageIcon::Error && caption == "Signposter")
        m_errorShown = true;
    // Shown where the window would stop and wait for the user: validation and errors alike are failures.
    PrintLines(stderr, text, Priority::Failure);
}

void HeadlessUserInterface::ReportOutcome(const PublicationOutcome& outcome) {
    m_lastOutcome = outcome;
    // The journal stamps each line itself: no second time, neither before the line nor in it.
    const bool journal = IsJournal(stdout);
    std::string line = DescribeOutcome(outcome, !journal);
    if (outcome.kind == PublicationOutcome::Kind::Failed && !outcome.verificationFailed) {
        line += " (" + std::to_string(outcome.attempts) + (outcome.attempts == 1 ? " attempt" : " attempts");
        line += outcome.willRetry && m_timer ? "; will retry)" : ")";
    }
    // What the socket layer and the server said, as they said it.
    if (m_verbose && outcome.kind == PublicationOutcome::Kind::Failed)
        line += " [" + outcome.errorClass + ": " + text::OneLine(outcome.errorMessage) + "]";
    WriteLine(stdout, PriorityOf(outcome), line, outcome.when);
}

void HeadlessUserInterface::ReportHook(const std::vector<std::string>& lines) {
    // WriteLine makes the command's control bytes printable.
    for (const std::string& line : lines) WriteLine(stdout, Priority::Notice, line);
}

}  // namespace signposter::cli
