// Explicit FTPS against the scripted server speaking TLS, and the TLS channel against an in-process
// OpenSSL server: the exact protected conversation, every refusal and broken peer, the certificate checks.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ftp/id_ftp.h"
#include "net/id_exceptions.h"
#include "real_ftp_servers.h"
#include "scripted_ftp_server.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"
#include "test_certificates.h"

namespace signposter::ftp {
namespace {

using testing::CertificateOptions;
using testing::MakeCertificate;
using testing::Say;
using testing::ScriptedFtpServer;
using testing::ScriptedReply;
using testing::TempDir;
using testing::TestCertificate;
using Lines = std::vector<std::string>;

const std::string kPage = "<html>\r\n<body>203.0.113.7</body>\r\n</html>\r\n";
const Lines kLogin = {"AUTH TLS", "user publisher", "pass secret", "PBSZ 0", "PROT P", "type A", "syst"};

Lines Plus(Lines lines, const Lines& more) {
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
}

// Certificates shared by every case: made once, they take a moment even as P-256 keys.
struct Certificates {
    TempDir dir;
    TestCertificate good = MakeCertificate(dir.Path(), "good");
    // Its own subject: a store finds an issuer by name, and two self-signed certificates of one name clash.
    TestCertificate other = MakeCertificate(dir.Path(), "other", {"Other 127.0.0.1", "IP:127.0.0.1", -1, 2});
    TestCertificate expired = MakeCertificate(dir.Path(), "expired", {"127.0.0.1", "IP:127.0.0.1", -10, -1});
    TestCertificate otherName =
        MakeCertificate(dir.Path(), "othername", {"files.example.net", "DNS:files.example.net", -1, 2});
    // Both good certificates in one PEM file: a trust file may hold several.
    std::string bothTrusted = [this] {
        const std::string path = dir.File("both.pem");
        testing::WriteFile(path, testing::ReadFile(good.certFile) + testing::ReadFile(other.certFile));
        return path;
    }();
};

const Certificates& Certs() {
    // Destroyed at exit, which removes the directory: no test run leaves files behind.
    static const Certificates certs;
    return certs;
}

class Ftps : public ::testing::Test {
protected:
    void SetUp() override {
        m_page = m_dir.File("page.htm");
        testing::WriteFile(m_page, kPage);
        m_ftp.SetHost("127.0.0.1");
        m_ftp.SetPort(m_server.Port());
        m_ftp.SetUser("publisher");
        m_ftp.SetPassword("secret");
        m_ftp.SetPassive(true);
        m_ftp.SetTransferType(ftASCII);
        m_ftp.SetReplyTimeout(10000);
        m_ftp.SetConnectTimeout(10000);
        m_ftp.SetSendTimeout(10000);
        m_ftp.SetAcceptTimeout(10000);
    }
    void TearDown() override { m_ftp.CloseConnection(); }

    void Serve(const TestCertificate& cert) { m_server.EnableTls(cert.certFile, cert.keyFile); }
    void Use(const std::string& trustFile, const std::string& fingerprint = "") {
        m_ftp.SetTlsSettings(MakeTlsSettings("explicittls", trustFile, fingerprint));
    }
    void Publish() {
        m_ftp.OpenSession(true);
        m_ftp.StoreFile(m_page, "ipaddress.htm", false);
        m_ftp.CloseConnection();
    }
    // Runs a publication that must fail with E and `message`; returns the commands the server saw.
    template <typename E>
    Lines PublishFails(const std::string& message) {
        try {
            Publish();
            ADD_FAILURE() << "no exception";
        } catch (const E& error) {
            EXPECT_EQ(error.Message(), message);
        }
        EXPECT_TRUE(m_server.WaitUntilIdle() || m_ftp.Socket().IsOpen());
        return m_server.Commands();
    }

    TempDir m_dir;
    std::string m_page;
    ScriptedFtpServer m_server;
    TIdFTP m_ftp;
};

TEST_F(Ftps, ProtectedConversationPassiveAndActiveResumesTheSession) {
    Serve(Certs().good);
    Use(Certs().good.certFile);
    std::vector<std::pair<TlsPeerInfo, bool>> handshakes;
    m_ftp.SetOnTlsEstablished([&](const TlsPeerInfo& info, bool data) { handshakes.emplace_back(info, data); });
    Publish();
    m_ftp.SetPassive(false);
    Publish();
    ASSERT_TRUE(m_server.WaitUntilIdle());
    const Lines commands = m_server.Commands();
    ASSERT_EQ(commands.size(), 18u);
    EXPECT_EQ(Lines(commands.begin(), commands.begin() + 9), Plus(kLogin, {"PASV", "STOR ipaddress.htm"}));
    EXPECT_EQ(Lines(commands.begin() + 9, commands.begin() + 16), kLogin);
    EXPECT_EQ(commands[16].rfind("PORT 127,0,0,1,", 0), 0u);
    EXPECT_EQ(commands[17], "STOR ipaddress.htm");
    EXPECT_EQ(m_server.Uploads(), (Lines{kPage, kPage}));
    EXPECT_EQ(m_server.ResumedDataConnections(), 2);
    ASSERT_EQ(handshakes.size(), 4u);
    EXPECT_FALSE(handshakes[0].second);
    EXPECT_TRUE(handshakes[1].second);
    EXPECT_TRUE(handshakes[1].first.resumed);
    EXPECT_EQ(handshakes[0].first.protocol, "TLSv1.3");
    EXPECT_EQ(handshakes[0].first.acceptedBy, "system store and trust file");
    EXPECT_EQ(FormatFingerprint(handshakes[0].first.fingerprint), Certs().good.fingerprint);
}

TEST_F(Ftps, NoneKeepsThePlainConversation) {
    m_ftp.SetTlsSettings(MakeTlsSettings("", "", ""));
    Publish();
    m_ftp.SetTlsSettings(MakeTlsSettings("NONE", "", "not even a fingerprint"));
    Publish();
    ASSERT_TRUE(m_server.WaitUntilIdle());
    const Lines plain = {"user publisher", "pass secret", "type A", "syst", "PASV", "STOR ipaddress.htm"};
    EXPECT_EQ(m_server.Commands(), Plus(plain, plain));
    EXPECT_EQ(m_server.ControlBytes().find("AUTH"), std::string::npos);
}

TEST_F(Ftps, UnusableSettingsNeverMeanPlainFtp) {
    EXPECT_THROW(MakeTlsSettings("SSL", "", ""), EIdTLSLibraryError);
    EXPECT_THROW(MakeTlsSettings("ExplicitTLS", "", "AB:CD"), EIdTLSLibraryError);
    // A fingerprint as the tools print it, or typed in lower case with spaces: the same value.
    const std::string typed = "  " + Certs().good.fingerprint + " ";
    std::string lower = Certs().good.fingerprint;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(MakeTlsSettings("explicitTLS", "", typed).fingerprint, *NormalizeFingerprint(lower));
    testing::WriteFile(m_dir.File("empty.pem"), "");
    testing::WriteFile(m_dir.File("notpem.pem"), "-----BEGIN CERTIFICATE-----\nnot base64\n");
    // A FIFO would hold an open for reading until a writer comes, for ever.
    ASSERT_EQ(::mkfifo(m_dir.File("fifo.pem").c_str(), 0600), 0);
    const std::pair<std::string, std::string> cases[] = {
        {m_dir.File("missing.pem"), "not found"},
        {m_dir.File("empty.pem"), "no PEM certificate in it"},
        {m_dir.File("notpem.pem"), "no PEM certificate in it"},
        {m_dir.File("fifo.pem"), "not a regular file"},
        {m_dir.Path(), "not a regular file"},
    };
    for (const auto& [trust, problem] : cases) {
        Use(trust);
        try {
            m_ftp.OpenSession(true);
            ADD_FAILURE() << trust;
        } catch (const EIdTLSLibraryError& error) {
            EXPECT_EQ(error.Message(), "Cannot load TLS trust file " + trust + ": " + problem);
        }
    }
    // Refused before connecting.
    EXPECT_EQ(m_server.ControlConnections(), 0);
}

TEST_F(Ftps, RefusalsEndTheSessionWithTheServersLine) {
    Serve(Certs().good);
    Use(Certs().good.certFile);
    m_server.Script("AUTH", Say("500 Command \"AUTH\" not understood.\r\n"));
    EXPECT_EQ(PublishFails<EIdProtocolReplyError>("500 Command \"AUTH\" not understood."), Lines{"AUTH TLS"});

    m_server.Script("AUTH", Say("234 Proceed.\r\n"));
    m_server.Script("PBSZ", Say("503 Not now.\r\n"));
    EXPECT_EQ(PublishFails<EIdProtocolReplyError>("503 Not now."),
              (Lines{"AUTH TLS", "AUTH TLS", "user publisher", "pass secret", "PBSZ 0"}));

    m_server.Script("PBSZ", Say("200 PBSZ=0\r\n"));
    m_server.Script("PROT", Say("536 Only clear.\r\n"));
    const Lines commands = PublishFails<EIdProtocolReplyError>("536 Only clear.");
    // No PASV ever followed a refused protection.
    EXPECT_EQ(Lines(commands.end() - 5, commands.end()),
              (Lines{"AUTH TLS", "user publisher", "pass secret", "PBSZ 0", "PROT P"}));
    EXPECT_EQ(m_server.DataConnections(), 0);
    EXPECT_FALSE(m_ftp.Socket().IsOpen());
}

TEST_F(Ftps, BytesPipelinedAfterThe234AreNeverReadAsReplies) {
    Serve(Certs().good);
    Use(Certs().good.certFile);
    m_server.Script("AUTH", Say("234 Proceed.\r\n230 Forged login.\r\n"));
    EXPECT_EQ(PublishFails<EIdProtocolReplyError>("Unexpected data after the 234 reply to AUTH TLS."),
              Lines{"AUTH TLS"});
    EXPECT_FALSE(m_ftp.Socket().IsOpen());
}

TEST_F(Ftps, SilenceOrPlainTextAfterThe234) {
    Serve(Certs().good);
    Use(Certs().good.certFile);
    ScriptedReply silent = Say("234 Proceed.\r\n");
    silent.after = ScriptedReply::After::Silence;
    m_server.Script("AUTH", silent);
    testing::FakeClock clock;
    m_ftp.SetClock(clock);
    m_ftp.SetReplyTimeout(30000);
    const std::int64_t start = clock.tick;
    PublishFails<EIdReplyTimeout>("No TLS handshake from the server within 30000 ms.");
    EXPECT_GE(clock.tick - start, 30000);

    m_ftp.SetClock(platform::MachineClock());
    ScriptedReply clear = Say("234 Proceed.\r\n");
    clear.tls = ScriptedReply::Tls::AnswerInClear;
    m_server.Script("AUTH", clear);
    try {
        Publish();
        ADD_FAILURE();
    } catch (const EIdTLSHandshakeFailed& error) {
        EXPECT_EQ(error.Message().rfind("TLS handshake failed: ", 0), 0u) << error.Message();
    }
    EXPECT_EQ(m_server.Commands(), (Lines{"AUTH TLS", "AUTH TLS"}));
}

TEST_F(Ftps, CertificatesTheStoreRefuses) {
    struct Case {
        const TestCertificate* cert;
        std::string trust;
        std::string message;
    };
    const std::vector<Case> cases = {
        {&Certs().good, "", "Server certificate rejected: self-signed certificate"},
        {&Certs().expired, Certs().expired.certFile, "Server certificate rejected: certificate has expired"},
        {&Certs().otherName, Certs().otherName.certFile, "Server certificate rejected: IP address mismatch"},
    };
    for (const Case& c : cases) {
        ScriptedFtpServer server;
        server.EnableTls(c.cert->certFile, c.cert->keyFile);
        m_ftp.SetPort(server.Port());
        Use(c.trust);
        try {
            Publish();
            ADD_FAILURE() << c.message;
        } catch (const EIdTLSCertificateRejected& error) {
            EXPECT_EQ(error.Message(), c.message);
            EXPECT_NE(error.VerifyResult(), 0);
        }
        ASSERT_TRUE(server.WaitUntilIdle());
        EXPECT_EQ(server.Commands(), Lines{"AUTH TLS"}) << c.message;
    }
}

TEST_F(Ftps, PinnedFingerprintSkipsChainAndNameButNothingElse) {
    // Self-signed, for another name, no trust file: the pinned fingerprint alone accepts it.
    m_server.EnableTls(Certs().otherName.certFile, Certs().otherName.keyFile);
    std::string typed = Certs().otherName.fingerprint;
    for (char& c : typed) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    Use("", typed);
    Publish();
    ASSERT_TRUE(m_server.WaitUntilIdle());
    EXPECT_EQ(m_server.Commands(), Plus(kLogin, {"PASV", "STOR ipaddress.htm"}));

    Use("", Certs().good.fingerprint);
    const std::string presented = Certs().otherName.fingerprint;
    // Nothing is sent after the handshake.
    EXPECT_EQ(PublishFails<EIdTLSFingerprintMismatch>("Server certificate fingerprint " + presented +
                                                      " does not match the trusted fingerprint"),
              Plus(Plus(kLogin, {"PASV", "STOR ipaddress.htm"}), {"AUTH TLS"}));
}

TEST_F(Ftps, DataConnectionMustHandshakeWithTheSameCertificate) {
    m_server.EnableTls(Certs().good.certFile, Certs().good.keyFile, Certs().other.certFile, Certs().other.keyFile);
    Use(Certs().bothTrusted);
    ScriptedReply garbage = testing::AcceptUpload();
    garbage.dataTls = ScriptedReply::DataTls::Garbage;
    ScriptedReply other = testing::AcceptUpload();
    other.dataTls = ScriptedReply::DataTls::OtherCertificate;
    m_server.Script("STOR", {garbage, other});
    m_ftp.OpenSession(true);
    try {
        m_ftp.StoreFile(m_page, "ipaddress.htm", false);
        ADD_FAILURE();
    } catch (const EIdTLSHandshakeFailed& error) {
        EXPECT_EQ(error.Message().rfind("TLS handshake failed: ", 0), 0u) << error.Message();
    }
    // As for any failed data connection: the control connection stays open and logged in.
    EXPECT_TRUE(m_ftp.Socket().IsOpen());
    m_ftp.CloseConnection();

    // Another certificate the trust file would accept, but not the control connection's.
    m_ftp.SetPassive(false);
    m_ftp.OpenSession(true);
    EXPECT_THROW(m_ftp.StoreFile(m_page, "ipaddress.htm", false), EIdTLSFingerprintMismatch);
    m_ftp.CloseConnection();
    ASSERT_TRUE(m_server.WaitUntilIdle());
    // The second server saw its handshake finish and then only our close: not one byte of the page.
    EXPECT_EQ(m_server.Uploads(), Lines{""});
}

TEST_F(Ftps, ClientDestroyedAfterAFailedStepClosesTlsOnALiveClock) {
    // The owner drops the client still logged in over TLS, as the program does at its end after a failed
    // publication: closing that connection must not wait on a clock that is already gone.
    Serve(Certs().good);
    for (const auto& [verb, reply] :
         {std::pair{"STOR", "550 Permission denied.\r\n"}, std::pair{"PASV", "502 Not implemented.\r\n"}}) {
        m_server.Script(verb, Say(reply));
        auto client = std::make_unique<TIdFTP>();
        client->SetHost("127.0.0.1");
        client->SetPort(m_server.Port());
        client->SetUser("publisher");
        client->SetPassword("secret");
        client->SetPassive(true);
        client->SetTlsSettings(MakeTlsSettings("explicittls", Certs().good.certFile, ""));
        client->OpenSession(true);
        EXPECT_THROW(client->StoreFile(m_page, "ipaddress.htm", false), EIdProtocolReplyError) << verb;
        ASSERT_TRUE(client->Socket().IsOpen()) << verb;
        client.reset();
        EXPECT_TRUE(m_server.WaitUntilIdle()) << verb;
    }
}

// ---- The channel under the socket handle, against an in-process OpenSSL server ----

class TlsChannelPair : public ::testing::Test {
protected:
    // Starts a server thread that accepts one connection, runs the handshake, then `behaviour`.
    void StartServer(std::function<void(SSL*, int)> behaviour) {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof sa;
        ASSERT_EQ(::bind(m_listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        ASSERT_EQ(::listen(m_listener, 1), 0);
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&sa), &length);
        m_port = ntohs(sa.sin_port);
        m_thread = std::thread([this, behaviour] {
            SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
            SSL_CTX_use_certificate_file(ctx, Certs().good.certFile.c_str(), SSL_FILETYPE_PEM);
            SSL_CTX_use_PrivateKey_file(ctx, Certs().good.keyFile.c_str(), SSL_FILETYPE_PEM);
            const int fd = ::accept(m_listener, nullptr, nullptr);
            SSL* ssl = SSL_new(ctx);
            SSL_set_fd(ssl, fd);
            if (SSL_accept(ssl) == 1)
                behaviour(ssl, fd);
            SSL_free(ssl);
            ::close(fd);
            SSL_CTX_free(ctx);
            ERR_clear_error();
        });
        m_client.SetHost("127.0.0.1");
        m_client.SetPort(m_port);
        m_client.ConnectToHost();
        TlsContext context(MakeTlsSettings("ExplicitTLS", Certs().good.certFile, ""));
        m_client.Socket().StartTls(context, "127.0.0.1", nullptr, "", 10000);
    }
    void TearDown() override {
        m_client.CloseConnection();
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_listener);
    }

    int m_listener = -1;
    int m_port = 0;
    std::thread m_thread;
    TIdTCPClient m_client;
};

TEST_F(TlsChannelPair, PendingBytesTicketsAndCloseNotify) {
    std::atomic<int> shutdownSeen{-1};
    StartServer([&](SSL* ssl, int) {
        // TLS 1.3 sent its session tickets at the end of the handshake; the data comes a while later.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        SSL_write(ssl, "one\r\ntwo\r\n", 10);
        char buffer[64];
        const int n = SSL_read(ssl, buffer, sizeof buffer);
        shutdownSeen = n <= 0 && SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN ? 1 : 0;
    });
    TIdSocketHandle& handle = m_client.Socket();
    // Records holding only tickets are neither data nor the end of the stream.
    ASSERT_TRUE(handle.WaitReadable(5000));
    char area[4];
    ASSERT_EQ(handle.ReceiveBytes(area, 3), 3);
    EXPECT_EQ(std::string(area, 3), "one");
    // The rest is decrypted and waiting: readable at once, with nothing left on the socket itself.
    EXPECT_TRUE(handle.WaitReadable(0));
    EXPECT_EQ(m_client.ReadLine("", 1000), "");  // the CR LF after "one"
    EXPECT_EQ(m_client.ReadLine("", 1000), "two");
    m_client.CloseConnection();
    m_thread.join();
    EXPECT_EQ(shutdownSeen, 1);
}

TEST_F(TlsChannelPair, PeerGoneWhileWritingIsAnErrorNotSigpipe) {
    StartServer([](SSL*, int fd) { ::shutdown(fd, SHUT_RDWR); });
    m_thread.join();
    const std::string chunk(65536, 'x');
    // The process would die of SIGPIPE here if any write skipped MSG_NOSIGNAL.
    EXPECT_THROW(
        for (int i = 0; i < 64; ++i) m_client.WriteBytes(chunk.data(), static_cast<int>(chunk.size())),
        EIdSocketError);
}

// ---- Real servers that require TLS: vsftpd and pyftpdlib ----

enum class Peer { Pyftpdlib, Vsftpd };

struct RealPeers {
    std::unique_ptr<testing::RealFtpServer> pyftpdlib, vsftpd;
    std::string pyftpdlibWhy, vsftpdWhy;
    TempDir files;
};

class RealFtps : public ::testing::TestWithParam<std::tuple<Peer, bool>> {
protected:
    static void SetUpTestSuite() {
        s_peers = new RealPeers;
        const testing::ServerTls tls{Certs().good.certFile, Certs().good.keyFile};
        s_peers->pyftpdlib = testing::StartPyftpdlibTls(&s_peers->pyftpdlibWhy, tls);
        s_peers->vsftpd = testing::StartVsftpdTls(&s_peers->vsftpdWhy, tls);
        std::string page = "<html>\r\n";
        while (page.size() < 2048) page += "<p>This machine is at 192.0.2.7.</p>\r\n";
        testing::WriteFile(s_peers->files.File("page.htm"), page);
        std::string large(5 * 1024 * 1024, '\0');
        std::mt19937 random(12);
        for (char& c : large) c = static_cast<char>(random());
        testing::WriteFile(s_peers->files.File("large.bin"), large);
    }
    static void TearDownTestSuite() {
        delete s_peers;
        s_peers = nullptr;
    }
    void SetUp() override {
        if (std::get<0>(GetParam()) == Peer::Pyftpdlib) {
            ASSERT_NE(s_peers->pyftpdlib, nullptr) << s_peers->pyftpdlibWhy;
            m_server = s_peers->pyftpdlib.get();
        } else {
            if (s_peers->vsftpd == nullptr && ::geteuid() != 0)
                GTEST_SKIP() << s_peers->vsftpdWhy;
            ASSERT_NE(s_peers->vsftpd, nullptr) << s_peers->vsftpdWhy;
            m_server = s_peers->vsftpd.get();
        }
        m_ftp.SetHost("127.0.0.1");
        m_ftp.SetPort(m_server->Port());
        m_ftp.SetUser(m_server->User());
        m_ftp.SetPassword(m_server->Password());
        m_ftp.SetPassive(std::get<1>(GetParam()));
        m_ftp.SetTransferType(ftASCII);
    }
    void TearDown() override { m_ftp.CloseConnection(); }

    void Upload(const std::string& local, const std::string& remote) {
        m_ftp.OpenSession(true);
        m_ftp.StoreFile(s_peers->files.File(local), remote, false);
        m_ftp.CloseConnection();
    }
    // pyftpdlib stores the ASCII type's CR LF as LF; vsftpd stores the bytes unchanged.
    std::string Expected(const std::string& local) const {
        std::string bytes = testing::ReadFile(s_peers->files.File(local));
        if (std::get<0>(GetParam()) == Peer::Pyftpdlib) {
            for (std::size_t at = bytes.find("\r\n"); at != std::string::npos; at = bytes.find("\r\n", at))
                bytes.erase(at, 1);
        }
        return bytes;
    }

    static RealPeers* s_peers;
    testing::RealFtpServer* m_server = nullptr;
    TIdFTP m_ftp;
};

RealPeers* RealFtps::s_peers = nullptr;

TEST_P(RealFtps, PublishesOverTlsWithTrustFileOrFingerprint) {
    bool resumed = false;
    m_ftp.SetOnTlsEstablished([&](const TlsPeerInfo& info, bool data) { resumed = resumed || (data && info.resumed); });
    m_ftp.SetTlsSettings(MakeTlsSettings("ExplicitTLS", Certs().good.certFile, ""));
    Upload("page.htm", "ipaddress.htm");
    EXPECT_EQ(m_server->ReadFile("ipaddress.htm"), Expected("page.htm"));
    EXPECT_TRUE(resumed);
    m_ftp.SetTlsSettings(MakeTlsSettings("ExplicitTLS", "", Certs().good.fingerprint));
    Upload("large.bin", "large.bin");
    EXPECT_EQ(m_server->ReadFile("large.bin"), Expected("large.bin"));
}

TEST_P(RealFtps, SystemStoreRejectsTheSelfSignedCertificate) {
    m_ftp.SetTlsSettings(MakeTlsSettings("ExplicitTLS", "", ""));
    try {
        m_ftp.OpenSession(true);
        ADD_FAILURE();
    } catch (const EIdTLSCertificateRejected& error) {
        EXPECT_EQ(error.Message(), "Server certificate rejected: self-signed certificate");
    }
}

INSTANTIATE_TEST_SUITE_P(PassiveAndActive, RealFtps,
                         ::testing::Combine(::testing::Values(Peer::Pyftpdlib, Peer::Vsftpd), ::testing::Bool()),
                         [](const auto& testInfo) {
                             return std::string(std::get<0>(testInfo.param) == Peer::Vsftpd ? "vsftpd" : "pyftpdlib") +
                                    (std::get<1>(testInfo.param) ? "Passive" : "Active");
                         });

// Over IPv6 the certificate is checked against the literal as an IP address, real servers included.
TEST(FtpsOverIPv6, RealServersAcceptTheAddressAndAnotherAddressIsRefused) {
    if (!testing::IPv6LoopbackAvailable())
        GTEST_SKIP() << "no IPv6 loopback (::1) on this machine";
    TempDir dir;
    const TestCertificate v6 = MakeCertificate(dir.Path(), "v6", {"IPv6 loopback", "IP:::1", -1, 2});
    const testing::ServerTls tls{v6.certFile, v6.keyFile};
    std::string why;
    std::vector<std::unique_ptr<testing::RealFtpServer>> servers;
    servers.push_back(testing::StartPyftpdlibOn(&why, "::1", &tls));
    ASSERT_NE(servers.back(), nullptr) << why;
    if (::geteuid() == 0) {
        servers.push_back(testing::StartVsftpdOn(&why, "::1", &tls));
        ASSERT_NE(servers.back(), nullptr) << why;
    }
    const auto configure = [&](TIdFTP& ftp, int port, const std::string& user, const std::string& password) {
        ftp.SetHost("[::1]");
        ftp.SetPort(port);
        ftp.SetUser(user);
        ftp.SetPassword(password);
        ftp.SetIPv6Allowed(true);
        ftp.SetReplyTimeout(10000);
        ftp.SetConnectTimeout(10000);
        ftp.SetAcceptTimeout(10000);
        ftp.SetTlsSettings(MakeTlsSettings("ExplicitTLS", v6.certFile, ""));
    };
    for (const auto& server : servers) {
        for (const bool passive : {true, false}) {
            TIdFTP ftp;
            configure(ftp, server->Port(), server->User(), server->Password());
            ftp.SetPassive(passive);
            const std::string name = passive ? "passive.htm" : "active.htm";
            ftp.OpenSession(true);
            ftp.StoreBytes(kPage, name, false);
            ftp.CloseConnection();
            EXPECT_EQ(server->ReadFile(name), kPage) << name;
        }
    }
    // A certificate for 127.0.0.1 only does not name ::1.
    ScriptedFtpServer scripted("::1");
    scripted.EnableTls(Certs().good.certFile, Certs().good.keyFile);
    TIdFTP ftp;
    configure(ftp, scripted.Port(), "publisher", "secret");
    ftp.SetTlsSettings(MakeTlsSettings("ExplicitTLS", Certs().good.certFile, ""));
    try {
        ftp.OpenSession(true);
        ADD_FAILURE() << "accepted a certificate for another address";
    } catch (const EIdTLSCertificateRejected& error) {
        EXPECT_EQ(error.Message(), "Server certificate rejected: IP address mismatch");
    }
}

}  // namespace
}  // namespace signposter::ftp
