#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "core/publication_hook.h"
#include "platform/child_process.h"
#include "platform/stop_request.h"
#include "support/fake_clock.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace signposter {
namespace {

using platform::SplitCommandLine;
using testing::FakeClock;
using testing::ReadFile;
using testing::ScopedEnvironment;
using testing::TempDir;
using Words = std::vector<std::string>;

TEST(CommandLineTest, SplitsAsAShellSplitsWordsAndExpandsNothing) {
    EXPECT_EQ(SplitCommandLine("  a\tb\n c  "), (Words{"a", "b", "c"}));
    EXPECT_EQ(SplitCommandLine(R"(sh -c 'echo "$A" > x' '' "a \"b\" \$c \d" e\ f\'g)"),
              (Words{"sh", "-c", "echo \"$A\" > x", "", "a \"b\" $c \\d", "e f'g"}));
    EXPECT_EQ(SplitCommandLine("a'b'\"c\"d ~ * $HOME |"), (Words{"abcd", "~", "*", "$HOME", "|"}));
    EXPECT_EQ(SplitCommandLine(""), Words{});
    std::string error;
    EXPECT_FALSE(SplitCommandLine("sh -c 'echo", &error));
    EXPECT_EQ(error, "a single quote is not closed");
    EXPECT_FALSE(SplitCommandLine("echo \"a", &error));
    EXPECT_EQ(error, "a double quote is not closed");
    EXPECT_FALSE(SplitCommandLine("echo a\\", &error));
    EXPECT_EQ(error, "the line ends in a backslash");
    EXPECT_EQ(PublicationHook::CommandLineProblem("sh -c 'x"), "a single quote is not closed");
    EXPECT_EQ(PublicationHook::CommandLineProblem("sh -c 'x'"), std::nullopt);
}

class PublicationHookTest : public ::testing::Test {
protected:
    PublicationFacts Facts() const {
        PublicationFacts facts;
        facts.outcome = HookOutcome::HeldBack;
        facts.address = "2001:db8::7";
        facts.previousAddress = "2001:db8::6";
        facts.family = "IPv6";
        facts.page = "www/ipaddress.htm";
        facts.message = "held back:\r\na line from the server\x1b[2J";
        return facts;
    }
    TempDir m_dir;
    const ScopedEnvironment m_temp{"TMPDIR", m_dir.Path().c_str()};  // where the hooks' lock is
    FakeClock m_clock;
};

TEST_F(PublicationHookTest, TheCommandGetsThePublicationInItsEnvironmentAndItsOutputReachesTheLog) {
    const std::string file = m_dir.File("env");
    PublicationHook hook("OnPublished",
                         "sh -c 'env | grep ^SIGNPOSTER_ | sort > \"$0\"; echo done; echo "
                         "warned >&2' " +
                             file);
    const HookReport report = hook.Run(m_clock, Facts());
    EXPECT_TRUE(report.ran);
    EXPECT_TRUE(report.succeeded);
    EXPECT_EQ(report.lines,
              (Words{"OnPublished: sh exited with status 0", "OnPublished: done", "OnPublished: warned"}));
    EXPECT_EQ(ReadFile(file),
              "SIGNPOSTER_ADDRESS=2001:db8::7\n"
              "SIGNPOSTER_FAMILY=IPv6\n"
              "SIGNPOSTER_MESSAGE=held back: a line from the server\\x1b[2J\n"
              "SIGNPOSTER_OUTCOME=held-back\n"
              "SIGNPOSTER_PAGE=www/ipaddress.htm\n"
              "SIGNPOSTER_PREVIOUS_ADDRESS=2001:db8::6\n");
    EXPECT_STREQ(OutcomeWord(HookOutcome::Offline), "offline");
    EXPECT_TRUE(PublicationHook("OnFailed", "").Run(m_clock, Facts()).lines.empty());
}

TEST_F(PublicationHookTest, AFailingHookIsReportedWithItsFirstLinesOnly) {
    const HookReport failed = PublicationHook("OnFailed", "sh -c 'seq 1 20; exit 3'").Run(m_clock, Facts());
    EXPECT_TRUE(failed.ran);
    EXPECT_FALSE(failed.succeeded);
    EXPECT_EQ(failed.lines, (Words{"OnFailed: sh exited with status 3", "OnFailed: 1", "OnFailed: 2",
                                   "OnFailed: 3", "OnFailed: 4", "OnFailed: 5"}));
    const HookReport missing = PublicationHook("OnFailed", "/nonexistent/hook x").Run(m_clock, Facts());
    EXPECT_FALSE(missing.ran);
    EXPECT_EQ(missing.lines,
              Words{"OnFailed: /nonexistent/hook could not be started: No such file or directory"});
    EXPECT_EQ(PublicationHook("OnFailed", "echo 'x").Run(m_clock, Facts()).lines,
              Words{"OnFailed: not run: a single quote is not closed"});

    // Another program's hook that holds the lock past every bound: this one is not run.
    const int held = ::open(m_dir.File("hooks.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    const HookReport waited = PublicationHook("OnFailed", "true").Run(m_clock, Facts());
    ::close(held);
    EXPECT_FALSE(waited.ran);
    EXPECT_EQ(waited.lines, Words{"OnFailed: not run: another program's hook is still running"});
    EXPECT_TRUE(PublicationHook("OnFailed", "true").Run(m_clock, Facts()).succeeded);
}

bool Gone(const std::string& pid) {
    // Ended, or a zombie nobody reaped yet (the test may run as a container's first process).
    const std::string stat = ReadFile("/proc/" + pid + "/stat");
    return stat.empty() || stat.find(") Z ") != std::string::npos;
}

// The driven clock, once the hook has started its background child: on a loaded machine the shell may
// take longer than the driven clock's moment of real time to get that far.
class ClockAfterFile : public FakeClock {
public:
    explicit ClockAfterFile(std::string file) : m_file(std::move(file)) {}
    int Poll(pollfd* fds, std::size_t count, std::int64_t deadline) const override {
        for (int i = 0; i < 1000 && ReadFile(m_file).find('\n') == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return FakeClock::Poll(fds, count, deadline);
    }

private:
    std::string m_file;
};

// The bound on the driven clock: 30 s pass without being waited for, and the whole process group ends,
// a child it put in the background included.
TEST_F(PublicationHookTest, AHookThatOverstaysItsBoundIsEndedWithItsProcessGroup) {
    const std::string pidFile = m_dir.File("pid");
    PublicationHook hook("OnPublished", "sh -c 'echo started; sleep 60 & echo $! > \"$0\"; wait' " + pidFile);
    const ClockAfterFile clock(pidFile);
    const auto start = std::chrono::steady_clock::now();
    const std::int64_t tick = clock.tick;
    const HookReport report = hook.Run(clock, Facts());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(clock.tick - tick, PublicationHook::kTimeLimitMs);
    EXPECT_FALSE(report.succeeded);
    EXPECT_EQ(report.lines, (Words{"OnPublished: sh was ended after 30 s", "OnPublished: started"}));
    std::string background = ReadFile(pidFile);
    background.erase(background.find_last_not_of('\n') + 1);
    ASSERT_FALSE(background.empty());
    for (int i = 0; i < 100 && !Gone(background); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(Gone(background)) << background;
}

// Real time: the program's stop request ends a hook at once, and a hook waiting for its turn is not run.
TEST_F(PublicationHookTest, TheStopRequestEndsAHook) {
    platform::StopRequest stop;
    const platform::SystemClock clock(&stop);
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop.Request();
    });
    const auto start = std::chrono::steady_clock::now();
    const HookReport report = PublicationHook("OnFailed", "sleep 60").Run(clock, Facts());
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(report.lines, Words{"OnFailed: sleep was ended: the program is stopping"});
    EXPECT_FALSE(PublicationHook("OnFailed", "true").Run(clock, Facts()).ran);
}

}  // namespace
}  // namespace signposter
