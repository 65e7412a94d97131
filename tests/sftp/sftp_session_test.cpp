// The SFTP client against OpenSSH's sshd on loopback, with host keys of its own and a local test user.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include "platform/stop_request.h"
#include "real_ftp_servers.h"
#include "sftp/sftp_client.h"

namespace signposter::sftp {
namespace {

namespace fs = std::filesystem;
using testing::RealSshServer;

std::string RandomBytes(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    std::mt19937 random(seed);
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class Sftp : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_server = testing::StartSshd(&s_why).release(); }
    static void TearDownTestSuite() {
        delete s_server;
        s_server = nullptr;
    }
    void SetUp() override {
        if (s_server == nullptr && ::geteuid() != 0)
            GTEST_SKIP() << s_why;
        ASSERT_NE(s_server, nullptr) << s_why;
        m_settings.host = "127.0.0.1";
        m_settings.port = s_server->Port();
        m_settings.user = s_server->User();
        m_settings.password = s_server->Password();
        m_settings.pinnedHostKey = s_server->hostKeyFingerprint;
        m_settings.knownHostsFile = s_server->workDir + "/no_known_hosts";
        m_client.SetOnStep([this](const std::string& step) { m_steps += step + "\n"; });
    }
    void Configure() { m_client.SetSettings(m_settings); }

    static RealSshServer* s_server;
    static std::string s_why;
    SshSettings m_settings;
    SftpClient m_client;
    std::string m_steps;
};

RealSshServer* Sftp::s_server = nullptr;
std::string Sftp::s_why;

TEST_F(Sftp, UploadsByteForByteWithPasswordOrKeyAndLeavesNoTemporaryFile) {
    const std::string page = RandomBytes(300 * 1024, 1);  // several writes in flight, CR and LF bytes
    // A monitor publishes for months: a session must give back its descriptor.
    auto openDescriptors = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
    };
    const auto descriptorsBefore = openDescriptors();
    Configure();
    m_client.OpenSession();
    m_client.StoreAtomically(page, "page.htm");
    m_client.CloseConnection();
    EXPECT_EQ(s_server->ReadFile("page.htm"), page);
    EXPECT_NE(m_steps.find("accepted by pinned SshHostKey"), std::string::npos) << m_steps;
    EXPECT_NE(m_steps.find("with the password"), std::string::npos) << m_steps;
    EXPECT_NE(m_steps.find("(posix-rename)"), std::string::npos) << m_steps;
    EXPECT_EQ(m_steps.find(m_settings.password), std::string::npos) << "a step shows the password";

    // The key file, the host accepted by known_hosts; the page keeps the permissions it had.
    ::chmod((s_server->Root() + "/page.htm").c_str(), 0640);
    m_settings.keyFile = s_server->clientKeyFile;
    m_settings.password.clear();
    m_settings.pinnedHostKey.clear();
    m_settings.knownHostsFile = s_server->WriteKnownHosts(s_server->hostKeyLine);
    Configure();
    m_steps.clear();
    m_client.OpenSession();
    m_client.StoreAtomically("<html>new</html>", "page.htm");
    m_client.CloseConnection();
    EXPECT_EQ(s_server->ReadFile("page.htm"), "<html>new</html>");
    EXPECT_EQ(fs::status(s_server->Root() + "/page.htm").permissions(), fs::perms(0640));
    EXPECT_NE(m_steps.find("accepted by known_hosts"), std::string::npos) << m_steps;
    EXPECT_NE(m_steps.find("with the key in"), std::string::npos) << m_steps;
    EXPECT_EQ(std::distance(fs::directory_iterator(s_server->Root()), fs::directory_iterator()), 1);
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
}

TEST_F(Sftp, AReaderNeverSeesAPartialPageDuring200Uploads) {
    const std::string first = RandomBytes(96 * 1024, 2), second = RandomBytes(160 * 1024, 3);
    Configure();
    m_client.OpenSession();
    m_client.StoreAtomically(first, "page.htm");
    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, partial{0};
    std::thread reader([&] {
        while (!done) {
            const std::string seen = ReadFile(s_server->Root() + "/page.htm");
            if (seen != first && seen != second)
                ++partial;
            ++reads;
        }
    });
    // At least 200 uploads and 200 reads beside them, however busy the machine is.
    for (int i = 0; i < 200 || (reads < 200 && i < 5000); ++i)
        m_client.StoreAtomically(i % 2 ? first : second, "page.htm");
    done = true;
    reader.join();
    m_client.CloseConnection();
    EXPECT_EQ(partial, 0) << "of " << reads << " reads";
    EXPECT_GT(reads, 200);
}

TEST_F(Sftp, HostKeyPinnedUnknownOrChangedIsRefusedBeforeAnySecret) {
    auto refusal = [&]() -> std::string {
        Configure();
        m_steps.clear();
        try {
            m_client.OpenSession();
        } catch (const ESshHostKeyRejected& error) {
            EXPECT_EQ(m_steps.find("authenticat"), std::string::npos) << m_steps;
            EXPECT_FALSE(m_client.IsConnected());
            return std::string(error.ClassName()) + ": " + error.Message();
        }
        return "accepted";
    };
    m_settings.pinnedHostKey = "SHA256:" + std::string(43, 'A');
    EXPECT_NE(refusal().find("ESshHostKeyMismatch: The host key of [127.0.0.1]:"), std::string::npos);

    m_settings.pinnedHostKey.clear();
    const std::string unknown = refusal();
    EXPECT_NE(unknown.find("ESshHostKeyRejected"), std::string::npos) << unknown;
    EXPECT_NE(unknown.find("signposter-cli set SshHostKey=" + s_server->hostKeyFingerprint),
              std::string::npos)
        << unknown;

    m_settings.knownHostsFile = s_server->WriteKnownHosts(s_server->otherKeyLine);
    const std::string changed = refusal();
    EXPECT_NE(changed.find("ESshHostKeyMismatch: WARNING: the host key of [127.0.0.1]:"), std::string::npos)
        << changed;
    EXPECT_NE(changed.find("man-in-the-middle"), std::string::npos) << changed;

    // The probe says the same without refusing.
    const HostKeyInfo info = m_client.ProbeHostKey();
    EXPECT_EQ(info.fingerprint, s_server->hostKeyFingerprint);
    EXPECT_EQ(info.type, "ssh-ed25519");
    EXPECT_EQ(info.verdict, KnownHostsVerdict::Changed);
}

TEST_F(Sftp, WrongPasswordAndUnwritableDirectoryAreToldPlainly) {
    m_settings.password = "wrong";
    Configure();
    try {
        m_client.OpenSession();
        FAIL() << "logged in with a wrong password";
    } catch (const ESshAuthenticationFailed& error) {
        EXPECT_EQ(error.Message().rfind("Authentication failed for " + m_settings.user, 0), 0u)
            << error.Message();
    }

    fs::create_directory(s_server->Root() + "/locked");  // root's: the test user may not write there
    std::ofstream(s_server->Root() + "/locked/page.htm") << "old";
    m_settings.password = s_server->Password();
    Configure();
    m_client.OpenSession();
    try {
        m_client.StoreAtomically("new", "locked/page.htm");
        FAIL() << "stored in a directory it may not write";
    } catch (const ESftpPermissionDenied& error) {
        EXPECT_NE(error.Message().find("the directory 'locked/'"), std::string::npos) << error.Message();
    }
    EXPECT_EQ(s_server->ReadFile("locked/page.htm"), "old");
}

TEST_F(Sftp, AServerWithoutSftpIsToldPlainly) {
    std::string why;
    const auto bare = testing::StartSshd(&why, false);
    ASSERT_NE(bare, nullptr) << why;
    m_settings.port = bare->Port();
    m_settings.pinnedHostKey = bare->hostKeyFingerprint;
    Configure();
    EXPECT_THROW(m_client.OpenSession(), ESftpNoSubsystem);
}

// Relays one connection to the server until told to stall, then holds it open and silent.
// An IPv6 host, bracketed as in a URL: refused plainly unless IPv6 is allowed, then named in known_hosts as
// OpenSSH names it.
TEST_F(Sftp, AnIPv6HostIsReachedOnlyWhenAllowed) {
    std::string why;
    const auto six = testing::StartSshd(&why, true, "::1");
    if (!six)
        GTEST_SKIP() << "no sshd on ::1: " << why;
    m_settings.host = "[::1]";
    m_settings.port = six->Port();
    m_settings.pinnedHostKey.clear();
    m_settings.knownHostsFile = six->workDir + "/known_hosts";
    std::ofstream(m_settings.knownHostsFile) << "[::1]:" << six->Port() << " " << six->hostKeyLine << "\n";
    Configure();
    try {
        m_client.OpenSession();
        FAIL() << "connected over IPv6 without leave";
    } catch (const net::EIdSocketError& error) {
        EXPECT_EQ(error.Message(), "Cannot connect to [::1]: an IPv6 address, and only IPv4 is allowed");
    }
    m_settings.ipv6Allowed = true;
    Configure();
    m_client.OpenSession();
    m_client.StoreAtomically("six", "page.htm");
    m_client.CloseConnection();
    EXPECT_EQ(six->ReadFile("page.htm"), "six");
    EXPECT_NE(m_steps.find("connected to ::1"), std::string::npos) << m_steps;
    EXPECT_NE(m_steps.find("accepted by known_hosts"), std::string::npos) << m_steps;
}

class StallingRelay {
public:
    explicit StallingRelay(int serverPort) {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_listener, 1);
        socklen_t length = sizeof address;
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this, serverPort] { Run(serverPort); });
    }
    ~StallingRelay() {
        m_done = true;
        m_thread.join();
        ::close(m_listener);
    }
    int Port() const { return m_port; }
    std::atomic<bool> stall{false};

private:
    void Run(int serverPort) {
        const int client = ::accept(m_listener, nullptr, nullptr);
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(serverPort));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address);
        pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        char buffer[65536];
        while (!m_done) {
            if (::poll(fds, 2, 20) <= 0 || stall)
                continue;
            for (int i = 0; i < 2; ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP)))
                    continue;
                const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n <= 0)
                    m_done = true;
                else if (::write(fds[1 - i].fd, buffer, static_cast<std::size_t>(n)) != n)
                    m_done = true;
            }
        }
        ::close(client);
        ::close(server);
    }
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

TEST_F(Sftp, AServerStallingAfterTheKeyExchangeIsLeftAtOnceOnStop) {
    StallingRelay relay(s_server->Port());
    platform::StopRequest stop;
    const platform::SystemClock clock(&stop);
    m_client.SetClock(clock);
    m_settings.port = relay.Port();
    m_settings.knownHostsFile = s_server->workDir + "/no_known_hosts";
    Configure();
    std::thread stopper;
    std::chrono::steady_clock::time_point requested;
    m_client.SetOnStep([&](const std::string& step) {
        if (step.rfind("key exchange done", 0) != 0)
            return;
        relay.stall = true;
        stopper = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            requested = std::chrono::steady_clock::now();
            stop.Request();
        });
    });
    EXPECT_THROW(m_client.OpenSession(), net::EIdStopped);
    const auto late = std::chrono::steady_clock::now() - requested;
    ASSERT_TRUE(stopper.joinable()) << "the key exchange never ended";
    stopper.join();
    EXPECT_LT(late, std::chrono::seconds(1));
    EXPECT_FALSE(m_client.IsConnected());
}

// What a hostile or careless local user leaves in the way: a page that is a symbolic link, a missing
// absolute directory, a key file that is a FIFO or that others may read, and the leftovers of stalled
// uploads.
TEST_F(Sftp, LinksKeysAndLeftoversAreHandledSafely) {
    const std::string root = s_server->Root();
    std::ofstream(root + "/target.htm") << "kept";
    ::chmod((root + "/target.htm").c_str(), 0600);
    ::symlink("target.htm", (root + "/link.htm").c_str());
    // Two hours old, fresh, and another page's: only the first is ours to remove.
    const std::string old = root + "/.page.htm.signposter-Ab3dE9", fresh = root + "/.page.htm.signposter-Zz0000",
                      other = root + "/.other.htm.signposter-Ab3dE9";
    for (const std::string& leftover : {old, fresh, other}) std::ofstream(leftover) << "half";
    const auto twoHoursAgo = fs::file_time_type::clock::now() - std::chrono::hours(2);
    fs::last_write_time(old, twoHoursAgo);
    fs::last_write_time(other, twoHoursAgo);

    Configure();
    m_client.OpenSession();
    m_client.StoreAtomically("<html>new</html>", "link.htm");
    EXPECT_EQ(fs::symlink_status(root + "/link.htm").type(), fs::file_type::regular);
    EXPECT_EQ(fs::status(root + "/link.htm").permissions(), fs::perms(0644));
    EXPECT_EQ(s_server->ReadFile("target.htm"), "kept");

    m_client.StoreAtomically("<html>new</html>", "page.htm");
    EXPECT_FALSE(fs::exists(old));
    EXPECT_TRUE(fs::exists(fresh));
    EXPECT_TRUE(fs::exists(other));
    EXPECT_NE(m_steps.find("removed .page.htm.signposter-Ab3dE9, left by an upload more than an hour ago"),
              std::string::npos)
        << m_steps;
    try {
        m_client.StoreAtomically("x", "/no-such-sp-directory/page.htm");
        FAIL() << "stored in a directory that does not exist";
    } catch (const ESftpStatusError& error) {
        EXPECT_NE(error.Message().find("the directory '/no-such-sp-directory/' does not exist"),
                  std::string::npos)
            << error.Message();
    }
    m_client.CloseConnection();
    for (const char* name : {"/target.htm", "/link.htm", "/page.htm"}) fs::remove(root + name);
    fs::remove(fresh);
    fs::remove(other);

    // The key file: a FIFO is refused at once instead of waiting for a writer, a readable key as OpenSSH
    // refuses it.
    const std::string fifo = s_server->workDir + "/key-fifo", open = s_server->workDir + "/key-open";
    ::mkfifo(fifo.c_str(), 0600);
    fs::copy_file(s_server->clientKeyFile, open, fs::copy_options::overwrite_existing);
    ::chmod(open.c_str(), 0644);
    const std::pair<std::string, std::string> refused[] = {
        {fifo, "Cannot use the key file " + fifo + ": it is missing, unreadable or not a regular file."},
        {open, "Cannot use the key file " + open + ": its permissions 0644 let others read it; make it private "
               "(chmod 600 " + open + ")."},
    };
    m_settings.password.clear();
    for (const auto& [keyFile, message] : refused) {
        m_settings.keyFile = keyFile;
        Configure();
        try {
            m_client.OpenSession();
            ADD_FAILURE() << "logged in with " << keyFile;
        } catch (const ESshKeyFileError& error) {
            EXPECT_EQ(error.Message(), message);
        }
        m_client.CloseConnection();
    }
}

}  // namespace
}  // namespace signposter::sftp
