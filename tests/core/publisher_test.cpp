#include <gtest/gtest.h>

#include <algorithm>

#include "core/page_builder.h"
#include "core/address_change_clock.h"
#include "core/publisher.h"
#include "core/server_check.h"
#include "ftp/id_ftp.h"
#include "platform/exceptions.h"
#include "support/publishing_fixture.h"
#include "support/scripted_address_events.h"
#include "support/temp_dir.h"

namespace signposter {
namespace {

using namespace signposter::testing;
using Kind = PublicationOutcome::Kind;

class PublisherTest : public PublishingFixture {
protected:
    void SetUp() override {
        PublishingFixture::SetUp();
        m_fields.SetText(TextField::Host, "  127.0.0.1 \t");
        m_fields.SetText(TextField::Port, std::to_string(m_server.Port()));
        m_fields.SetText(TextField::User, " bob ");
        m_fields.SetText(TextField::Password, "secret ");
        m_fields.SetText(TextField::RemotePath, "/htdocs/");
        m_state.CurrentIP = "203.0.113.7";
        m_state.IgnoreList = "127.0.0.1,192.168.0.1,";
    }

    const PublicationOutcome& LastOutcome() const { return m_ui.outcomes.back(); }

    Publisher m_publisher{m_fields, m_ui, m_state, m_clock, m_ftp};
};

TEST_F(PublisherTest, PublishesTheAddressPageWithTrimmedHostAndUserAndThePasswordAsTyped) {
    m_publisher.PublishAddress();
    ASSERT_EQ(LastOutcome().kind, Kind::Published) << LastOutcome().errorMessage;
    EXPECT_EQ(LastOutcome().attempts, 1);
    EXPECT_EQ(m_server.Commands(), (std::vector<std::string>{"user bob", "pass secret ", "type A", "syst",
                                                             "PASV", "STOR htdocs/ipaddress.htm"}));
    ASSERT_EQ(m_server.Uploads().size(), 1u);
    EXPECT_EQ(m_server.Uploads()[0], ReadFile(m_dir.File("ipaddress.htm")));
    EXPECT_NE(m_server.Uploads()[0].find("URL=http://203.0.113.7\">\r\n"), std::string::npos);
    EXPECT_EQ(m_fields.Text(TextField::AddressDisplay), "203.0.113.7");
    EXPECT_FALSE(m_ftp.IsConnected());
    EXPECT_FALSE(m_publisher.HasPending());
}

TEST_F(PublisherTest, RemoteNameIsPlainConcatenationWithOneLeadingSlashRemoved) {
    const std::pair<const char*, const char*> cases[] = {{"/", "STOR ipaddress.htm"},
                                                         {"htdocs/", "STOR htdocs/ipaddress.htm"},
                                                         {"/htdocs", "STOR htdocsipaddress.htm"},
                                                         {"", "STOR ipaddress.htm"},
                                                         {"//x/", "STOR /x/ipaddress.htm"}};
    for (const auto& [path, command] : cases) {
        m_fields.SetText(TextField::RemotePath, path);
        m_publisher.PublishAddress();
        ASSERT_TRUE(m_server.WaitUntilIdle());
        EXPECT_EQ(m_server.Commands().back(), command) << path;
    }
}

TEST_F(PublisherTest, InactiveDoesNothingAtAll) {
    m_fields.SetChecked(Switch::Active, false);
    m_publisher.PublishAddress();
    m_publisher.PublishOffline();
    EXPECT_EQ(m_fields.Text(TextField::AddressDisplay), "");
    EXPECT_EQ(m_server.ControlConnections(), 0);
    EXPECT_EQ(LastOutcome().kind, Kind::SkippedInactive);
    EXPECT_FALSE(std::filesystem::exists(m_dir.File("ipaddress.htm")));
}

TEST_F(PublisherTest, IgnoreListMatchesWholeTrimmedEntriesOnly) {
    EXPECT_FALSE(Publisher::IsIgnored("10.0.0.1", "110.0.0.1,"));
    EXPECT_FALSE(Publisher::IsIgnored("10.0.0.1", "10.0.0.11"));
    EXPECT_TRUE(Publisher::IsIgnored("10.0.0.1", "1.2.3.4, 10.0.0.1 ,"));
    EXPECT_TRUE(Publisher::IsIgnored("OFFLINE", "OFFLINE"));
    EXPECT_FALSE(Publisher::IsIgnored("", ",,"));
    EXPECT_FALSE(Publisher::IsIgnored("", ""));

    m_state.IgnoreList = "110.0.0.1,";
    m_state.CurrentIP = "10.0.0.1";
    m_publisher.PublishAddress();
    EXPECT_EQ(LastOutcome().kind, Kind::Published);

    m_state.IgnoreList = "127.0.0.1,OFFLINE";
    m_publisher.PublishOffline();
    EXPECT_EQ(LastOutcome().kind, Kind::SkippedIgnored);
    EXPECT_EQ(m_fields.Text(TextField::AddressDisplay), "OFFLINE");
    EXPECT_EQ(m_server.ControlConnections(), 1);
}

TEST_F(PublisherTest, EmptyAddressIsNeitherBuiltNorUploaded) {
    m_state.CurrentIP = "";
    m_publisher.PublishAddress();
    EXPECT_EQ(LastOutcome().kind, Kind::SkippedEmptyAddress);
    EXPECT_EQ(m_server.ControlConnections(), 0);
    EXPECT_FALSE(std::filesystem::exists(m_dir.File("ipaddress.htm")));
    // Nothing was looked up for "Update Now": the report says so, and blames the lookup only after one.
    EXPECT_NE(DescribeOutcome(LastOutcome()).find(": no address known yet"), std::string::npos);
    m_publisher.PublishAddress(/*justDetected=*/true);
    EXPECT_NE(DescribeOutcome(LastOutcome()).find(": the host name did not resolve"), std::string::npos);
}

TEST(OutcomeTest, ControlBytesOfAServersReplyReachNoTerminalOrTooltip) {
    PublicationOutcome outcome;
    outcome.kind = Kind::Failed;
    using namespace std::string_literals;
    outcome.errorMessage = "530 \x1b]0;title\x07\x1b[2J\0tail\r\nmore"s;
    const std::string shown = DescribeOutcome(outcome);
    EXPECT_NE(shown.find(": 530 \\x1b]0;title\\x07\\x1b[2J\\x00tail more"), std::string::npos) << shown;
}

TEST_F(PublisherTest, EachPublicationUploadsThePageItBuiltWhateverAnotherWritesMeanwhile) {
    // The address page's first attempt is refused; during its pause another program (signposter-cli page)
    // writes the notice into the page file. The next attempt must still upload the address page.
    m_server.Script("STOR", std::vector<ScriptedReply>{Say("451 Local error.\r\n"), AcceptUpload()});
    m_clock.duringSleep = [&] { WriteFile(m_dir.File("ipaddress.htm"), OfflinePage().Text()); };
    m_publisher.PublishAddress();
    EXPECT_EQ(LastOutcome().kind, Kind::Published);
    const auto uploads = m_server.Uploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_NE(uploads[0].find("URL=http://203.0.113.7"), std::string::npos);
}

TEST_F(PublisherTest, OfflinePublishesTheNotice) {
    m_publisher.PublishOffline();
    ASSERT_EQ(LastOutcome().kind, Kind::Published);
    ASSERT_EQ(m_server.Uploads().size(), 1u);
    EXPECT_EQ(m_server.Uploads()[0], OfflinePage().Text());
}

// A refused login or path fails the same way at every attempt, and every refused login counts against the
// account (intrusion filters lock it after a few): one attempt, then it waits for new settings. Anything
// else may pass at the next attempt. Each failure is told in words naming what it concerns.
TEST_F(PublisherTest, ARefusedLoginOrPathCostsOneAttemptOthersKeepTheirRetriesAndEachIsToldInWords) {
    m_ftp.SetReplyTimeout(200);  // the silent server's wait, on the machine's clock
    const std::string at = "127.0.0.1 port " + std::to_string(m_server.Port());
    const int closedPort = ClosedLoopbackPort();
    struct Case {
        const char* verb;  // "" for the greeting, "connect" for a port nothing listens on
        ScriptedReply reply;
        int attempts;
        std::string text;
    };
    const Case cases[] = {
        {"PASS", Say("530 Authentication failed.\r\n"), 1,
         "The server refused the login for user bob: 530 Authentication failed."},
        {"USER", Say("530 Not logged in.\r\n"), 1,
         "The server refused the login for user bob: 530 Not logged in."},
        {"STOR", Say("550 No such file or directory.\r\n"), 1,
         "The server has no directory htdocs/ for htdocs/ipaddress.htm: 550 No such file or directory."},
        {"STOR", Say("553 Could not create file.\r\n"), 1,
         "The server refused the file name htdocs/ipaddress.htm: 553 Could not create file."},
        {"connect",
         {},
         5,
         "Could not connect to 127.0.0.1 port " + std::to_string(closedPort) + ": connection refused."},
        {"USER", Say("421 Too many connections.\r\n"), 5,
         "The server at " + at + " refused USER: 421 Too many connections."},
        {"STOR", Say("451 Local error.\r\n"), 5, "The server at " + at + " refused STOR: 451 Local error."},
        {"", Silence(), 5, "The server at " + at + " sent no greeting within 1 s."},
        {"PASS", Silence(), 5, "The server at " + at + " did not answer PASS within 1 s."},
    };
    for (const Case& c : cases) {
        const std::string verb = c.verb;
        m_server.SetGreeting(verb.empty() ? c.reply : Say("220 Ready.\r\n"));
        m_server.Script("USER", verb == "USER" ? c.reply : Say("331 Password required.\r\n"));
        m_server.Script("PASS", verb == "PASS" ? c.reply : Say("230 Logged in.\r\n"));
        m_server.Script("STOR", verb == "STOR" ? c.reply : AcceptUpload());
        m_fields.SetText(TextField::Port, std::to_string(verb == "connect" ? closedPort : m_server.Port()));
        m_clock.sleeps.clear();
        const std::size_t before = m_server.Commands().size();
        m_publisher.PublishAddress();
        ASSERT_TRUE(m_server.WaitUntilIdle());
        const auto commands = m_server.Commands();
        const auto logins =
            std::count(commands.begin() + static_cast<std::ptrdiff_t>(before), commands.end(), "user bob");
        EXPECT_EQ(LastOutcome().kind, Kind::Failed) << c.text;
        EXPECT_EQ(LastOutcome().attempts, c.attempts) << c.text;
        EXPECT_EQ(LastOutcome().permanent, c.attempts == 1) << c.text;
        EXPECT_EQ(LastOutcome().failureText, c.text);
        if (verb != "connect" && !verb.empty()) {
            EXPECT_EQ(logins, c.attempts) << c.text;  // a 530 costs one login
        }
        EXPECT_EQ(m_clock.sleeps.size(), c.attempts - 1u) << c.text;  // none after the last attempt
        EXPECT_EQ(m_publisher.PendingWaitsForSettings(), c.attempts == 1) << c.text;
        EXPECT_EQ(LastOutcome().willRetry, c.attempts != 1) << c.text;
        EXPECT_FALSE(m_ftp.IsConnected());
    }
    // The line the user reads says so, without the class of the exception.
    EXPECT_EQ(
        DescribeOutcome(m_ui.outcomes[0], false),
        "upload failed: The server refused the login for user bob: 530 Authentication failed. Not retried "
        "until the settings change.");

    // Kept, but never due on the timer; a change of the settings retries it, with the pauses afresh.
    m_server.SetGreeting(Say("220 Ready.\r\n"));
    m_server.Script("PASS", Say("530 Authentication failed.\r\n"));
    m_publisher.PublishAddress();
    ASSERT_TRUE(m_publisher.PendingWaitsForSettings());
    m_clock.tick += 24 * 3600 * 1000LL;
    EXPECT_FALSE(m_publisher.RetryDue());
    EXPECT_FALSE(m_publisher.MillisecondsUntilRetry());
    m_server.Script("PASS", Say("230 Logged in.\r\n"));
    m_publisher.RetryPending();
    EXPECT_EQ(LastOutcome().kind, Kind::Published);
    EXPECT_FALSE(m_publisher.HasPending());
}

TEST_F(PublisherTest, CheckServerTellsAPlainFtpServerByItsGreetingAndAFailureInWords) {
    m_server.SetGreeting(Say("220 Ready.\r\n"));  // AUTH gets the scripted server's 502
    const CheckReport plain = CheckServer("127.0.0.1", std::to_string(m_server.Port()), "", m_clock);
    EXPECT_TRUE(plain.ok);
    EXPECT_EQ(plain.text,
              "connected, the server greets: 220 Ready.; it offers no TLS, and plain FTP sends the password "
              "unencrypted");
    const int closed = ClosedLoopbackPort();
    EXPECT_EQ(CheckServer("127.0.0.1", std::to_string(closed), "", m_clock).text,
              "Could not connect to 127.0.0.1 port " + std::to_string(closed) + ": connection refused.");
}

TEST_F(PublisherTest, EndingProgramStopsAfterTheCurrentAttemptAndKeepsThePublicationPending) {
    m_server.Script("PASS", Say("421 Try later.\r\n"));
    m_clock.duringSleep = [&] { m_ui.endRequested = true; };
    m_publisher.PublishAddress();
    EXPECT_EQ(LastOutcome().kind, Kind::Failed);
    EXPECT_EQ(LastOutcome().attempts, 1);
    EXPECT_EQ(m_server.ControlConnections(), 1);
    EXPECT_TRUE(m_publisher.HasPending());
}

TEST_F(PublisherTest, PortThatIsNoNumberFailsBeforeAnyAttempt) {
    for (const char* port : {"21a", "21 ", ""}) {
        m_fields.SetText(TextField::Port, port);
        try {
            m_publisher.PublishAddress();
            FAIL() << port;
        } catch (const EConvertError& error) {
            EXPECT_EQ(error.Message(), std::string("'") + port + "' is not a valid integer value");
        }
    }
    EXPECT_EQ(m_server.ControlConnections(), 0);
    m_fields.SetText(TextField::Port, " " + std::to_string(m_server.Port()));  // leading spaces are fine
    m_publisher.PublishAddress();
    EXPECT_EQ(LastOutcome().kind, Kind::Published);
}

TEST_F(PublisherTest, AtomicUploadRenamesAndSftpFailuresEnterTheRetriesAsFtpOnesDo) {
    m_state.AtomicUpload = true;
    m_server.Script("RNFR", Say("350 Ready.\r\n"));
    m_server.Script("RNTO", Say("250 Renamed.\r\n"));
    m_publisher.PublishAddress();
    ASSERT_EQ(LastOutcome().kind, Kind::Published) << LastOutcome().errorMessage;
    const auto commands = m_server.Commands();
    ASSERT_EQ(commands.size(), 8u);
    EXPECT_EQ(commands[5].rfind("STOR htdocs/.ipaddress.htm.signposter-", 0), 0u) << commands[5];
    EXPECT_EQ(commands[6], "RNFR " + commands[5].substr(5));
    EXPECT_EQ(commands[7], "RNTO htdocs/ipaddress.htm");

    // Settings that cannot be meant are refused before any attempt.
    m_state.Protocol = "SCP";
    EXPECT_THROW(m_publisher.PublishAddress(), EConvertError);
    m_state.Protocol = "sftp";
    m_state.SshHostKey = "SHA256:short";
    EXPECT_ANY_THROW(m_publisher.PublishAddress());
    EXPECT_EQ(m_server.ControlConnections(), 1);

    // An FTP server where SSH was expected never sends an SSH banner: the bound of the key exchange (on the
    // driven clock), five attempts, then pending, like any FTP failure.
    m_state.SshHostKey.clear();
    m_publisher.PublishAddress();
    EXPECT_EQ(LastOutcome().kind, Kind::Failed);
    EXPECT_EQ(LastOutcome().attempts, 5);
    EXPECT_EQ(LastOutcome().errorMessage, "No reply from the server within 30000 ms (key exchange).");
    EXPECT_TRUE(m_publisher.HasPending());
}

TEST_F(PublisherTest, FailedPublicationIsRetriedAtDoublingIntervalsUntilItSucceeds) {
    m_server.Script("PASS", Say("421 Try later.\r\n"));
    m_publisher.PublishAddress();
    ASSERT_TRUE(m_publisher.HasPending());
    EXPECT_EQ(*m_publisher.MillisecondsUntilRetry(), 60'000);
    EXPECT_FALSE(m_publisher.RetryDue());

    std::vector<std::int64_t> intervals;
    for (int round = 0; round < 6; ++round) {
        m_clock.tick += *m_publisher.MillisecondsUntilRetry();
        ASSERT_TRUE(m_publisher.RetryDue());
        m_publisher.RetryPending();
        intervals.push_back(*m_publisher.MillisecondsUntilRetry());
    }
    EXPECT_EQ(intervals, (std::vector<std::int64_t>{120'000, 240'000, 480'000, 900'000, 900'000, 900'000}));

    m_server.Script("PASS", Say("230 Logged in.\r\n"));
    m_clock.tick += 900'000;
    m_publisher.RetryPending();
    EXPECT_EQ(LastOutcome().kind, Kind::Published);
    EXPECT_FALSE(m_publisher.HasPending());
}

TEST_F(PublisherTest, NewerPublicationReplacesThePendingOne) {
    m_server.Script("PASS", Say("421 Try later.\r\n"));
    m_publisher.PublishAddress();
    ASSERT_TRUE(m_publisher.HasPending());
    m_state.IgnoreList = "OFFLINE";
    m_publisher.PublishOffline();  // newer, and skipped: nothing is pending any more
    EXPECT_FALSE(m_publisher.HasPending());
}

TEST_F(PublisherTest, AnAddressRemovedDuringTheUploadAbandonsItAndTheCurrentAddressIsDueAtOnce) {
    auto owned = std::make_unique<ScriptedEvents>();
    ScriptedEvents& events = *owned;
    AddressWatch watch(m_clock, std::move(owned));
    AddressChangeClock clock(m_clock);
    clock.WatchWith(&watch, nullptr);
    m_ftp.SetClock(clock);
    m_publisher.SetAddressChangeClock(&clock);
    m_server.SetGreeting(Silence());
    events.Push({{AddressEvent::Kind::AddressRemoved, "eth0", "203.0.113.7/24"}});
    m_publisher.PublishAddress();
    EXPECT_EQ(LastOutcome().kind, Kind::AddressChanged);
    EXPECT_EQ(LastOutcome().attempts, 1);
    EXPECT_TRUE(m_clock.sleeps.empty());  // no pause, no further attempt
    EXPECT_EQ(DescribeOutcome(LastOutcome()).rfind("203.0.113.7 abandoned ", 0), 0u);
    EXPECT_EQ(LastOutcome().reason, "203.0.113.7 was removed from this machine during the upload");
    EXPECT_FALSE(LastOutcome().willRetry);
    // The stale page is not retried; the publication is, for whatever address the monitor finds next.
    ASSERT_TRUE(m_publisher.RetryDue());
    m_server.SetGreeting(Say("220 Ready.\r\n"));
    m_state.CurrentIP = "203.0.113.8";
    m_publisher.RetryPending();
    EXPECT_EQ(LastOutcome().kind, Kind::Published) << LastOutcome().errorMessage;
    ASSERT_EQ(m_server.Uploads().size(), 1u);
    EXPECT_NE(m_server.Uploads()[0].find("URL=http://203.0.113.8\">"), std::string::npos);
    EXPECT_FALSE(m_publisher.HasPending());

    // A slow host holds the store while the address goes: the page on the server is never left empty.
    // Once the store of the page itself is sent it finishes, and the new address is due at once; stored
    // under a temporary name, the page is untouched when the store is given up.
    ScriptedReply held = AcceptUpload();
    held.delayMs = 30;  // longer than the moment of real time the driven clock's waits look for
    m_server.Script("STOR", held);
    m_server.Script("RNFR", Say("350 Ready.\r\n"));
    m_server.Script("RNTO", Say("250 Renamed.\r\n"));
    m_state.CurrentIP = "203.0.113.7";
    for (const bool atomic : {false, true}) {
        SCOPED_TRACE(atomic ? "AtomicUpload=1" : "AtomicUpload=0");
        m_state.AtomicUpload = atomic;
        const std::size_t commandsBefore = m_server.Commands().size();
        const std::size_t uploadsBefore = m_server.Uploads().size();
        m_ui.onProgress = [&](int) {
            events.Push({{AddressEvent::Kind::AddressRemoved, "eth0", "203.0.113.7/24"}});
        };
        m_publisher.PublishAddress();
        m_ui.onProgress = nullptr;
        EXPECT_EQ(LastOutcome().kind, Kind::AddressChanged);
        EXPECT_TRUE(m_publisher.RetryDue());
        const auto commands = m_server.Commands();
        const auto uploads = m_server.Uploads();
        const auto sent = [&](const std::string& line) {
            return std::find(commands.begin() + commandsBefore, commands.end(), line) != commands.end();
        };
        const bool pageStored = sent(atomic ? "RNTO htdocs/ipaddress.htm" : "STOR htdocs/ipaddress.htm");
        if (!atomic) {
            // (A loaded machine may judge the burst before the store is sent: then nothing was stored.)
            if (pageStored) {
                ASSERT_EQ(uploads.size(), uploadsBefore + 1);
                EXPECT_NE(uploads.back().find("URL=http://203.0.113.7\">"), std::string::npos);
            }
        } else {
            EXPECT_FALSE(pageStored);  // the temporary file was given up, the page never replaced
        }
    }
}

TEST_F(PublisherTest, MissingUserTemplateAbandonsBeforeConnecting) {
    m_fields.SetChecked(Switch::UserTemplate, true);
    m_state.TemplateFile = m_dir.File("gone.htm");
    m_publisher.PublishAddress();
    EXPECT_EQ(LastOutcome().kind, Kind::Abandoned);
    ASSERT_EQ(m_ui.messages.size(), 1u);
    EXPECT_EQ(m_ui.messages[0].text, "User Template File Not Found - " + m_state.TemplateFile);
    EXPECT_EQ(m_server.ControlConnections(), 0);
}

}  // namespace
}  // namespace signposter
