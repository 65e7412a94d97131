// The client against real servers on loopback: pyftpdlib and vsftpd, passive and active, a page-sized
// file and a large one. The client announces "type A" and real servers rightly convert line ends of
// ASCII uploads (pyftpdlib stores CR LF as LF, others drop CR), so files are compared without CR bytes
// here; the exact bytes are checked against the scripted server.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>

#include "ftp/id_ftp.h"
#include "net/id_exceptions.h"
#include "real_ftp_servers.h"

namespace signposter::ftp {
namespace {

namespace fs = std::filesystem;
using testing::RealFtpServer;

enum class Server { Pyftpdlib, Vsftpd };

std::string WithoutCr(std::string bytes) {
    bytes.erase(std::remove(bytes.begin(), bytes.end(), '\r'), bytes.end());
    return bytes;
}

std::string Page() {
    std::string page =
        "<html>\r\n<head>\r\n<meta http-equiv=\"refresh\" content=\"0; URL=http://192.0.2.7/\">\r\n";
    while (page.size() < 2000) page += "<p>The address of this machine is 192.0.2.7.</p>\r\n";
    return page + "</html>\r\n";
}

std::string LargeFile() {
    std::string bytes(5 * 1024 * 1024, '\0');
    std::mt19937 random(7);
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

struct Servers {
    std::unique_ptr<RealFtpServer> pyftpdlib;
    std::unique_ptr<RealFtpServer> vsftpd;
    std::string pyftpdlibWhy;
    std::string vsftpdWhy;
};

class RealServer : public ::testing::TestWithParam<std::tuple<Server, bool>> {
protected:
    static void SetUpTestSuite() {
        s_servers = new Servers;
        s_servers->pyftpdlib = testing::StartPyftpdlib(&s_servers->pyftpdlibWhy);
        s_servers->vsftpd = testing::StartVsftpd(&s_servers->vsftpdWhy);
        s_dir = fs::temp_directory_path() / ("sp-real-ftp-" + std::to_string(::getpid()));
        fs::create_directories(s_dir);
        std::ofstream(s_dir / "page.htm", std::ios::binary) << Page();
        std::ofstream(s_dir / "large.bin", std::ios::binary) << LargeFile();
    }
    static void TearDownTestSuite() {
        delete s_servers;
        s_servers = nullptr;
        fs::remove_all(s_dir);
    }

    void SetUp() override {
        const Server kind = std::get<0>(GetParam());
        if (kind == Server::Pyftpdlib) {
            ASSERT_NE(s_servers->pyftpdlib, nullptr) << s_servers->pyftpdlibWhy;
            m_server = s_servers->pyftpdlib.get();
        } else {
            if (s_servers->vsftpd == nullptr && ::geteuid() != 0)
                GTEST_SKIP() << s_servers->vsftpdWhy;
            ASSERT_NE(s_servers->vsftpd, nullptr) << s_servers->vsftpdWhy;
            m_server = s_servers->vsftpd.get();
        }
        m_ftp.SetHost("127.0.0.1");
        m_ftp.SetPort(m_server->Port());
        m_ftp.SetUser(m_server->User());
        m_ftp.SetPassword(m_server->Password());
        m_ftp.SetPassive(std::get<1>(GetParam()));
        m_ftp.SetTransferType(ftASCII);
        m_ftp.SetReplyTimeout(10000);
        m_ftp.SetConnectTimeout(10000);
        m_ftp.SetAcceptTimeout(10000);
        m_ftp.SetSendTimeout(10000);
    }

    void Upload(const std::string& local, const std::string& remote) {
        m_ftp.OpenSession(true);
        m_ftp.StoreFile((s_dir / local).string(), remote, false);
        m_ftp.CloseConnection();
    }
    std::string Local(const std::string& name) {
        std::ifstream in(s_dir / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string Remote(const std::string& name) const { return m_server->ReadFile(name); }

    static inline Servers* s_servers = nullptr;
    static inline fs::path s_dir;
    RealFtpServer* m_server = nullptr;
    TIdFTP m_ftp;
};

TEST_P(RealServer, PageAndLargeFileArriveWhole) {
    const std::string suffix = std::get<1>(GetParam()) ? "-passive" : "-active";
    Upload("page.htm", "page" + suffix + ".htm");
    Upload("large.bin", "large" + suffix + ".bin");
    const std::string page = Remote("page" + suffix + ".htm");
    EXPECT_EQ(WithoutCr(page), WithoutCr(Local("page.htm")));
    const std::string large = Remote("large" + suffix + ".bin");
    EXPECT_EQ(WithoutCr(large).size(), WithoutCr(Local("large.bin")).size());
    EXPECT_TRUE(WithoutCr(large) == WithoutCr(Local("large.bin")));
}

TEST_P(RealServer, ReplacesAnExistingFileAndRefusesAWrongPassword) {
    const std::string name = std::string("again") + (std::get<1>(GetParam()) ? "-p" : "-a") + ".htm";
    Upload("large.bin", name);
    Upload("page.htm", name);
    EXPECT_EQ(WithoutCr(Remote(name)), WithoutCr(Local("page.htm")));

    m_ftp.SetPassword("wrong");
    try {
        m_ftp.OpenSession(true);
        FAIL() << "logged in with a wrong password";
    } catch (const EIdProtocolReplyError& e) {
        EXPECT_EQ(e.ReplyCode(), 530);
    }
    EXPECT_FALSE(m_ftp.IsConnected());
}

TEST_P(RealServer, AtomicStoreReplacesThePageAndABrokenTransferLeavesItWhole) {
    const std::string name = std::string("atomic") + (std::get<1>(GetParam()) ? "-p" : "-a") + ".htm";
    const std::string page = Local("page.htm");
    auto temporaryFiles = [&] {
        int count = 0;
        for (const auto& entry : fs::directory_iterator(m_server->Root()))
            count += entry.path().filename().string().rfind("." + name + ".signposter-", 0) == 0;
        return count;
    };
    Upload("large.bin", name);
    m_ftp.OpenSession(true);
    m_ftp.StoreBytesAtomically(page, name);
    EXPECT_EQ(WithoutCr(Remote(name)), WithoutCr(page));

    // The link breaks after the first megabyte of a large upload: the page stays whole, nothing is left.
    const std::string large = Local("large.bin");
    std::int64_t sent = 0;
    m_ftp.SetOnWork([&](TIdComponent*, TWorkMode mode, std::int32_t count) {
        if (mode == TWorkMode::Write && (sent += count) > 1024 * 1024)
            throw EIdSocketError(10054, "Socket Error # 10054\r\nConnection reset by peer.");
    });
    EXPECT_THROW(m_ftp.StoreBytesAtomically(large, name), EIdSocketError);
    m_ftp.SetOnWork(nullptr);
    EXPECT_EQ(WithoutCr(Remote(name)), WithoutCr(page));
    EXPECT_EQ(temporaryFiles(), 0);
    m_ftp.CloseConnection();
}

INSTANTIATE_TEST_SUITE_P(LoopbackServers, RealServer,
                         ::testing::Combine(::testing::Values(Server::Pyftpdlib, Server::Vsftpd),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<RealServer::ParamType>& p) {
                             return std::string(std::get<0>(p.param) == Server::Pyftpdlib ? "Pyftpdlib"
                                                                                          : "Vsftpd") +
                                    (std::get<1>(p.param) ? "Passive" : "Active");
                         });

}  // namespace
}  // namespace signposter::ftp
