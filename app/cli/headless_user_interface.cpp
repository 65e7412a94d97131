#include "app/cli/headless_user_interface.h"

#include <csignal>
#include <cstdio>
#include <ctime>

#include "platform/stop_request.h"
#include "platform/text.h"

namespace signposter::cli {

namespace {

platform::StopRequest& ProgramStop() {
    static platform::StopRequest stop;
    return stop;
}

void PrintLines(std::FILE* out, const std::string& message) {
    for (const std::string& line : text::SplitLines(message))
        std::fprintf(out, "%s\n", text::Printable(line).c_str());
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
    PrintLines(stderr, text);
    std::fflush(stderr);
}

void HeadlessUserInterface::ReportOutcome(const PublicationOutcome& outcome) {
    m_lastOutcome = outcome;
    std::tm local{};
    localtime_r(&outcome.when, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::string line = DescribeOutcome(outcome);
    if (outcome.kind == PublicationOutcome::Kind::Failed) {
        line += " (" + outcome.errorClass + " after " + std::to_string(outcome.attempts) + " attempts";
        line += outcome.willRetry && m_timer ? "; will retry)" : ")";
    }
    std::printf("%s %s\n", stamp, text::Printable(text::OneLine(line)).c_str());
    std::fflush(stdout);
}

}  // namespace signposter::cli
