#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/descriptor.h"

extern char** environ;

namespace signposter::platform {

std::optional<std::vector<std::string>> SplitCommandLine(std::string_view line, std::string* error) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;  // '' is a word of its own, though empty
    const auto fail = [&](const char* why) -> std::optional<std::vector<std::string>> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\n') {
            if (inWord)
                words.push_back(std::move(word));
            word.clear();
            inWord = false;
        } else if (c == '\'') {
            const std::size_t end = line.find('\'', i + 1);
            if (end == std::string_view::npos)
                return fail("a single quote is not closed");
            word.append(line.substr(i + 1, end - i - 1));
            inWord = true;
            i = end;
        } else if (c == '"') {
            inWord = true;
            for (++i;; ++i) {
                if (i >= line.size())
                    return fail("a double quote is not closed");
                if (line[i] == '"')
                    break;
                if (line[i] == '\\' && i + 1 < line.size() && std::strchr("$`\"\\\n", line[i + 1])) {
                    if (line[++i] != '\n')
                        word += line[i];
                } else {
                    word += line[i];
                }
            }
        } else if (c == '\\') {
            if (i + 1 >= line.size())
                return fail("the line ends in a backslash");
            if (line[++i] != '\n') {
                word += line[i];
                inWord = true;
            }
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(std::move(word));
    return words;
}

namespace {

// SIGTERM first, so that a child may clean up; what is still there after this gets SIGKILL. Real time,
// not the clock's: a stop request has cancelled the clock's waits by then.
constexpr int kGraceMs = 1000;

struct Pipe {
    int read = -1;
    int write = -1;
    bool Open() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return false;
        read = fds[0];
        write = fds[1];
        ::fcntl(read, F_SETFL, ::fcntl(read, F_GETFL) | O_NONBLOCK);
        return true;
    }
    void CloseWrite() {
        if (write >= 0)
            ::close(write);
        write = -1;
    }
    ~Pipe() {
        CloseWrite();
        if (read >= 0)
            ::close(read);
    }
};

// Reads what the pipe holds now; false at its end (or on an error, which ends it as well).
bool Drain(int fd, std::string& kept, std::size_t limit) {
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            const std::size_t room = limit > kept.size() ? limit - kept.size() : 0;
            kept.append(buffer, std::min(room, static_cast<std::size_t>(got)));
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
    }
}

std::vector<std::string> Environment(const ChildRequest& request) {
    std::vector<std::string> entries;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string_view text(*entry);
        const std::string_view name = text.substr(0, text.find('='));
        bool replaced = false;
        for (const auto& [key, value] : request.environment) replaced = replaced || key == name;
        if (!replaced)
            entries.emplace_back(text);
    }
    for (const auto& [key, value] : request.environment) entries.push_back(key + "=" + value);
    return entries;
}

bool WaitReadable(int fd, int timeoutMs) {
    pollfd pfd{fd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&pfd, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

}  // namespace

ChildResult RunChild(const Clock& clock, const ChildRequest& request) {
    ChildResult result;
    if (request.argv.empty() || request.argv[0].empty()) {
        result.failure = "the command is empty";
        return result;
    }
    Pipe out, err;
    if (!out.Open() || (!request.mergeErrors && !err.Open())) {
        result.failure = std::strerror(errno);
        return result;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.write, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, request.mergeErrors ? out.write : err.write, STDERR_FILENO);
    // Nothing of ours leaks into the user's command: sockets, the settings lock, the stop request.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    // The program ignores SIGPIPE (sends never raise it); the command starts with every signal as usual.
    sigfillset(&signals);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argv;
    for (const auto& word : request.argv) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> environment = Environment(request);
    std::vector<char*> envp;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    pid_t pid = -1;
    const bool onPath = request.argv[0].find('/') == std::string::npos;
    const int spawned = onPath
                            ? ::posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data())
                            : ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    out.CloseWrite();
    err.CloseWrite();
    if (spawned != 0) {
        result.failure = std::strerror(spawned);
        return result;
    }

    // Its exit wakes the wait like its output does.
    const Descriptor exited(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    const std::int64_t deadline = clock.DeadlineAfter(request.timeLimitMs);
    pollfd fds[3] = {
        {out.read, POLLIN, 0}, {request.mergeErrors ? -1 : err.read, POLLIN, 0}, {exited.Get(), POLLIN, 0}};
    int status = 0;
    bool done = false;
    while (!done) {
        // Without a process descriptor (an old kernel) the exit is looked for every tenth of a second.
        const std::int64_t until =
            exited.Get() >= 0 ? deadline : std::min(deadline, clock.DeadlineAfter(100));
        const int ready = clock.Poll(fds, 3, until);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || (ready == 0 && clock.Passed(deadline))) {
            result.end =
                ready < 0 && errno == ECANCELED ? ChildResult::End::Stopped : ChildResult::End::TimedOut;
            break;
        }
        if (fds[0].revents && !Drain(out.read, result.output, request.outputLimit))
            fds[0].fd = -1;
        if (fds[1].revents && !Drain(err.read, result.errors, request.outputLimit))
            fds[1].fd = -1;
        done = (exited.Get() < 0 || fds[2].revents) && ::waitpid(pid, &status, WNOHANG) == pid;
    }
    if (!done) {
        ::kill(-pid, SIGTERM);
        if (exited.Get() >= 0)
            WaitReadable(exited.Get(), kGraceMs);
        ::kill(-pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return result;
    }
    // What it wrote before it ended is in the pipes; whatever it left running may write on, unread.
    Drain(out.read, result.output, request.outputLimit);
    if (!request.mergeErrors)
        Drain(err.read, result.errors, request.outputLimit);
    result.end = WIFEXITED(status) ? ChildResult::End::Exited : ChildResult::End::Signalled;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status);
    return result;
}

std::string DescribeEnd(const ChildResult& result, int timeLimitMs) {
    switch (result.end) {
        case ChildResult::End::Exited:
            return "exited with status " + std::to_string(result.status);
        case ChildResult::End::Signalled:
            return "was ended by signal " + std::to_string(result.status);
        case ChildResult::End::TimedOut:
            return "was ended after " + (timeLimitMs % 1000 == 0 ? std::to_string(timeLimitMs / 1000) + " s"
                                                                 : std::to_string(timeLimitMs) + " ms");
        case ChildResult::End::Stopped:
            return "was ended: the program is stopping";
        case ChildResult::End::NotStarted:
            break;
    }
    return "could not be started: " + result.failure;
}

}  // namespace signposter::platform
