#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/clock.h"

// Runs a user's command without a shell, bounded on the program's clock: the hooks after a publication and
// the password command. The child gets a process group of its own, so that ending it ends whatever it
// started too.
namespace signposter::platform {

// The words of a command line as a POSIX shell splits a simple command: blanks (space, tab, newline)
// separate words; inside single quotes every byte is literal; inside double quotes a backslash escapes
// only $ ` " \ and a newline; elsewhere a backslash keeps the next byte (and a backslash-newline
// disappears). Nothing is expanded: no variables, globs, tilde, redirections or pipes (a user who wants
// them writes sh -c '...'). Nothing, with `error` set, for an unterminated quote or a trailing backslash.
std::optional<std::vector<std::string>> SplitCommandLine(std::string_view line, std::string* error = nullptr);

struct ChildRequest {
    std::vector<std::string> argv;  // argv[0] is looked up on PATH unless it holds a "/"
    // Set in the child's environment over the program's own.
    std::vector<std::pair<std::string, std::string>> environment;
    int timeLimitMs = 30'000;
    // Bytes kept of each output stream; the rest is read and dropped, so that a chatty child never blocks
    // on a full pipe.
    std::size_t outputLimit = 4096;
    bool mergeErrors = false;  // stderr into `output` (as a terminal shows them) instead of `errors`
};

struct ChildResult {
    enum class End { Exited, Signalled, TimedOut, Stopped, NotStarted };
    End end = End::NotStarted;
    int status = -1;      // the exit status, or the signal's number
    std::string output;   // the first outputLimit bytes of stdout (and stderr when merged)
    std::string errors;   // the first outputLimit bytes of stderr
    std::string failure;  // why it did not start: "No such file or directory", ...
};

// Starts the command with stdin on /dev/null and waits for it on `clock`. When the time limit passes, or
// the clock's waits are cancelled (the program's stop request), the child's whole process group is
// ended: SIGTERM, then SIGKILL after a moment. Processes the child left running after it exited are its
// own business (a hook may start a tunnel).
ChildResult RunChild(const Clock& clock, const ChildRequest& request);

// "exited with status 3", "killed by signal 9", "ended after 30 s", "stopped", "could not be started: ...".
std::string DescribeEnd(const ChildResult& result, int timeLimitMs);

}  // namespace signposter::platform
