#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/clock.h"

// A user's command run after a publication (OnPublished, OnFailed): to restart a tunnel, tell a chat,
// update a second service. It runs without a shell, with the facts of the publication in its environment,
// bounded and stoppable like every wait of the program; what it did goes to the log, and whatever it does
// the publication's own outcome stands.
namespace signposter {

enum class HookOutcome { Published, Offline, Failed, HeldBack };
// The word SIGNPOSTER_OUTCOME carries: "published", "offline", "failed", "held-back".
const char* OutcomeWord(HookOutcome outcome);

struct PublicationFacts {
    HookOutcome outcome = HookOutcome::Published;
    std::string address;
    std::string previousAddress;
    std::string family;   // "IPv4" or "IPv6"
    std::string page;     // the remote file
    std::string message;  // the outcome in words, as the log has it
};

struct HookReport {
    bool ran = false;        // false: no command, or the program was stopping
    bool succeeded = false;  // exited with status 0
    // For the log: "OnPublished: exited with status 0", then the first lines of its output.
    std::vector<std::string> lines;
};

class PublicationHook {
public:
    // Long enough for a command that talks to another service over the network; short enough that a
    // stuck one does not hold the next publication's hook for long.
    static constexpr int kTimeLimitMs = 30'000;
    static constexpr std::size_t kOutputLines = 5;

    // `key` names the hook in the log; an empty command line is no hook.
    PublicationHook(std::string key, std::string commandLine, int timeLimitMs = kTimeLimitMs);

    // What is wrong with a command line (an unterminated quote), or nothing; for validation.
    static std::optional<std::string> CommandLineProblem(const std::string& commandLine);

    bool Empty() const { return m_words.empty(); }
    // Runs the command and waits for it on `clock` (its stop request ends it). Hooks run one at a time,
    // within the program and across the user's programs (a lock in the temporary directory): a second one
    // waits for the first, which its bound ends.
    HookReport Run(const Clock& clock, const PublicationFacts& facts) const;

private:
    std::string m_key;
    std::vector<std::string> m_words;
    std::string m_problem;
    int m_timeLimitMs;
};

}  // namespace signposter
