// The upload session against the scripted server: the exact conversation, the protocol's edge cases and the
// bounded waits.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ftp/id_ftp.h"
#include "net/id_exceptions.h"
#include "net/memory_byte_stream.h"
#include "platform/stop_request.h"
#include "scripted_ftp_server.h"
#include "support/fake_clock.h"

namespace signposter::ftp {
namespace {

namespace fs = std::filesystem;
using testing::AcceptUpload;
using testing::ClosedLoopbackPort;
using ::testing::ElementsAre;
using testing::Say;
using testing::SayThenClose;
using testing::ScriptedFtpServer;
using testing::ScriptedReply;
using testing::Silence;
using Lines = std::vector<std::string>;

// A page with every kind of line end: the bytes must arrive exactly as stored.
const std::string kPage = "<html>\r\n<head>\n<title>x</title>\r</head>\r\n\r\n<body>\x01\xff</body></html>";

class FtpSession : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() / ("sp-ftp-session-" + std::to_string(::getpid()) + "-" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(m_dir);
        m_page = WriteFile("page.htm", kPage);
        m_ftp.SetHost("127.0.0.1");
        m_ftp.SetPort(m_server.Port());
        m_ftp.SetUser("publisher");
        m_ftp.SetPassword("secret");
        m_ftp.SetPassive(true);
        m_ftp.SetTransferType(ftASCII);
        // Short bounds: a test that reaches one should not wait the real 30 s.
        m_ftp.SetReplyTimeout(2000);
        m_ftp.SetConnectTimeout(2000);
        m_ftp.SetSendTimeout(2000);
        m_ftp.SetAcceptTimeout(2000);
    }
    void TearDown() override {
        m_ftp.CloseConnection();
        fs::remove_all(m_dir);
    }
    std::string WriteFile(const std::string& name, const std::string& bytes) {
        const std::string path = (m_dir / name).string();
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    // The bounds as the program has them, reached on the driven clock instead of in real time.
    void UseDrivenClockWithTheRealBounds() {
        m_ftp.SetClock(m_clock);
        m_ftp.SetReplyTimeout(TIdTCPConnection::kDefaultTimeout);
        m_ftp.SetSendTimeout(TIdTCPConnection::kDefaultTimeout);
        m_ftp.SetAcceptTimeout(TIdTCPConnection::kDefaultTimeout);
    }
    // One attempt as the publisher makes it.
    void Publish(const std::string& remote = "index.htm") {
        m_ftp.OpenSession(true);
        m_ftp.StoreFile(m_page, remote, false);
        m_ftp.CloseConnection();
    }
    Lines LoginCommands() const { return {"user publisher", "pass secret", "type A", "syst"}; }
    Lines With(Lines lines, const Lines& more) const {
        lines.insert(lines.end(), more.begin(), more.end());
        return lines;
    }

    fs::path m_dir;
    std::string m_page;
    ScriptedFtpServer m_server;
    testing::FakeClock m_clock;  // before the client, which may wait on it
    TIdFTP m_ftp;
};

TEST_F(FtpSession, PassiveUploadSendsExactlyTheseBytes) {
    std::vector<std::string> notices;
    m_ftp.SetOnStatus([&](TIdComponent*, TIdStatus, const std::string& text) { notices.push_back(text); });
    Publish();
    ASSERT_TRUE(m_server.WaitUntilIdle());
    EXPECT_EQ(m_server.ControlBytes(),
              "user publisher\r\npass secret\r\ntype A\r\nsyst\r\nPASV\r\nSTOR index.htm\r\n");  // no QUIT
    ASSERT_EQ(m_server.Uploads().size(), 1u);
    EXPECT_EQ(m_server.Uploads()[0], kPage);  // ASCII announced, nothing converted
    EXPECT_EQ(m_ftp.ServerSystem(), " UNIX Type: L8");
    EXPECT_EQ(m_ftp.DataConnection(), nullptr);
    EXPECT_FALSE(m_ftp.IsConnected());
    EXPECT_EQ(notices, (Lines{"Connecting to 127.0.0.1.", "Connected.", "Disconnecting from 127.0.0.1.",
                              "Not connected."}));
}

TEST_F(FtpSession, AtomicStoreRenamesOverThePageAndCleansUpWhatFails) {
    // "STOR dir/.index.htm.signposter-" and six letters or digits.
    auto temporary = [](const std::string& line) {
        const std::string prefix = "STOR dir/.index.htm.signposter-";
        return line.size() == prefix.size() + 6 && line.compare(0, prefix.size(), prefix) == 0 &&
               std::all_of(line.begin() + static_cast<std::ptrdiff_t>(prefix.size()), line.end(),
                           [](unsigned char c) { return std::isalnum(c) != 0; });
    };
    auto attempt = [&]() -> std::string {
        m_ftp.OpenSession(true);
        try {
            m_ftp.StoreBytesAtomically(kPage, "dir/index.htm");
        } catch (const EIdProtocolReplyError& error) {
            m_ftp.CloseConnection();
            return error.Message();
        }
        m_ftp.CloseConnection();
        return "stored";
    };
    auto tail = [&](std::size_t count) {
        EXPECT_TRUE(m_server.WaitUntilIdle());
        const Lines all = m_server.Commands();
        return Lines(all.end() - static_cast<std::ptrdiff_t>(std::min(count, all.size())), all.end());
    };
    m_server.Script("RNFR", Say("350 Ready.\r\n"));
    m_server.Script("DELE", Say("250 Deleted.\r\n"));
    m_server.Script("RNTO", std::vector<ScriptedReply>{Say("250 Renamed.\r\n"), Say("553 File exists.\r\n")});
    EXPECT_EQ(attempt(), "stored");
    Lines last = tail(4);
    ASSERT_TRUE(temporary(last[1])) << last[1];
    const std::string name = last[1].substr(5);
    EXPECT_EQ(last, (Lines{"PASV", "STOR " + name, "RNFR " + name, "RNTO dir/index.htm"}));
    EXPECT_EQ(m_server.Uploads().back(), kPage);

    // A server that will not rename over a file is told what to do, and keeps no temporary file.
    const std::string refused = attempt();
    EXPECT_NE(
        refused.find(
            "553 File exists.\r\nThe server does not allow a rename over the page; set AtomicUpload=0."),
        std::string::npos)
        << refused;
    last = tail(4);
    const std::string second = last[0].substr(5);
    EXPECT_EQ(last, (Lines{"STOR " + second, "RNFR " + second, "RNTO dir/index.htm", "DELE " + second}));

    // A transfer the server fails (its disk is full) deletes the temporary file and renames nothing.
    m_server.Script("STOR", AcceptUpload("150 Go.\r\n", "452 Disk full.\r\n"));
    EXPECT_EQ(attempt(), "452 Disk full.");
    last = tail(2);
    ASSERT_TRUE(temporary(last[0])) << last[0];
    EXPECT_EQ(last[1], "DELE " + last[0].substr(5));
}

TEST_F(FtpSession, ActiveUploadAnnouncesTheControlConnectionsLocalAddress) {
    m_ftp.SetPassive(false);
    // The accepted data connection keeps the listener's local address and port.
    std::string expected;
    m_ftp.SetOnWorkBegin([&](TIdComponent* sender, TWorkMode, std::int32_t) {
        const TIdSocketHandle& socket = dynamic_cast<TIdTCPConnection*>(sender)->Socket();
        expected = "PORT 127,0,0,1," + std::to_string(socket.Port() / 256) + "," +
                   std::to_string(socket.Port() % 256);
        EXPECT_EQ(socket.LocalAddress(), "127.0.0.1");
    });
    Publish();
    const Lines commands = m_server.Commands();
    ASSERT_EQ(commands.size(), 6u);
    EXPECT_EQ(commands[4], expected);
    EXPECT_EQ(commands[5], "STOR index.htm");
    ASSERT_EQ(m_server.Uploads().size(), 1u);
    EXPECT_EQ(m_server.Uploads()[0], kPage);
}

TEST_F(FtpSession, ActiveConnectionArrivingBeforeThePreliminaryReplyWaitsInTheQueue) {
    m_ftp.SetPassive(false);
    ScriptedReply early = AcceptUpload();
    early.connectBeforeReply = true;
    m_server.Script("STOR", early);
    Publish();
    ASSERT_EQ(m_server.Uploads().size(), 1u);
    EXPECT_EQ(m_server.Uploads()[0], kPage);
}

TEST_F(FtpSession, LargeFileArrivesWhole) {
    std::string big(5 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) ^ (i >> 9));
    m_page = WriteFile("big.bin", big);
    for (bool passive : {true, false}) {
        m_ftp.SetPassive(passive);
        Publish("big.bin");
    }
    ASSERT_EQ(m_server.Uploads().size(), 2u);
    EXPECT_TRUE(m_server.Uploads()[0] == big);
    EXPECT_TRUE(m_server.Uploads()[1] == big);
}

TEST_F(FtpSession, EmptyFileOpensAndClosesTheDataConnection) {
    m_page = WriteFile("empty.htm", "");
    Publish();
    EXPECT_EQ(m_server.DataConnections(), 1);
    ASSERT_EQ(m_server.Uploads().size(), 1u);
    EXPECT_EQ(m_server.Uploads()[0], "");
}

TEST_F(FtpSession, StoreCommandVariants) {
    m_ftp.OpenSession(true);
    m_ftp.StoreFile(m_page, "", false);
    m_ftp.StoreFile(m_page, "log.txt", true);
    m_ftp.CloseConnection();
    EXPECT_EQ(m_server.Commands(), With(LoginCommands(), {"PASV", "STOU ", "PASV", "APPE log.txt"}));
}

TEST_F(FtpSession, LoginVariants) {
    // 230 to the user command: logged in, no password sent.
    m_server.Script("USER", Say("230 Welcome, no password needed.\r\n"));
    m_ftp.OpenSession(true);
    m_ftp.CloseConnection();
    EXPECT_EQ(m_server.Commands(), (Lines{"user publisher", "type A", "syst"}));
}

TEST_F(FtpSession, MultiLineGreetingAndLfOnlyReplies) {
    m_server.SetGreeting(Say("220-Welcome\n220-to the\n220 server\n"));
    m_server.Script("USER", Say("331 pw\n"));
    m_server.Script("PASS", Say("230-Hi\n230 in\n"));
    m_server.Script("TYPE", Say("200 ok\n"));
    m_server.Script("SYST", Say("500 syst unknown\n"));  // 500 is accepted
    m_server.Script("PASV", Say("227 Entering Passive Mode (127,0,0,1,{p1},{p2})\n"));
    m_server.Script("STOR", AcceptUpload("150 go\n", "226 done\n"));
    Publish();
    EXPECT_EQ(m_ftp.ServerSystem(), "Unknown");
    EXPECT_EQ(m_server.Uploads().size(), 1u);
}

TEST_F(FtpSession, LoginFailuresCloseTheControlConnection) {
    struct Case {
        const char* verb;
        ScriptedReply reply;
        int code;
    };
    const std::vector<Case> cases = {
        {"USER", Say("332 Need account for login.\r\n"), 332},
        {"PASS", Say("530 Login incorrect.\r\n"), 530},
        {"TYPE", Say("504 Type not implemented.\r\n"), 504},
        {"SYST", Say("502 Command not implemented.\r\n"), 502},
    };
    for (const Case& c : cases) {
        ScriptedFtpServer server;
        server.Script(c.verb, c.reply);
        m_ftp.SetPort(server.Port());
        try {
            m_ftp.OpenSession(true);
            ADD_FAILURE() << c.verb << " failure accepted";
        } catch (const EIdProtocolReplyError& e) {
            EXPECT_EQ(e.ReplyCode(), c.code);
            EXPECT_EQ(e.Message() + "\r\n", c.reply.text);
        }
        EXPECT_FALSE(m_ftp.IsConnected()) << c.verb;
        EXPECT_TRUE(server.WaitUntilIdle()) << c.verb << ": the server still holds the connection";
    }
}

TEST_F(FtpSession, GreetingFailures) {
    m_server.SetGreeting(Say("421 Too many users.\r\n"));
    EXPECT_THROW(m_ftp.OpenSession(true), EIdProtocolReplyError);
    EXPECT_FALSE(m_ftp.IsConnected());

    m_server.SetGreeting(SayThenClose(""));
    try {
        m_ftp.OpenSession(true);
        FAIL() << "no greeting accepted";
    } catch (const EIdConnClosedGracefully& e) {
        EXPECT_EQ(e.Message(), "Connection Closed Gracefully.");
    }
    EXPECT_FALSE(m_ftp.IsConnected());
}

TEST_F(FtpSession, SilentServerReachesTheReplyBound) {
    m_server.SetGreeting(Silence());
    m_ftp.SetReplyTimeout(300);
    try {
        m_ftp.OpenSession(true);
        FAIL() << "a silent server let the session open";
    } catch (const EIdReplyTimeout& e) {
        EXPECT_EQ(e.Message(), "No reply from the server within 300 ms.");
        EXPECT_STREQ(e.ClassName(), "EIdReplyTimeout");
    }
    EXPECT_FALSE(m_ftp.IsConnected());
    EXPECT_TRUE(m_server.WaitUntilIdle());
}

TEST_F(FtpSession, SlowButTimelyRepliesAreFine) {
    m_server.Script("SYST", Say("215 UNIX\r\n", 150));
    m_ftp.SetReplyTimeout(1000);
    EXPECT_NO_THROW(Publish());
}

TEST_F(FtpSession, SilenceAfterTheStoreCommandReachesTheFullBoundOnTheDrivenClock) {
    m_server.Script("STOR", Silence());
    UseDrivenClockWithTheRealBounds();
    EXPECT_THROW(m_ftp.StoreFile(m_page, "x", false), EIdException);  // not connected yet
    m_ftp.OpenSession(true);
    const std::int64_t start = m_clock.tick;
    try {
        m_ftp.StoreFile(m_page, "index.htm", false);
        FAIL() << "a silent server completed the store";
    } catch (const EIdReplyTimeout& e) {
        EXPECT_EQ(e.Message(), "No reply from the server within 30000 ms.");
    }
    EXPECT_EQ(m_clock.tick - start, 30000);
    EXPECT_EQ(m_ftp.DataConnection(), nullptr);
}

TEST_F(FtpSession, PassiveReplyForms) {
    const std::vector<std::string> forms = {
        "227 Entering Passive Mode 127,0,0,1,{p1},{p2}\r\n",          // no parentheses: after the last space
        "227 Entering Passive Mode (127, 0, 0, 1, {p1}, {p2}).\r\n",  // spaces inside parentheses
        "227 Entering Passive Mode (127,0,0,2,{p1},{p2}).\r\n",       // address not the server's
    };
    for (const std::string& form : forms) {
        m_server.Script("PASV", Say(form));
        EXPECT_NO_THROW(Publish()) << form;
    }
    EXPECT_EQ(m_server.Uploads(), Lines(forms.size(), kPage));
}

TEST_F(FtpSession, BadPassivePortFieldsFailBeforeTheStoreCommand) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"227 Entering Passive Mode 127, 0, 0, 1, {p1}, {p2}\r\n", "'' is not a valid integer value"},
        {"227 Entering Passive Mode (127,0,0,1,x,{p2}).\r\n", "'x' is not a valid integer value"},
        {"227 Entering Passive Mode (127,0,0,1,{p1}).\r\n", "'' is not a valid integer value"},
        {"227 Entering Passive Mode )127,0,0,1,{p1},{p2}(\r\n", "'' is not a valid integer value"},
    };
    m_ftp.OpenSession(true);
    for (const auto& [reply, message] : cases) {
        m_server.Script("PASV", Say(reply));
        try {
            m_ftp.StoreFile(m_page, "index.htm", false);
            ADD_FAILURE() << reply;
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message(), message);
        }
        EXPECT_TRUE(m_ftp.IsConnected());
    }
    m_ftp.CloseConnection();
    ASSERT_TRUE(m_server.WaitUntilIdle());
    for (const std::string& command : m_server.Commands()) EXPECT_NE(command.substr(0, 4), "STOR");
}

TEST_F(FtpSession, CompletionReplies) {
    m_server.Script("STOR",
                    {AcceptUpload("150 go\r\n", "426 Connection closed.\r\n226 But it arrived.\r\n"),
                     AcceptUpload("125 go\r\n", "250 ok\r\n"), AcceptUpload("150 go\r\n", "225 ok\r\n"),
                     AcceptUpload("150 go\r\n", "426 Connection closed.\r\n451 Lost.\r\n")});
    m_ftp.OpenSession(true);
    for (int i = 0; i < 3; ++i) EXPECT_NO_THROW(m_ftp.StoreFile(m_page, "index.htm", false));
    try {
        m_ftp.StoreFile(m_page, "index.htm", false);
        FAIL() << "426 then 451 counted as success";
    } catch (const EIdProtocolReplyError& e) {
        EXPECT_EQ(e.ReplyCode(), 451);
        EXPECT_EQ(e.Message(), "451 Lost.");
    }
}

TEST_F(FtpSession, RefusedStoreLeavesTheSessionOpenAndTheNextAttemptsRecover) {
    m_server.Script("STOR", {Say("553 Could not create file.\r\n"), AcceptUpload()});
    m_ftp.OpenSession(true);
    try {
        m_ftp.StoreFile(m_page, "index.htm", false);
        FAIL() << "refused store accepted";
    } catch (const EIdProtocolReplyError& e) {
        EXPECT_EQ(e.ReplyCode(), 553);
    }
    EXPECT_TRUE(m_ftp.IsConnected());
    // The connect alone refuses and leaves the open connection as it was.
    EXPECT_THROW(m_ftp.ConnectToHost(), EIdAlreadyConnected);
    EXPECT_TRUE(m_ftp.IsConnected());
    try {
        m_ftp.OpenSession(true);
        FAIL() << "opened a second session over the first";
    } catch (const EIdAlreadyConnected& e) {
        EXPECT_EQ(e.Message(), "Already connected.");
    }
    EXPECT_FALSE(m_ftp.IsConnected());
    Publish();
    EXPECT_EQ(m_server.ControlConnections(), 2);
    EXPECT_EQ(m_server.Uploads(), Lines{kPage});
}

TEST_F(FtpSession, AStopRequestEndsAnyWaitAtOnceAsStopped) {
    platform::StopRequest stop;
    const platform::SystemClock clock(&stop);
    m_ftp.SetClock(clock);
    m_ftp.SetReplyTimeout(TIdTCPConnection::kDefaultTimeout);
    m_server.SetGreeting(Silence());
    std::thread stopper([&stop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stop.Request();
    });
    try {
        m_ftp.OpenSession(true);
        ADD_FAILURE() << "a silent server let the session open";
    } catch (const EIdStopped& e) {
        EXPECT_EQ(e.Message(), "Stopped.");
    }
    stopper.join();
    EXPECT_FALSE(m_ftp.IsConnected());
    // Every later wait ends at once too, the connect's included.
    EXPECT_THROW(m_ftp.OpenSession(true), EIdStopped);
}

TEST_F(FtpSession, AServerSlowAtEveryStepReachesTheSessionBound) {
    UseDrivenClockWithTheRealBounds();
    m_clock.waitCostMs = 14000;  // each reply well inside its own 30 s bound
    try {
        Publish();
        FAIL() << "a session of 14 s per step finished";
    } catch (const EIdAttemptTimeout& e) {
        EXPECT_EQ(e.Message(), "Attempt took longer than 120 s.");
    }
    EXPECT_FALSE(m_ftp.IsConnected());
    EXPECT_EQ(m_ftp.DataConnection(), nullptr);
}

TEST_F(FtpSession, ActiveModeServerThatNeverConnectsReachesTheAcceptBound) {
    m_ftp.SetPassive(false);
    UseDrivenClockWithTheRealBounds();
    m_server.Script("STOR", Say("150 Opening data connection.\r\n"));  // ...and never connects
    m_ftp.OpenSession(true);
    try {
        m_ftp.StoreFile(m_page, "index.htm", false);
        FAIL() << "upload without a data connection";
    } catch (const EIdAcceptTimeout& e) {
        EXPECT_EQ(e.Message(), "The server did not open the data connection within 30000 ms.");
    }
    EXPECT_EQ(m_ftp.DataConnection(), nullptr);
    EXPECT_TRUE(m_ftp.IsConnected());
}

TEST_F(FtpSession, DataConnectionFailures) {
    // The passive port has nobody listening.
    const int closed = ClosedLoopbackPort();
    m_server.Script("PASV", Say("227 Entering Passive Mode (127,0,0,1," + std::to_string(closed / 256) + "," +
                                std::to_string(closed % 256) + ").\r\n"));
    m_ftp.OpenSession(true);
    try {
        m_ftp.StoreFile(m_page, "index.htm", false);
        FAIL() << "stored through a refused data connection";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.ErrorNumber(), 10061);
    }
    EXPECT_TRUE(m_ftp.IsConnected());
    m_ftp.CloseConnection();
    ASSERT_TRUE(m_server.WaitUntilIdle());
    EXPECT_EQ(m_server.Commands().back(), "STOR index.htm");
}

TEST_F(FtpSession, DataConnectionThatStopsReadingReachesTheSendBound) {
    ScriptedReply stall = AcceptUpload();
    stall.data = ScriptedReply::Data::Stall;
    m_server.Script("STOR", stall);
    // More than the kernel buffers of both ends can take.
    m_page = WriteFile("big.bin", std::string(48 << 20, 'z'));
    UseDrivenClockWithTheRealBounds();
    m_ftp.OpenSession(true);
    try {
        m_ftp.StoreFile(m_page, "big.bin", false);
        FAIL() << "48 MiB went into a peer that never reads";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.ErrorNumber(), 10060);
    }
    EXPECT_EQ(m_ftp.DataConnection(), nullptr);
}

TEST_F(FtpSession, LineBreaksFromTheSettingsAreNeverSent) {
    m_ftp.SetUser("publisher\r\nDELE index.htm");
    EXPECT_THROW(m_ftp.OpenSession(true), EIdInvalidCommand);
    EXPECT_EQ(m_server.ControlConnections(), 0);

    // The password command is refused when it is due, and the session is closed.
    m_ftp.SetUser("publisher");
    m_ftp.SetPassword("secret\nDELE index.htm");
    EXPECT_THROW(m_ftp.OpenSession(true), EIdInvalidCommand);
    EXPECT_FALSE(m_ftp.IsConnected());
    ASSERT_TRUE(m_server.WaitUntilIdle());
    EXPECT_EQ(m_server.ControlBytes(), "user publisher\r\n");

    m_ftp.SetPassword("secret");
    m_ftp.OpenSession(true);
    EXPECT_THROW(m_ftp.StoreFile(m_page, "index.htm\r\nDELE other.htm", false), EIdInvalidCommand);
    // A missing file is reported as such, whatever the name.
    EXPECT_THROW(m_ftp.StoreFile((m_dir / "missing.htm").string(), "a\nb", false), EFOpenError);
    EXPECT_TRUE(m_ftp.IsConnected());
    m_ftp.CloseConnection();
    ASSERT_TRUE(m_server.WaitUntilIdle());
    EXPECT_EQ(m_server.Commands(), With({"user publisher"}, LoginCommands()));
}

TEST_F(FtpSession, PasswordThatIsNeverAskedForIsNeverChecked) {
    // A 230 to the user command logs in without a password, so its text does not matter.
    m_server.Script("USER", Say("230 Welcome, no password needed.\r\n"));
    m_ftp.SetPassword("line\r\nbreak");
    EXPECT_NO_THROW(Publish());
    ASSERT_TRUE(m_server.WaitUntilIdle());
    EXPECT_EQ(m_server.Commands(), (Lines{"user publisher", "type A", "syst", "PASV", "STOR index.htm"}));
}

TEST_F(FtpSession, MissingLocalFileSendsNothing) {
    m_ftp.OpenSession(true);
    const std::string missing = (m_dir / "missing.htm").string();
    try {
        m_ftp.StoreFile(missing, "index.htm", false);
        FAIL() << "stored a missing file";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(), "Cannot open file " + missing);
    }
    EXPECT_THROW(m_ftp.StoreFile(m_dir.string(), "index.htm", false), EFOpenError);
    EXPECT_TRUE(m_ftp.IsConnected());
    m_ftp.CloseConnection();
    ASSERT_TRUE(m_server.WaitUntilIdle());
    EXPECT_EQ(m_server.Commands(), LoginCommands());
}

TEST_F(FtpSession, ProgressOfTheUploadReachesTheClientsHandlers) {
    std::vector<std::string> events;
    m_ftp.SetOnWorkBegin([&](TIdComponent*, TWorkMode mode, std::int32_t total) {
        if (mode == TWorkMode::Write)
            events.push_back("begin " + std::to_string(total));
    });
    m_ftp.SetOnWork([&](TIdComponent*, TWorkMode mode, std::int32_t count) {
        if (mode == TWorkMode::Write)
            events.push_back("work " + std::to_string(count));
    });
    m_ftp.SetOnWorkEnd([&](TIdComponent*, TWorkMode mode) {
        if (mode == TWorkMode::Write)
            events.push_back("end");
    });
    Publish();
    const std::string size = std::to_string(kPage.size());
    EXPECT_THAT(events, ElementsAre("begin " + size, "work " + size, "end"));
}

TEST_F(FtpSession, TransferTypeChangeIsAnnouncedWhenConnected) {
    m_ftp.OpenSession(true);
    m_ftp.SetTransferType(ftBinary);
    m_ftp.SetTransferType(ftBinary);  // unchanged: nothing sent
    m_ftp.CloseConnection();
    m_ftp.SetTransferType(ftASCII);  // not connected: only stored
    ASSERT_TRUE(m_server.WaitUntilIdle());
    EXPECT_EQ(m_server.Commands(), With(LoginCommands(), {"type I"}));
    EXPECT_EQ(m_ftp.TransferType(), ftASCII);
}

TEST_F(FtpSession, RefusedControlConnection) {
    m_ftp.SetPort(ClosedLoopbackPort());
    try {
        m_ftp.OpenSession(true);
        FAIL() << "connected to a closed port";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.Message(), "Socket Error # 10061\r\nConnection refused.");
    }
}

// The PORT line for a handle on 192.168.1.5 port 5001, as the server receives it.
TEST(PortCommand, AddressThenPortHighAndLowByte) {
    struct Client : TIdFTP {
        using TIdFTP::SendPortCommand;
    } client;
    MemoryByteStream stream("200 PORT command successful.\r\n");
    client.AttachByteStream(&stream);
    TIdSocketHandle handle;
    handle.SetLocalAddress("192.168.1.5");
    handle.SetPort(5001);
    client.SendPortCommand(handle);
    EXPECT_EQ(stream.Sent(), "PORT 192,168,1,5,19,137\r\n");
}

TEST(PassiveReply, Fields) {
    const TIdPassiveAddress plain = ParsePassiveReply("227 Entering Passive Mode (192,168,1,20,19,137).");
    EXPECT_EQ(plain.address, "192.168.1.20");
    EXPECT_EQ(plain.port, 5001);
    EXPECT_EQ(ParsePassiveReply("227 Entering Passive Mode 192,168,1,20,19,137").port, 5001);
    const TIdPassiveAddress spaced =
        ParsePassiveReply("227 Entering Passive Mode (192, 168, 1, 20, 19, 137)");
    EXPECT_EQ(spaced.address, "192. 168. 1. 20");  // kept as written; only the numbers skip spaces
    EXPECT_EQ(spaced.port, 5001);
    EXPECT_EQ(ParsePassiveReply("227 =192,168,1,20,19,137").address, "=192.168.1.20");
    EXPECT_EQ(ParsePassiveReply("227 (1,2,3,4,$13,x89)").port, 5001);  // hexadecimal forms
    EXPECT_EQ(ParsePassiveReply("227 (1,2,3,4,5,6,7)").port, 5 * 256 + 6);
    // Large fields wrap as 32-bit arithmetic does rather than overflowing.
    EXPECT_EQ(ParsePassiveReply("227 (1,2,3,4,2147483647,1)").port,
              static_cast<int>(0x7FFFFFFFu * 256u + 1u));
    EXPECT_THROW(ParsePassiveReply("227 (1,2,3,4,5)"), EConvertError);
    EXPECT_THROW(ParsePassiveReply(""), EConvertError);
}

// Over IPv6 the data connection is negotiated with EPSV and EPRT; over IPv4 nothing changes, even with
// IPv6 allowed.
class FtpOverIPv6 : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testing::IPv6LoopbackAvailable())
            GTEST_SKIP() << "no IPv6 loopback (::1) on this machine";
        m_server.emplace("::1");
        m_ftp.SetHost("[::1]");
        m_ftp.SetPort(m_server->Port());
        m_ftp.SetUser("publisher");
        m_ftp.SetPassword("secret");
        m_ftp.SetPassive(true);
        m_ftp.SetIPv6Allowed(true);
        m_ftp.SetReplyTimeout(2000);
        m_ftp.SetConnectTimeout(2000);
        m_ftp.SetAcceptTimeout(2000);
        m_ftp.SetSendTimeout(2000);
    }
    void Publish() {
        m_ftp.OpenSession(true);
        m_ftp.StoreBytes(kPage, "index.htm", false);
        m_ftp.CloseConnection();
    }
    std::optional<ScriptedFtpServer> m_server;
    TIdFTP m_ftp;
};

TEST_F(FtpOverIPv6, PassiveUsesEpsvAndActiveAnnouncesTheLocalAddressWithEprt) {
    Publish();
    ASSERT_TRUE(m_server->WaitUntilIdle());
    EXPECT_EQ(m_server->ControlBytes(),
              "user publisher\r\npass secret\r\ntype I\r\nsyst\r\nEPSV\r\nSTOR index.htm\r\n");
    m_ftp.SetPassive(false);
    m_ftp.SetHost("::1");
    std::string expected;
    m_ftp.SetOnWorkBegin([&](TIdComponent* sender, TWorkMode, std::int32_t) {
        const TIdSocketHandle& socket = dynamic_cast<TIdTCPConnection*>(sender)->Socket();
        expected = "EPRT |2|::1|" + std::to_string(socket.Port()) + "|";
    });
    Publish();
    const Lines commands = m_server->Commands();
    ASSERT_EQ(commands.size(), 12u);
    EXPECT_EQ(commands[10], expected);
    ASSERT_EQ(m_server->Uploads().size(), 2u);
    EXPECT_EQ(m_server->Uploads()[0], kPage);
    EXPECT_EQ(m_server->Uploads()[1], kPage);
}

TEST_F(FtpOverIPv6, IPv4StaysOnPasvAndAnIPv6LiteralNeedsIPv6Allowed) {
    ScriptedFtpServer v4;
    m_ftp.SetHost("127.0.0.1");
    m_ftp.SetPort(v4.Port());
    Publish();
    ASSERT_TRUE(v4.WaitUntilIdle());
    EXPECT_EQ(v4.Commands()[4], "PASV");
    // Without IPv6 the literal goes to the IPv4 resolver, as it always did, and no connection is made.
    m_ftp.SetIPv6Allowed(false);
    m_ftp.SetHost("::1");
    m_ftp.SetPort(m_server->Port());
    EXPECT_THROW(m_ftp.OpenSession(true), EIdSocketError);
    EXPECT_EQ(m_server->ControlConnections(), 0);
}

TEST(ExtendedPassiveReply, PortBetweenDelimiters) {
    EXPECT_EQ(ParseExtendedPassiveReply(229, "229 Entering Extended Passive Mode (|||6446|)"), 6446);
    EXPECT_EQ(ParseExtendedPassiveReply(229, "229 ok (!!!21!)"), 21);
    EXPECT_EQ(ParseExtendedPassiveReply(229, "229 (|||06446|)"), 6446);
    // Decimal digits only: no hexadecimal or signed forms, and a long number is out of range, not unread.
    const std::pair<const char*, const char*> bad[] = {
        {"229 no port", "Malformed reply to EPSV: 229 no port"},
        {"229 (|||6446)", "Malformed reply to EPSV: 229 (|||6446)"},
        {"229 (||6446|)", "Malformed reply to EPSV: 229 (||6446|)"},
        {"229 (|||z|)", "Malformed reply to EPSV: 229 (|||z|)"},
        {"229 (|||$FFFF|)", "Malformed reply to EPSV: 229 (|||$FFFF|)"},
        {"229 (|||+21|)", "Malformed reply to EPSV: 229 (|||+21|)"},
        {"229 (|||0|)", "Port out of range in the reply to EPSV: 229 (|||0|)"},
        {"229 (|||70000|)", "Port out of range in the reply to EPSV: 229 (|||70000|)"},
        {"229 (|||18446744073709551621|)", "Port out of range in the reply to EPSV: 229 (|||18446744073709551621|)"},
    };
    for (const auto& [reply, message] : bad) {
        try {
            ParseExtendedPassiveReply(229, reply);
            ADD_FAILURE() << reply;
        } catch (const EIdProtocolReplyError& error) {
            EXPECT_EQ(error.Message(), message);
        }
    }
}

}  // namespace
}  // namespace signposter::ftp
