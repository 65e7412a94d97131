#include "core/publication_hook.h"

#include <fcntl.h>
#include <sys/file.h>

#include <mutex>

#include "platform/child_process.h"
#include "platform/descriptor.h"
#include "platform/directories.h"
#include "platform/exceptions.h"
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

// The same across the user's programs: the monitor and a `publish --current` from the network's dispatcher
// may both publish. The lock is the descriptor's, so it goes with a process that dies.
class HookFileLock {
public:
    // Waits on `clock` for the lock, at most for as long as a hook may run and a moment to end it.
    HookFileLock(const Clock& clock, int timeLimitMs) {
        std::string path;
        try {
            path = platform::TempDirectory() + platform::kPathSeparator + "hooks.lock";
        } catch (const Exception&) {
            m_held = true;  // no private directory for it: the process's own lock must do
            return;
        }
        m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (m_fd < 0) {
            m_held = true;
            return;
        }
        const std::int64_t deadline = clock.DeadlineAfter(timeLimitMs + 2000);
        while (!(m_held = ::flock(m_fd, LOCK_EX | LOCK_NB) == 0) && !clock.Passed(deadline) &&
               !clock.Cancelled())
            clock.SleepUntil(std::min(deadline, clock.DeadlineAfter(100)));
    }
    ~HookFileLock() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    HookFileLock(const HookFileLock&) = delete;
    HookFileLock& operator=(const HookFileLock&) = delete;
    bool Held() const { return m_held; }

private:
    int m_fd = -1;
    bool m_held = false;
};

}  // namespace

const char* OutcomeWord(HookOutcome outcome) {
    switch (outcome) {
        case HookOutcome::Published:
            return "published";
        case HookOutcome::Offline:
            return "offline";
        case HookOutcome::Failed:
            return "failed";
        case HookOutcome::HeldBack:
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
    const HookFileLock oneAcrossPrograms(clock, m_timeLimitMs);
    if (clock.Cancelled())
        return report;
    if (!oneAcrossPrograms.Held()) {
        report.lines.push_back(m_key + ": not run: another program's hook is still running");
        return report;
    }

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
    report.lines.push_back(m_key + ": " + LogLine(m_words[0]) + " " +
                           platform::DescribeEnd(result, m_timeLimitMs));
    for (const std::string& line : text::SplitLines(result.output)) {
        if (report.lines.size() > kOutputLines)
            break;
        report.lines.push_back(m_key + ": " + LogLine(line));
    }
    return report;
}

}  // namespace signposter
