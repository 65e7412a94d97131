#include "core/publication_hook.h"

#include <mutex>

#include "platform/child_process.h"
#include "platform/text.h"

namespace signposter {

namespace {

// One at a time in the whole program, whichever thread publishes: two hooks that restart the same tunnel
// must not race.
std::mutex& HookMutex() {
    static std::mutex mutex;
    return mutex;
}

// A line of the log: network text (a server's reply in the message) without its control bytes, and not
// so long that one chatty command floods it.
std::string LogLine(std::string_view text) {
    constexpr std::size_t kMaxLine = 200;
    std::string line = text::Printable(text.substr(0, kMaxLine));
    if (text.size() > kMaxLine)
        line += "...";
    return line;
}

}  // namespace

const char* OutcomeWord(PublicationOutcome outcome) {
    switch (outcome) {
        case PublicationOutcome::Published:
            return "published";
        case PublicationOutcome::Offline:
            return "offline";
        case PublicationOutcome::Failed:
            return "failed";
        case PublicationOutcome::HeldBack:
            return "held-back";
    }
    return "failed";
}

PublicationHook::PublicationHook(std::string key, std::string commandLine, int timeLimitMs)
    : m_key(std::move(key)), m_timeLimitMs(timeLimitMs) {
    if (auto words = platform::SplitCommandLine(commandLine, &m_problem))
        m_words = std::move(*words);
}

std::optional<std::string> PublicationHook::CommandLineProblem(const std::string& commandLine) {
    std::string problem;
    if (!platform::SplitCommandLine(commandLine, &problem))
        return problem;
    return std::nullopt;
}

HookReport PublicationHook::Run(const Clock& clock, const PublicationFacts& facts) const {
    HookReport report;
    if (!m_problem.empty()) {
        report.lines.push_back(m_key + ": not run: " + m_problem);
        return report;
    }
    if (m_words.empty())
        return report;
    const std::lock_guard<std::mutex> oneAtATime(HookMutex());
    if (clock.Cancelled())
        return report;

    platform::ChildRequest request;
    request.argv = m_words;
    const auto value = [](const std::string& text) { return text::Printable(text::OneLine(text)); };
    request.environment = {
        {"SIGNPOSTER_ADDRESS", value(facts.address)},
        {"SIGNPOSTER_PREVIOUS_ADDRESS", value(facts.previousAddress)},
        {"SIGNPOSTER_FAMILY", value(facts.family)},
        {"SIGNPOSTER_PAGE", value(facts.page)},
        {"SIGNPOSTER_OUTCOME", OutcomeWord(facts.outcome)},
        {"SIGNPOSTER_MESSAGE", value(facts.message)},
    };
    request.timeLimitMs = m_timeLimitMs;
    request.mergeErrors = true;
    const platform::ChildResult result = platform::RunChild(clock, request);

    report.ran = result.end != platform::ChildResult::End::NotStarted;
    report.succeeded = result.end == platform::ChildResult::End::Exited && result.status == 0;
    report.lines.push_back(m_key + ": " + LogLine(m_words[0]) + " " + platform::DescribeEnd(result, m_timeLimitMs));
    for (const std::string& line : text::SplitLines(result.output)) {
        if (report.lines.size() > kOutputLines)
            break;
        report.lines.push_back(m_key + ": " + LogLine(line));
    }
    return report;
}

}  // namespace signposter
