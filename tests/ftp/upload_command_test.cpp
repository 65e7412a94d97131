// signposter-cli upload: one attempt as the publisher makes it, its report and its exit status.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "scripted_ftp_server.h"
#include "test_certificates.h"

namespace signposter::cli {
namespace {

namespace fs = std::filesystem;
using testing::Say;
using testing::ScriptedFtpServer;
using Lines = std::vector<std::string>;

class UploadCommand : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() / ("sp-upload-cli-" + std::to_string(::getpid()));
        fs::create_directories(m_dir);
        m_local = (m_dir / "page.htm").string();
        std::ofstream(m_local, std::ios::binary) << "<html>\r\nhello\r\n</html>\r\n";
        // As loaded from a settings file a person edited: stray blanks around host and user.
        m_fields.SetText(TextField::Host, "  127.0.0.1\t");
        m_fields.SetText(TextField::Port, " " + std::to_string(m_server.Port()));
        m_fields.SetText(TextField::User, " publisher ");
        m_fields.SetText(TextField::Password, " pa55 word");
        m_fields.SetChecked(Switch::Passive, true);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    int Run(const std::vector<std::string>& args) {
        Context context{m_fields, m_state, (m_dir / "signposter.ini").string()};
        ::testing::internal::CaptureStderr();
        const int status = RunUpload(context, args);
        m_stderr = ::testing::internal::GetCapturedStderr();
        return status;
    }

    fs::path m_dir;
    std::string m_local;
    ScriptedFtpServer m_server;
    PlainLiveSettings m_fields;
    ProgramState m_state;
    std::string m_stderr;
};

TEST_F(UploadCommand, UploadsAsThePublisherDoes) {
    EXPECT_EQ(Run({m_local, "index.htm"}), 0);
    EXPECT_EQ(m_stderr, "");
    ASSERT_TRUE(m_server.WaitUntilIdle());
    // Host and user trimmed, the password as stored, ASCII announced, passive from the settings.
    EXPECT_EQ(m_server.Commands(),
              (Lines{"user publisher", "pass  pa55 word", "type A", "syst", "PASV", "STOR index.htm"}));
    EXPECT_EQ(m_server.Uploads(), Lines{"<html>\r\nhello\r\n</html>\r\n"});

    m_fields.SetChecked(Switch::Passive, false);
    EXPECT_EQ(Run({"--verbose", m_local, "index.htm"}), 0);
    ASSERT_TRUE(m_server.WaitUntilIdle());
    EXPECT_EQ(m_server.Commands()[10].substr(0, 5), "PORT ");
}

TEST_F(UploadCommand, AddressFamilyOtherThanIPv4ReachesAnIPv6Server) {
    if (!testing::IPv6LoopbackAvailable())
        GTEST_SKIP() << "no IPv6 loopback (::1) on this machine";
    ScriptedFtpServer v6("::1");
    m_fields.SetText(TextField::Host, "[::1]");
    m_fields.SetText(TextField::Port, std::to_string(v6.Port()));
    EXPECT_EQ(Run({m_local, "index.htm"}), 1);  // IPv4 only, as an old settings file has it
    EXPECT_EQ(v6.ControlConnections(), 0);
    m_state.AddressFamily = "Both";
    EXPECT_EQ(Run({m_local, "index.htm"}), 0) << m_stderr;
    ASSERT_TRUE(v6.WaitUntilIdle());
    EXPECT_EQ(v6.Commands(),
              (Lines{"user publisher", "pass  pa55 word", "type A", "syst", "EPSV", "STOR index.htm"}));
}

TEST_F(UploadCommand, VerboseShowsTheConversationWithOnlyThePasswordHidden) {
    // A one-letter password: only the argument of the password command is hidden, not every "e".
    m_fields.SetText(TextField::Password, "e");
    EXPECT_EQ(Run({m_local, "index.htm", "--verbose"}), 0);
    EXPECT_NE(m_stderr.find("-- Connecting to 127.0.0.1.\n"), std::string::npos) << m_stderr;
    EXPECT_NE(m_stderr.find("< 220 Scripted server ready.\n> user publisher\n< 331 Password required.\n"
                            "> pass *\n"),
              std::string::npos)
        << m_stderr;
    EXPECT_NE(m_stderr.find("> STOR index.htm\n< 150"), std::string::npos) << m_stderr;
    EXPECT_NE(m_stderr.find("-- Not connected.\n"), std::string::npos) << m_stderr;
    EXPECT_EQ(m_stderr.find("pass e"), std::string::npos) << m_stderr;
}

TEST_F(UploadCommand, FailuresAreToldInWordsAndVerboseAddsTheExceptionAsRaised) {
    m_server.Script("PASS", Say("530 Login incorrect.\r\n"));
    EXPECT_EQ(Run({m_local, "index.htm"}), 1);
    EXPECT_EQ(m_stderr, "The server refused the login for user publisher: 530 Login incorrect.\n");
    EXPECT_EQ(Run({m_local, "index.htm", "--verbose"}), 1);
    EXPECT_NE(m_stderr.find("\nThe server refused the login for user publisher: 530 Login incorrect.\n"
                            "EIdProtocolReplyError: 530 Login incorrect.\n"),
              std::string::npos)
        << m_stderr;

    m_fields.SetText(TextField::Port, "21x");
    EXPECT_EQ(Run({m_local, "index.htm"}), 1);
    EXPECT_EQ(m_stderr, "'21x' is not a valid integer value.\n");

    m_fields.SetText(TextField::Port, std::to_string(m_server.Port()));
    m_server.Script("PASS", Say("230 Logged in.\r\n"));
    EXPECT_EQ(Run({(m_dir / "missing.htm").string(), "index.htm"}), 1);
    EXPECT_EQ(m_stderr, "Cannot open file " + (m_dir / "missing.htm").string() + ".\n");
    ASSERT_TRUE(m_server.WaitUntilIdle());
    EXPECT_EQ(m_server.Uploads().size(), 0u);
}

TEST_F(UploadCommand, ARefusedConnectionNamesHostAndPortAndAMissingHostIsNamedAsTheWindowDoes) {
    const int port = testing::ClosedLoopbackPort();
    m_fields.SetText(TextField::Port, std::to_string(port));
    EXPECT_EQ(Run({m_local, "index.htm"}), 1);
    EXPECT_EQ(m_stderr,
              "Could not connect to 127.0.0.1 port " + std::to_string(port) + ": connection refused.\n");
    // The socket layer's own text, number included, is for --verbose.
    EXPECT_EQ(Run({m_local, "index.htm", "--verbose"}), 1);
    EXPECT_NE(m_stderr.find("EIdSocketError: Socket Error # 10061\nConnection refused.\n"), std::string::npos)
        << m_stderr;
    m_fields.SetText(TextField::Host, " ");
    EXPECT_EQ(Run({m_local, "index.htm"}), 2);
    EXPECT_EQ(m_stderr, "No Host Name\n");
}

TEST_F(UploadCommand, AnythingButARegularFileIsRefusedBeforeAnythingIsSent) {
    const std::string fifo = (m_dir / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& local : {fifo, std::string("/dev/zero"), m_dir.string()}) {
        EXPECT_EQ(Run({local, "index.htm"}), 1) << local;
        EXPECT_EQ(m_stderr, "Cannot open file " + local + ".\n");
    }
    EXPECT_EQ(m_server.ControlConnections(), 0);
}

TEST_F(UploadCommand, ControlBytesFromTheServerAreShownEscaped) {
    using namespace std::string_literals;
    m_server.Script("PASS", Say("530 \x1b]0;owned\x07\x1b[2J no\0way\r\n"s));
    EXPECT_EQ(Run({m_local, "index.htm", "--verbose"}), 1);
    EXPECT_EQ(m_stderr.find('\x1b'), std::string::npos);
    EXPECT_EQ(m_stderr.find('\x07'), std::string::npos);
    EXPECT_NE(m_stderr.find("EIdProtocolReplyError: 530 \\x1b]0;owned\\x07\\x1b[2J no\\x00way\n"),
              std::string::npos)
        << m_stderr;
}

TEST_F(UploadCommand, VerboseReportsEachTlsHandshake) {
    const testing::TestCertificate cert = testing::MakeCertificate(m_dir.string(), "server");
    m_server.EnableTls(cert.certFile, cert.keyFile);
    m_state.FtpSecurity = "ExplicitTLS";
    m_state.TlsTrustFile = cert.certFile;
    EXPECT_EQ(Run({m_local, "index.htm", "--verbose"}), 0) << m_stderr;
    for (const std::string& line : Lines{"> AUTH TLS\n< 234 Proceed with negotiation.\n-- TLS control connection: TLSv1.3, TLS_",
          "-- TLS certificate subject: CN=127.0.0.1\n-- TLS certificate issuer: CN=127.0.0.1\n",
          "-- TLS certificate SHA-256: " + cert.fingerprint + "\n",
          "-- TLS certificate accepted by: system store and trust file\n", "> PBSZ 0\n",
          "< 150 Opening data connection.\n-- TLS data connection: TLSv1.3, ",
          "-- TLS session resumed: yes\n"}) {
        EXPECT_NE(m_stderr.find(line), std::string::npos) << line << "\n" << m_stderr;
    }
    ASSERT_TRUE(m_server.WaitUntilIdle());
    EXPECT_EQ(m_server.Uploads(), Lines{"<html>\r\nhello\r\n</html>\r\n"});

    m_state.FtpSecurity = "TLS please";
    EXPECT_EQ(Run({m_local, "index.htm"}), 1);
    EXPECT_EQ(m_stderr, "TLS initialisation failed: unknown FtpSecurity value.\n");
}

TEST_F(UploadCommand, TlsFingerprintShowsTheCertificateWithoutLoggingIn) {
    const testing::TestCertificate cert = testing::MakeCertificate(m_dir.string(), "server");
    m_server.EnableTls(cert.certFile, cert.keyFile);
    std::ofstream((m_dir / "signposter.ini").string(), std::ios::binary)
        << "[Settings]\r\nHost=127.0.0.1\r\nPort=" << m_server.Port() << "\r\nUser=publisher\r\n";
    Context context{m_fields, m_state, (m_dir / "signposter.ini").string()};
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(RunTlsFingerprint(context, {}), 0);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Subject: CN=127.0.0.1\nIssuer: CN=127.0.0.1\nValid from: "), std::string::npos) << out;
    EXPECT_NE(out.find("SHA-256 fingerprint: " + cert.fingerprint + "\nSystem store: self-signed certificate\n"),
              std::string::npos)
        << out;
    ASSERT_TRUE(m_server.WaitUntilIdle());
    EXPECT_EQ(m_server.Commands(), Lines{"AUTH TLS"});
}

TEST_F(UploadCommand, UsageErrors) {
    EXPECT_EQ(Run({}), 2);
    EXPECT_EQ(Run({m_local}), 2);
    EXPECT_EQ(Run({m_local, "a", "b"}), 2);
    EXPECT_EQ(Run({m_local, "index.htm", "--verbos"}), 2);
    EXPECT_NE(m_stderr.find("usage: signposter-cli upload LOCAL REMOTE [--verbose]"), std::string::npos);
    EXPECT_EQ(m_server.ControlConnections(), 0);
}

}  // namespace
}  // namespace signposter::cli
