#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <thread>

#include "ftp/real_ftp_servers.h"
#include "ftp/scripted_ftp_server.h"
#include "ftp/test_certificates.h"
#include "support/nginx_server.h"
#include "support/private_keyring.h"
#include "support/scoped_environment.h"
#include "support/scripted_http_server.h"
#include "support/temp_dir.h"

namespace signposter {
namespace {

using namespace signposter::testing;

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// How a run differs from the usual one.
struct Options {
    std::string input;         // standard input
    bool defaultTemp = false;  // no TMPDIR and no XDG_RUNTIME_DIR: the program picks its own
    bool asNobody = false;     // as a second user of the machine (needs root), running NobodysCopy()
    bool noNetlink = false;    // netlink sockets refused, as in a container without them
};

// Refuses netlink sockets to this process and what it executes, as a seccomp-confined container does.
bool RefuseNetlink() {
#if defined(__x86_64__)
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_NETLINK, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAFNOSUPPORT),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
#else
    return false;
#endif
}

// Runs signposter-cli with its own settings directory and temporary directory.
class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(Config());
        std::filesystem::create_directories(Temp());
    }
    std::string Config() const { return m_dir.File("config"); }
    std::string Temp() const { return m_dir.File("tmp"); }
    std::string SettingsFile() const { return Config() + "/signposter.ini"; }
    // The program as a second user can run it: the build tree may lie where only its owner can enter
    // (a checkout under /root).
    std::string NobodysCopy() const { return m_dir.File("signposter-cli"); }

    using EnvironmentValues = std::vector<std::pair<std::string, std::string>>;
    // The sanitizers' options as the second user needs them: a suppressions file in a checkout it cannot
    // enter stops its program before main ("failed to read suppressions file"), so it reads a copy here.
    EnvironmentValues SanitizerOptionsForNobody() const {
        EnvironmentValues values;
        for (const std::string name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS"}) {
            const char* value = std::getenv(name.c_str());
            std::string options = value ? value : "";
            const std::size_t at = options.find("suppressions=");
            if (at == std::string::npos)
                continue;
            const std::size_t from = at + std::string("suppressions=").size();
            const std::size_t end = std::min(options.find(':', from), options.size());
            const std::string copy = m_dir.File(name + ".supp");
            std::filesystem::copy_file(options.substr(from, end - from), copy,
                                       std::filesystem::copy_options::overwrite_existing);
            std::filesystem::permissions(copy, std::filesystem::perms(0644));
            values.emplace_back(name, options.replace(from, end - from, copy));
        }
        return values;
    }

    pid_t Start(const std::vector<std::string>& args, const Options& options = {}) {
        WriteFile(m_dir.File("in"), options.input);
        for (const char* name : {"in", "out", "err"}) {
            if (options.asNobody) {  // the second user must be able to take them as its own
                WriteFile(m_dir.File(name), name == std::string("in") ? options.input : "");
                std::filesystem::permissions(m_dir.File(name), std::filesystem::perms(0666));
            }
        }
        const auto sanitizerOptions = options.asNobody ? SanitizerOptionsForNobody() : EnvironmentValues{};
        const pid_t pid = ::fork();
        if (pid == 0) {
            for (const auto& [name, value] : sanitizerOptions) ::setenv(name.c_str(), value.c_str(), 1);
            ::setenv("XDG_CONFIG_HOME", Config().c_str(), 1);
            if (options.defaultTemp) {
                ::unsetenv("TMPDIR");
                ::unsetenv("XDG_RUNTIME_DIR");
            } else {
                ::setenv("TMPDIR", Temp().c_str(), 1);
            }
            if (options.asNobody && (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                                     ::setresuid(65534, 65534, 65534) != 0))
                ::_exit(126);
            if (options.noNetlink && !RefuseNetlink())
                ::_exit(125);
            ::freopen(m_dir.File("in").c_str(), "r", stdin);
            ::freopen(m_dir.File("out").c_str(), "w", stdout);
            ::freopen(m_dir.File("err").c_str(), "w", stderr);
            const std::string program = options.asNobody ? NobodysCopy() : std::string(SIGNPOSTER_CLI);
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            if (!m_script.empty()) {
                const std::string path = std::filesystem::path(SIGNPOSTER_CLI).parent_path().string() + ":" +
                                         (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
                ::setenv("PATH", path.c_str(), 1);
                argv = {const_cast<char*>("/bin/sh"), const_cast<char*>(m_script.c_str())};
            }
            for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        return pid;
    }
    RunResult Finish(pid_t pid) {
        int status = 0;
        // Every wait of the program is bounded well below this: a run still going after it is stuck, and
        // its threads' stacks say where before it is ended.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "signposter-cli did not end within 120 s";
                const std::string trace =
                    "gdb -p " + std::to_string(pid) +
                    " -batch -ex 'thread apply all bt' 2>/dev/null | grep -v '^\\[' >&2";
                if (std::system(trace.c_str()) != 0)
                    std::fprintf(stderr, "(no gdb for the stacks)\n");
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), ReadFile(m_dir.File("out")),
                ReadFile(m_dir.File("err"))};
    }
    RunResult Run(const std::vector<std::string>& args, const Options& options = {}) {
        return Finish(Start(args, options));
    }
    // Runs a command and sends SIGTERM `after` it started; the time from the signal to the exit.
    std::pair<RunResult, double> StopAfter(const std::vector<std::string>& args,
                                           std::chrono::milliseconds after) {
        const pid_t pid = Start(args);
        std::this_thread::sleep_for(after);
        const auto signalled = std::chrono::steady_clock::now();
        ::kill(pid, SIGTERM);
        RunResult result = Finish(pid);
        return {result, std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count()};
    }

    void PointAt(const RealFtpServer& server) {
        const RunResult set =
            Run({"set", "Host=127.0.0.1", "Port=" + std::to_string(server.Port()), "User=" + server.User(),
                 "Password=" + server.Password(), "RemotePath=/", "LastIP=192.0.2.99", "IgnoreIP=127.0.0.1"});
        ASSERT_EQ(set.status, 0) << set.err;
    }
    // Runs the monitor until the page reaches the server (at most 20 s), then stops it with SIGTERM.
    RunResult MonitorUntilPublished(const RealFtpServer& server, const Options& options = {}) {
        const pid_t monitor = Start({"monitor"}, options);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!server.HasFile("ipaddress.htm") && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ::kill(monitor, SIGTERM);
        return Finish(monitor);
    }
    std::unique_ptr<RealFtpServer> Server() {
        std::string why;
        auto server = StartPyftpdlib(&why);
        if (!server)
            ADD_FAILURE() << "pyftpdlib: " << why;
        return server;
    }
    static std::string WithoutCr(std::string s) {
        s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
        return s;
    }

    TempDir m_dir;
    std::string m_script;  // when set, Start runs this shell script, with signposter-cli on its PATH
};

TEST_F(CliTest, ShowPrintsDefaultsWithoutCreatingTheFileAndSetSavesWhatShowPrints) {
    RunResult show = Run({"show"});
    EXPECT_EQ(show.status, 0);
    EXPECT_EQ(
        show.out,
        "Host=\nPort=21\nPassive=1\nInternalYes=1\nInternalNo=0\nUserTemplate=0\nUser=\nPassword=\n"
        "HTML=ipaddress.htm\nRemotePath=/\nTemplate=\nIgnoreIP=\nLastIP=\nLastIP6=\n"
        "FtpSecurity=\nTlsTrustFile=\nTlsFingerprint=\nProtocol=\nSshHostKey=\nSshKeyFile=\nAtomicUpload=0\n"
        "AddressSource=\nAddressInterface=\nAddressURL=\n"
        "AddressPollSeconds=\nPublishPrivate=0\nAddressFamily=\nIPv6Kind=\nVerifyURL=\nVerifyMatch="
        "\nRepublishHours=\nNotify=1\nPasswordStore=\nOnPublished=\nOnFailed=\nthe page goes to ipaddress.htm\n");
    EXPECT_FALSE(std::filesystem::exists(SettingsFile()));
    EXPECT_NE(Run({"show", "--help"}).out.find("\nAddressURL: Web source: an http:// or https:// page"),
              std::string::npos);

    RunResult set = Run({"set", "Host= ftp.example.org", "Passive=0", "Password=p w", "Template=\"/x/t.htm\"",
                         "IgnoreIP=10.0.0.1,", "LastIP=192.0.2.1"});
    ASSERT_EQ(set.status, 0) << set.err;
    struct stat st {};
    ::stat(SettingsFile().c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    show = Run({"show"});
    EXPECT_EQ(show.out,
              "Host=ftp.example.org\nPort=21\nPassive=0\nInternalYes=1\nInternalNo=0\nUserTemplate=0\nUser=\n"
              "Password=********\nHTML=ipaddress.htm\nRemotePath=/\nTemplate=/x/t.htm\nIgnoreIP=10.0.0.1,\n"
              "LastIP=192.0.2.1\nLastIP6=\nFtpSecurity=\nTlsTrustFile=\nTlsFingerprint=\nProtocol="
              "\nSshHostKey=\nSshKeyFile="
              "\n"
              "AtomicUpload=0\nAddressSource=\nAddressInterface=\n"
              "AddressURL=\nAddressPollSeconds=\nPublishPrivate=0\nAddressFamily=\nIPv6Kind=\nVerifyURL="
              "\nVerifyMatch=\nRepublishHours=\nNotify=1\nPasswordStore=\nOnPublished=\nOnFailed=\nthe page goes to ipaddress.htm\n");
}

TEST_F(CliTest, SetRefusesWhatAPublicationWouldRefuseNamesTheKeyAndSuggestsOne) {
    ASSERT_EQ(Run({"set", "Host=a"}).status, 0);
    const std::string before = ReadFile(SettingsFile());
    ::mkfifo(m_dir.File("fifo").c_str(), 0600);
    WriteFile(m_dir.File("t.htm"), "{IPADDRESS}");
    const struct {
        std::vector<std::string> args;
        std::string error;  // the first line of standard error, after "signposter-cli set: "; empty: any
    } cases[] = {
        {{"set"}, ""},
        {{"set", "Host=b", "Colour=red"}, "unknown setting 'Colour' (expected KEY=VALUE)"},
        {{"set", "host=127.0.0.1"}, "unknown setting 'host'; did you mean Host?"},
        {{"set", "Hots=127.0.0.1"}, "unknown setting 'Hots'; did you mean Host?"},
        {{"set", "Host", "127.0.0.1"}, "'Host' has no value: write Host=VALUE"},
        {{"set", "Passive=yes"}, "Passive takes 1 or 0 ('yes'); Passive: "},
        {{"set", "Host=a\nPassword=x"}, "Host may not contain a line break ('a\\x0aPassword=x'); Host: "},
        {{"set", "Port=abc"}, "Port must be a number from 1 to 65535 ('abc'); Port: "},
        {{"set", "Host=b", "Port=99999"}, "Port must be a number from 1 to 65535 ('99999'); Port: "},
        {{"set", "HTML="}, "HTML must be a file name such as ipaddress.htm (''); HTML: "},
        {{"set", "HTML=www/x.htm"}, "HTML must be a file name such as ipaddress.htm ('www/x.htm'); HTML: "},
        {{"set", "UserTemplate=1", "Template=" + m_dir.File("t.htm")},
         "Please select one template option only. (InternalYes, InternalNo, UserTemplate)"},
        {{"set", "UserTemplate=1", "InternalYes=0", "Template=" + m_dir.File("none.htm")},
         "User Template not found: " + m_dir.File("none.htm") + " (Template)"},
        {{"set", "Template=" + m_dir.File("fifo")},
         "Template " + m_dir.File("fifo") + " is not a regular file ("},
        {{"set", "Host=b", "AddressSource=Web"}, "No address URL (AddressURL)"},
        {{"set", "AddressURL=https://127.0.0.1:0/ip"},
         "Port must be a number from 1 to 65535 ('https://127.0.0.1:0/ip')"},
        {{"set", "VerifyURL=https://user:pw@127.0.0.1/x"},
         "Verify URL: Malformed URL https://user:pw@127.0.0.1/x ("},
        {{"set", "LastIP=010.001.002.003"}, "LastIP takes an IPv4 address such as 192.0.2.1 ("},
    };
    for (const auto& c : cases) {
        const RunResult result = Run(c.args);
        EXPECT_EQ(result.status, 2) << c.args.back();
        EXPECT_FALSE(result.err.empty());
        const std::string expected = (c.args.size() > 1 ? "signposter-cli set: " : "usage: ") + c.error;
        EXPECT_EQ(result.err.substr(0, expected.size()), expected) << c.args.back();
    }
    EXPECT_EQ(ReadFile(SettingsFile()), before);

    // The remote path joined as it stands: said, with the way to the folder, and kept as given.
    const RunResult joined = Run({"set", "RemotePath=/htdocs", "HTML=home.htm"});
    EXPECT_EQ(joined.status, 0);
    EXPECT_EQ(joined.out, "the page goes to htdocshome.htm\n");
    EXPECT_EQ(joined.err,
              "signposter-cli set: warning: RemotePath /htdocs does not end in \"/\": write "
              "RemotePath=/htdocs/ for htdocs/home.htm\n");
    EXPECT_NE(Run({"show"}).out.find("RemotePath=/htdocs\n"), std::string::npos);
    ASSERT_EQ(Run({"set", "RemotePath=/", "HTML=ipaddress.htm"}).out, "the page goes to ipaddress.htm\n");
    EXPECT_EQ(ReadFile(SettingsFile()), before);

    // Never written without the lock: a lock that cannot be had is named, with why.
    std::filesystem::remove(SettingsFile() + ".lock");
    std::filesystem::create_directory(SettingsFile() + ".lock");
    const RunResult unlocked = Run({"set", "Host=d"});
    EXPECT_EQ(unlocked.status, 1);
    EXPECT_EQ(unlocked.err, "Cannot lock the settings file " + SettingsFile() +
                                ".lock: it is a directory; nothing was written\n");
    std::filesystem::remove(SettingsFile() + ".lock");

    ::chmod(SettingsFile().c_str(), 0444);
    const RunResult readOnly = Run({"set", "Host=c"});
    EXPECT_EQ(readOnly.status, 1);
    EXPECT_EQ(readOnly.err, "Cannot create file " + SettingsFile() + "\n");
    EXPECT_EQ(ReadFile(SettingsFile()), before);
}

TEST_F(CliTest, PageBuildsWhatAPublicationWouldAndReportsAMissingTemplate) {
    RunResult page = Run({"page", "--address", "198.51.100.4"});
    ASSERT_EQ(page.status, 0) << page.err;
    EXPECT_EQ(page.out, Temp() + "/ipaddress.htm\n");
    EXPECT_NE(ReadFile(Temp() + "/ipaddress.htm").find("URL=http://198.51.100.4\">\r\n"), std::string::npos);
    for (const char* notAnAddress : {"fe80::1%eth0", "[2001:db8::1]", "1.2.3.4\"><b>"}) {
        const RunResult refused = Run({"page", "--address", notAnAddress});
        EXPECT_EQ(refused.status, 1) << notAnAddress;
        EXPECT_EQ(refused.err, std::string("'") + notAnAddress + "' is not an address\n");
    }
    EXPECT_NE(ReadFile(Temp() + "/ipaddress.htm").find("URL=http://198.51.100.4\">\r\n"), std::string::npos);

    // A template that goes away after it was set.
    WriteFile(m_dir.File("none.htm"), "{IPADDRESS}");
    ASSERT_EQ(Run({"set", "UserTemplate=1", "InternalYes=0", "Template=" + m_dir.File("none.htm")}).status,
              0);
    std::filesystem::remove(m_dir.File("none.htm"));
    page = Run({"page"});
    EXPECT_EQ(page.status, 1);
    EXPECT_EQ(page.err, "User Template File Not Found - " + m_dir.File("none.htm") + "\n");
}

TEST_F(CliTest, PublishAndOfflineUploadThePagesToARealServer) {
    auto server = Server();
    ASSERT_TRUE(server);
    PointAt(*server);
    RunResult publish = Run({"publish"});
    ASSERT_EQ(publish.status, 0) << publish.out << publish.err;
    EXPECT_NE(publish.out.find("192.0.2.99 published"), std::string::npos) << publish.out;
    EXPECT_EQ(publish.err, "the page goes to ipaddress.htm\n");
    const std::string local = ReadFile(Temp() + "/ipaddress.htm");
    ASSERT_FALSE(local.empty());
    // The client announces ASCII, and the server stores CR LF line ends as LF.
    EXPECT_EQ(server->ReadFile("ipaddress.htm"), WithoutCr(local));

    RunResult offline = Run({"offline"});
    ASSERT_EQ(offline.status, 0) << offline.err;
    EXPECT_NE(offline.out.find("OFFLINE published"), std::string::npos);
    EXPECT_NE(server->ReadFile("ipaddress.htm").find("currently <font size=\"4\"> Offline."),
              std::string::npos);

    // A remote path without its "/" still publishes where it says, and says how to get the folder.
    ASSERT_EQ(Run({"set", "RemotePath=pub"}).status, 0);
    publish = Run({"publish"});
    ASSERT_EQ(publish.status, 0) << publish.err;
    EXPECT_EQ(publish.err,
              "the page goes to pubipaddress.htm\nsignposter-cli: warning: RemotePath pub does not end in "
              "\"/\": write RemotePath=pub/ for pub/ipaddress.htm\n");
    EXPECT_FALSE(server->ReadFile("pubipaddress.htm").empty());
}

TEST_F(CliTest, FtpsKeysAreShownAfterLastIPSetStraightAndPublishOverTls) {
    ASSERT_EQ(Run({"set", "LastIP=192.0.2.99"}).status, 0);
    const std::string before = ReadFile(SettingsFile());
    RunResult bad = Run({"set", "Host=x", "FtpSecurity=SSL"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.err.substr(0, bad.err.find(';')), "signposter-cli set: Unknown FtpSecurity value ('SSL')");
    EXPECT_EQ(Run({"set", "TlsFingerprint=12:34"}).status, 2);
    EXPECT_EQ(ReadFile(SettingsFile()), before);

    const testing::TestCertificate cert = testing::MakeCertificate(m_dir.Path(), "server");
    ASSERT_EQ(Run({"set", "FtpSecurity=explicitTLS", "TlsTrustFile=" + cert.certFile}).status, 0);
    EXPECT_NE(Run({"show"}).out.find("LastIP=192.0.2.99\nLastIP6=\nFtpSecurity=explicitTLS\nTlsTrustFile=" +
                                     cert.certFile + "\nTlsFingerprint=\n"),
              std::string::npos);

    std::string why;
    std::vector<std::unique_ptr<RealFtpServer>> servers;
    servers.push_back(testing::StartPyftpdlibTls(&why, {cert.certFile, cert.keyFile}));
    ASSERT_TRUE(servers.back()) << why;
    if (::geteuid() == 0) {
        servers.push_back(testing::StartVsftpdTls(&why, {cert.certFile, cert.keyFile}));
        ASSERT_TRUE(servers.back()) << why;
    }
    for (const auto& server : servers) {
        PointAt(*server);
        RunResult publish = Run({"publish"});
        ASSERT_EQ(publish.status, 0) << publish.out << publish.err;
        EXPECT_NE(server->ReadFile("ipaddress.htm").find("192.0.2.99"), std::string::npos);
    }
    // The keys stay as set: no save of the program rewrote them.
    EXPECT_NE(ReadFile(SettingsFile()).find("FtpSecurity=explicitTLS\r\nTlsTrustFile="), std::string::npos);
}

// As a new user with an SFTP-only host: look at the host key, pin it, upload once verbosely, publish.
TEST_F(CliTest, SshFingerprintThenPinnedSftpUploadAndPublish) {
    std::string why;
    const auto server = StartSshd(&why);
    if (!server && ::geteuid() != 0)
        GTEST_SKIP() << why;
    ASSERT_TRUE(server) << why;
    PointAt(*server);
    RunResult refused = Run({"set", "Protocol=SCP", "SshHostKey=SHA256:short"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("Protocol takes FTP or SFTP"), std::string::npos) << refused.err;
    ASSERT_EQ(Run({"set", "Protocol=SFTP"}).status, 0);
    RunResult probe = Run({"ssh-fingerprint"});
    ASSERT_EQ(probe.status, 0) << probe.err;
    EXPECT_NE(probe.out.find("Key type: ssh-ed25519\nFingerprint: " + server->hostKeyFingerprint + "\n"),
              std::string::npos)
        << probe.out;
    EXPECT_NE(probe.out.find("signposter-cli set SshHostKey=" + server->hostKeyFingerprint),
              std::string::npos);

    WriteFile(m_dir.File("page"), "<html>by hand</html>");
    RunResult unpinned = Run({"upload", m_dir.File("page"), "ipaddress.htm"});
    EXPECT_EQ(unpinned.status, 1);
    EXPECT_EQ(unpinned.err.rfind("The host key of [127.0.0.1]:", 0), 0u) << unpinned.err;
    EXPECT_FALSE(server->HasFile("ipaddress.htm"));

    ASSERT_EQ(Run({"set", "SshHostKey=" + server->hostKeyFingerprint}).status, 0);
    EXPECT_NE(Run({"show"}).out.find("Protocol=SFTP\nSshHostKey=" + server->hostKeyFingerprint + "\n"),
              std::string::npos);
    RunResult upload = Run({"upload", m_dir.File("page"), "ipaddress.htm", "--verbose"});
    ASSERT_EQ(upload.status, 0) << upload.err;
    EXPECT_NE(upload.err.find("accepted by pinned SshHostKey"), std::string::npos) << upload.err;
    EXPECT_EQ(upload.err.find(server->Password()), std::string::npos) << upload.err;
    EXPECT_EQ(server->ReadFile("ipaddress.htm"), "<html>by hand</html>");

    RunResult publish = Run({"publish"});
    ASSERT_EQ(publish.status, 0) << publish.out << publish.err;
    EXPECT_EQ(server->ReadFile("ipaddress.htm"), ReadFile(Temp() + "/ipaddress.htm"));

    // Over SFTP an absolute RemotePath is the server's own path, not one below the login directory.
    ASSERT_EQ(Run({"set", "RemotePath=" + server->Root() + "/"}).status, 0);
    ASSERT_EQ(::unlink((server->Root() + "/ipaddress.htm").c_str()), 0);
    publish = Run({"publish"});
    ASSERT_EQ(publish.status, 0) << publish.out << publish.err;
    EXPECT_TRUE(server->HasFile("ipaddress.htm"));
}

TEST_F(CliTest, PublishReportsValidationAndErrorsWithTheirExitStatus) {
    RunResult invalid = Run({"publish"});
    EXPECT_EQ(invalid.status, 2);
    EXPECT_EQ(invalid.err, "No Host Name\nNo User Name\n");

    // A port that would wrap to another one is refused before anything connects, also from a hand-edited
    // file; the https echo is taken.
    ASSERT_EQ(
        Run({"set", "Host=127.0.0.1", "User=u", "AddressSource=Web", "AddressURL=https://127.0.0.1:9/ip"})
            .status,
        0);
    std::string file = ReadFile(SettingsFile());
    file.replace(file.find("Port=21"), 7, "Port=65557");
    WriteFile(SettingsFile(), file);
    for (const auto& command : {std::vector<std::string>{"publish"},
                                std::vector<std::string>{"upload", SettingsFile(), "page.htm"}}) {
        const RunResult wrapped = Run(command);
        EXPECT_EQ(wrapped.status, 2) << command[0];
        EXPECT_EQ(wrapped.err, "Port must be a number from 1 to 65535\n") << command[0];
    }
    ASSERT_EQ(Run({"set", "Host=127.0.0.1", "User=u", "Port=2121", "AddressSource="}).status, 0);
    file = ReadFile(SettingsFile());
    WriteFile(SettingsFile(), file.replace(file.find("Port=2121"), 9, "Port=abc"));
    RunResult badPort = Run({"offline"});
    EXPECT_EQ(badPort.status, 1);
    EXPECT_EQ(badPort.err, "'abc' is not a valid integer value.\n");
}

TEST_F(CliTest, MonitorPublishesTheMachinesAddressAndSavesOnSigterm) {
    auto server = Server();
    ASSERT_TRUE(server);
    PointAt(*server);
    const RunResult address = Run({"address"});
    if (address.status != 0)
        GTEST_SKIP() << "this machine's host name does not resolve";
    // "ADDRESS CLASS".
    const std::string ip = address.out.substr(0, address.out.find(' '));

    const RunResult result = MonitorUntilPublished(*server);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find(ip + " published"), std::string::npos) << result.out;
    EXPECT_NE(server->ReadFile("ipaddress.htm").find("URL=http://" + ip + "\">"), std::string::npos);
    EXPECT_NE(ReadFile(SettingsFile()).find("LastIP=" + ip + "\r\n"), std::string::npos);
}

TEST_F(CliTest, TheWebSourceAnswersTheAddressCommandAndDrivesTheMonitor) {
    ScriptedHttpServer web;
    web.Script("/ip", {"HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n100.63.0.5\n"});
    web.Script("/cgnat", {"HTTP/1.1 200 OK\r\nContent-Length: 13\r\n\r\n100.64.12.34\n"});
    Options refused;
    refused.noNetlink = true;
    const RunResult asked = Run({"address", "--source", "web:" + web.Url("/cgnat"), "--verbose"}, refused);
    EXPECT_EQ(asked.status, 0) << asked.err;
    EXPECT_EQ(asked.out, "100.64.12.34 carrier-grade NAT (RFC 6598)\n");
    const std::string fallback =
        "address events unavailable (netlink: Address family not supported by protocol); polling instead\n";
    EXPECT_NE(asked.err.find(fallback), std::string::npos) << asked.err;
    EXPECT_NE(asked.err.find("HTTP 200 OK, 13 bytes of body"), std::string::npos) << asked.err;
    const RunResult missing = Run({"address", "--source", "web:" + web.Url("/gone")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "HTTP 404 Not Found from " + web.Url("/gone") + "\n");
    // An echo over https, trusted through the trust file as well as the system store.
    if (NginxServer::Installed()) {
        const TestCertificate authority = MakeCertificate(m_dir.Path(), "echo");
        NginxServer nginx({{authority.certFile, authority.keyFile,
                            "  location = /ip { return 200 \"address $remote_addr\\n\"; }\n"}});
        ASSERT_TRUE(nginx.Running());
        const std::string url = "web:" + nginx.Url(0, "/ip");
        const RunResult untrusted = Run({"address", "--source", url});
        EXPECT_EQ(untrusted.status, 1);
        EXPECT_EQ(untrusted.err, "Server certificate of " + nginx.Url(0, "/ip") +
                                     " rejected: SSL certificate problem: self-signed certificate\n");
        ASSERT_EQ(Run({"set", "TlsTrustFile=" + authority.certFile}).status, 0);
        const RunResult tls = Run({"address", "--source", url});
        EXPECT_EQ(tls.status, 0) << tls.err;
        EXPECT_EQ(tls.out.substr(0, 10), "127.0.0.1 ") << tls.out;
        ASSERT_EQ(Run({"set", "TlsTrustFile="}).status, 0);
    }
    EXPECT_EQ(Run({"address", "--source", "dns"}).status, 2);
    EXPECT_EQ(Run({"set", "AddressSource=dns"}).status, 2);
    EXPECT_EQ(Run({"set", "AddressPollSeconds=29"}).status, 2);

    auto server = Server();
    ASSERT_TRUE(server);
    PointAt(*server);
    ASSERT_EQ(Run({"set", "AddressSource=web", "AddressURL=" + web.Url("/ip")}).status, 0);
    // Without netlink the monitor says so once and polls.
    const RunResult result = MonitorUntilPublished(*server, refused);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err.find(fallback), result.err.rfind(fallback)) << result.err;
    EXPECT_NE(result.err.find("signposter-cli: " + fallback), std::string::npos) << result.err;
    EXPECT_NE(result.out.find("100.63.0.5 published"), std::string::npos) << result.out;
    EXPECT_NE(server->ReadFile("ipaddress.htm").find("URL=http://100.63.0.5\">"), std::string::npos);
    // Asked once: the next question is AddressPollSeconds away.
    EXPECT_EQ(web.Requests().size(), 3u);
    const std::string settings = ReadFile(SettingsFile());
    EXPECT_NE(settings.find("AddressSource=web\r\n"), std::string::npos);
    EXPECT_NE(settings.find("LastIP=100.63.0.5\r\n"), std::string::npos);
}

// This thread in a network namespace of its own, with the veth pair (this kernel has no dummy links)
// spt0/spt1 and 10.77.1.1 on spt0, until it goes back to the machine's network at the end of the scope.
class PrivateNetwork {
public:
    PrivateNetwork() : m_original(::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC)) {
        if (m_original < 0 || ::unshare(CLONE_NEWNET) != 0) {
            m_why = std::strerror(errno);
            return;
        }
        m_entered =
            std::system(
                "ip link set lo up && ip link add spt0 type veth peer name spt1 && "
                "ip link set spt1 up && ip link set spt0 up && ip addr add 10.77.1.1/24 dev spt0") == 0;
        if (!m_entered)
            m_why = "ip could not set up the veth pair";
    }
    ~PrivateNetwork() {
        if (m_original < 0)
            return;
        EXPECT_EQ(::setns(m_original, CLONE_NEWNET), 0);
        ::close(m_original);
    }
    bool Entered() const { return m_entered; }
    const std::string& Why() const { return m_why; }

private:
    int m_original;
    bool m_entered = false;
    std::string m_why;
};

// An address change is published on the kernel's event: the interface source's ticks ask nothing between
// events and its safety check is a minute away, so only the event can publish within the wait.
TEST_F(CliTest, AnAddressChangeIsPublishedOnTheKernelsEvent) {
    const PrivateNetwork network;
    if (!network.Entered())
        GTEST_SKIP() << "no private network namespace here: " << network.Why();
    auto server = Server();
    ASSERT_TRUE(server);
    ASSERT_EQ(
        Run({"set", "Host=127.0.0.1", "Port=" + std::to_string(server->Port()), "User=" + server->User(),
             "Password=" + server->Password(), "RemotePath=/", "LastIP=10.77.1.1", "AddressSource=Interface",
             "AddressInterface=spt0", "PublishPrivate=1"})
            .status,
        0);
    const pid_t monitor = Start({"monitor", "--verbose"});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (ReadFile(m_dir.File("err")).find("monitoring") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(std::system("ip addr add 10.77.2.1/24 dev spt0 && ip addr del 10.77.1.1/24 dev spt0"), 0);
    while (server->ReadFile("ipaddress.htm").find("</html>") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::kill(monitor, SIGTERM);
    const RunResult result = Finish(monitor);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(server->ReadFile("ipaddress.htm").find("URL=http://10.77.2.1\">"), std::string::npos);
    EXPECT_NE(result.out.find(" event: address added: 10.77.2.1/24 on spt0\n"), std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find(" event: address removed: 10.77.1.1/24 on spt0\n"), std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("10.77.2.1 published"), std::string::npos) << result.out;
}

// Behind carrier-grade NAT with global IPv6 addresses, in a namespace of the test's own: the IPv4 address
// is from 100.64/10; the interface carries an address configured by hand, a stable SLAAC one from which the
// kernel derives a temporary one (use_tempaddr=2), a deprecated one and its link-local one.
TEST_F(CliTest, BehindCarrierGradeNatTheChosenIPv6AddressIsPublishedAndFollowedOnEachChange) {
    const PrivateNetwork network;
    if (!network.Entered())
        GTEST_SKIP() << "no private network namespace here: " << network.Why();
    ASSERT_EQ(std::system("echo 2 >/proc/sys/net/ipv6/conf/spt0/use_tempaddr && "
                          "echo 0 >/proc/sys/net/ipv6/conf/spt0/accept_dad && "
                          "ip addr del 10.77.1.1/24 dev spt0 && ip addr add 100.64.1.2/24 dev spt0 && "
                          "ip -6 addr add 2a02:1:2:3::10/64 dev spt0 && "
                          "ip -6 addr add 2a02:1:2:4::20/64 dev spt0 mngtmpaddr && "
                          "ip -6 addr add 2a02:1:2:5::30/64 dev spt0 preferred_lft 0"),
              0);
    const std::vector<std::string> ask = {"address", "--source", "interface:spt0", "--family", "ipv6"};
    auto withArgs = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = ask;
        args.insert(args.end(), extra.begin(), extra.end());
        return Run(args);
    };
    RunResult stable = withArgs({"--quiet"});
    EXPECT_EQ(stable.out, "2a02:1:2:3::10\n") << stable.err;
    const RunResult verbose = withArgs({"--verbose"});
    EXPECT_EQ(verbose.out, "2a02:1:2:3::10 public\n") << verbose.err;
    for (const char* reason : {"2a02:1:2:3::10/64 (permanent", "chosen", "deprecated", "temporary"})
        EXPECT_NE(verbose.err.find(reason), std::string::npos) << reason << "\n" << verbose.err;
    ASSERT_EQ(Run({"set", "IPv6Kind=temporary"}).status, 0);
    const RunResult temporary = withArgs({"--quiet"});
    EXPECT_EQ(temporary.out.rfind("2a02:1:2:4:", 0), 0u) << temporary.out << temporary.err;
    EXPECT_EQ(temporary.out.find("2a02:1:2:4::20"), std::string::npos) << temporary.out;

    auto server = Server();
    ASSERT_TRUE(server);
    PointAt(*server);
    ASSERT_EQ(Run({"set", "IPv6Kind=stable", "AddressFamily=Both", "AddressSource=Interface",
                   "Interface=spt0", "LastIP=100.64.1.2"})
                  .status,
              0);
    const RunResult published = Run({"publish", "--current"});
    EXPECT_EQ(published.status, 0) << published.err;
    EXPECT_NE(server->ReadFile("ipaddress.htm").find("URL=http://[2a02:1:2:3::10]\">"), std::string::npos);
    EXPECT_NE(ReadFile(SettingsFile()).find("LastIP6=2a02:1:2:3::10\r\n"), std::string::npos);

    // The monitor follows a change of the IPv6 address on the kernel's event.
    const pid_t monitor = Start({"monitor", "--verbose"});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (ReadFile(m_dir.File("err")).find("monitoring") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(
        std::system("ip -6 addr add 2a02:1:2:6::40/64 dev spt0 && ip -6 addr del 2a02:1:2:3::10/64 dev spt0"),
        0);
    while (server->ReadFile("ipaddress.htm").find("[2a02:1:2:6::40]") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::kill(monitor, SIGTERM);
    const RunResult result = Finish(monitor);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(server->ReadFile("ipaddress.htm").find("URL=http://[2a02:1:2:6::40]\">"), std::string::npos)
        << result.out << result.err;
}

// The page being uploaded names an address the machine no longer has: the upload is given up at its wait
// rather than after five attempts of 30 s, and the new address is published next. Stored under a temporary
// name, the page is untouched by the store given up (without AtomicUpload a store of the page once sent is
// let finish, or the server would truncate the page after the client left).
TEST_F(CliTest, AnAddressChangeDuringAStalledUploadAbandonsItAndPublishesTheNewAddress) {
    const PrivateNetwork network;
    if (!network.Entered())
        GTEST_SKIP() << "no private network namespace here: " << network.Why();
    ScriptedFtpServer server;  // on this namespace's loopback
    server.Script("STOR", {Silence(), AcceptUpload()});
    server.Script("RNFR", Say("350 Ready.\r\n"));
    server.Script("RNTO", Say("250 Renamed.\r\n"));
    ASSERT_EQ(Run({"set", "Host=127.0.0.1", "Port=" + std::to_string(server.Port()), "User=u", "Password=p",
                   "RemotePath=/", "LastIP=10.77.1.1", "AddressSource=Interface", "AddressInterface=spt0",
                   "PublishPrivate=1", "AtomicUpload=1"})
                  .status,
              0);
    const pid_t monitor = Start({"monitor", "--verbose"});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    const auto waitFor = [&](const std::function<bool()>& done) {
        while (!done() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    };
    waitFor([&] { return ReadFile(m_dir.File("err")).find("monitoring") != std::string::npos; });
    ASSERT_EQ(std::system("ip addr add 10.77.2.1/24 dev spt0 && ip addr del 10.77.1.1/24 dev spt0"), 0);
    // The server takes the page's STOR and never answers it (a reply bound of 30 s, five attempts).
    waitFor([&] {
        const auto commands = server.Commands();
        return !commands.empty() && commands.back().rfind("STOR", 0) == 0;
    });
    ASSERT_EQ(std::system("ip addr add 10.77.3.1/24 dev spt0 && ip addr del 10.77.2.1/24 dev spt0"), 0);
    waitFor([&] { return ReadFile(m_dir.File("out")).find("10.77.3.1 published") != std::string::npos; });
    ::kill(monitor, SIGTERM);
    const RunResult result = Finish(monitor);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("10.77.2.1 abandoned "), std::string::npos) << result.out;
    EXPECT_NE(result.out.find(": the address changed to 10.77.3.1 during the upload\n"), std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find(" event: address removed: 10.77.2.1/24 on spt0\n"), std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("10.77.3.1 published"), std::string::npos) << result.out;
    ASSERT_EQ(server.Uploads().size(), 1u);
    EXPECT_NE(server.Uploads()[0].find("URL=http://10.77.3.1\">"), std::string::npos);
    EXPECT_EQ(result.out.find("upload failed"), std::string::npos) << result.out;
}

TEST_F(CliTest, MonitorWithIncompleteSettingsStopsWithTheValidationMessages) {
    const RunResult result = Run({"monitor"});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("No Host Name\nNo User Name\n"), std::string::npos) << result.err;
}

TEST_F(CliTest, MonitorStopsWithinASecondOfSigtermWhateverItWaitsFor) {
    const RunResult address = Run({"address"});
    if (address.status != 0)
        GTEST_SKIP() << "this machine's host name does not resolve";
    ScriptedFtpServer silent;
    silent.SetGreeting(Silence());
    ASSERT_EQ(
        Run({"set", "Host=127.0.0.1", "Port=" + std::to_string(silent.Port()), "User=u", "LastIP=192.0.2.99"})
            .status,
        0);
    // Asleep between ticks: the first tick comes a second after the start.
    auto [idle, idleSeconds] = StopAfter({"monitor"}, std::chrono::milliseconds(300));
    EXPECT_EQ(idle.status, 0) << idle.err;
    EXPECT_NE(
        idle.err.find("signposter-cli: monitoring the host name; last address 192.0.2.99; last published not "
                      "recorded yet; settings in "),
        std::string::npos)
        << idle.err;
    EXPECT_NE(idle.err.find("signposter-cli: monitor stopped; nothing published in this run\n"),
              std::string::npos)
        << idle.err;
    // Waiting for the greeting that never comes (a 30 s bound): the attempt ends as "Stopped.", the
    // publication stays pending and the closing save runs.
    auto [waiting, waitingSeconds] = StopAfter({"monitor"}, std::chrono::milliseconds(1800));
    EXPECT_EQ(waiting.status, 0) << waiting.err;
    EXPECT_NE(waiting.out.find("upload failed"), std::string::npos) << waiting.out;
    EXPECT_NE(waiting.out.find("Stopped: the program is ending. (1 attempt"), std::string::npos)
        << waiting.out;
    EXPECT_NE(waiting.err.find("signposter-cli: monitor stopped; last outcome: upload failed "),
              std::string::npos)
        << waiting.err;
    std::printf("exit after SIGTERM: %.3f s idle, %.3f s in a reply wait\n", idleSeconds, waitingSeconds);
    EXPECT_LT(std::max(idleSeconds, waitingSeconds),
              5.0);  // generous for a loaded machine; the bound is 30 s
}

TEST_F(CliTest, PasswordFromStandardInputReachesTheServer) {
    auto server = Server();
    ASSERT_TRUE(server);
    PointAt(*server);
    ASSERT_EQ(Run({"set", "Password=wrong"}).status, 0);
    const RunResult set = Run({"set", "--password-stdin"}, {server->Password() + "\n"});
    ASSERT_EQ(set.status, 0) << set.err;
    const RunResult publish = Run({"publish"});
    EXPECT_EQ(publish.status, 0) << publish.out << publish.err;
}

// At a terminal the password is asked for and never echoed; whatever the terminal shows is read back.
TEST_F(CliTest, PasswordAtATerminalIsAskedForWithoutEcho) {
    int terminal = -1;
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::setenv("XDG_CONFIG_HOME", Config().c_str(), 1);
        ::setenv("TMPDIR", Temp().c_str(), 1);
        ::execl(SIGNPOSTER_CLI, SIGNPOSTER_CLI, "set", "--password-stdin", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::string shown;
    auto readUntil = [&](auto done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        char buffer[256];
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            pollfd ready{terminal, POLLIN, 0};
            if (::poll(&ready, 1, 100) <= 0)
                continue;
            const ssize_t n = ::read(terminal, buffer, sizeof buffer);
            if (n <= 0)
                return;  // EIO: the program ended
            shown.append(buffer, static_cast<std::size_t>(n));
        }
    };
    readUntil([&] { return shown.find("Password: ") != std::string::npos; });
    ASSERT_NE(shown.find("Password: "), std::string::npos) << shown;
    // The prompt is out before echo is off only if the program is careless: wait for the terminal to say so.
    for (int i = 0; i < 200; ++i) {
        termios mode{};
        if (::tcgetattr(terminal, &mode) == 0 && !(mode.c_lflag & ECHO))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(::write(terminal, "s3cret\n", 7), 7);
    readUntil([] { return false; });
    ::close(terminal);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown;
    EXPECT_EQ(shown.find("s3cret"), std::string::npos) << shown;
    EXPECT_NE(Run({"show"}).out.find("\nPassword=********\n"), std::string::npos);
}

TEST_F(CliTest, EachUserOfTheMachineGetsAPageDirectoryOfTheirOwn) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run as a second user";
    // Both users see the config directory and the program; only its owner may write the settings.
    for (auto dir = std::filesystem::path(m_dir.Path()).parent_path(); dir != dir.parent_path();
         dir = dir.parent_path()) {
        if ((std::filesystem::status(dir).permissions() & std::filesystem::perms::others_exec) ==
            std::filesystem::perms::none)
            GTEST_SKIP() << "a second user cannot enter " << dir << ", which holds the test's directory";
    }
    std::filesystem::copy_file(SIGNPOSTER_CLI, NobodysCopy());
    std::filesystem::permissions(NobodysCopy(), std::filesystem::perms(0755));
    std::filesystem::permissions(m_dir.Path(), std::filesystem::perms(0711));
    std::filesystem::permissions(Config(), std::filesystem::perms(0755));
    std::vector<std::string> made;
    for (const uid_t uid : {0u, 65534u}) {
        const std::string dir = "/tmp/signposter-" + std::to_string(uid);
        if (!std::filesystem::exists(dir))
            made.push_back(dir);
    }
    const RunResult mine = Run({"page", "--address", "192.0.2.1"}, {"", true, false});
    const RunResult theirs = Run({"page", "--address", "192.0.2.2"}, {"", true, true});
    EXPECT_EQ(mine.status, 0) << mine.err;
    EXPECT_EQ(theirs.status, 0) << theirs.err;
    EXPECT_EQ(mine.out, "/tmp/signposter-0/ipaddress.htm\n");
    EXPECT_EQ(theirs.out, "/tmp/signposter-65534/ipaddress.htm\n");
    for (const auto& dir : made) std::filesystem::remove_all(dir);
}

// Python's web server on 127.0.0.1 serving `root`, as a web host serves what its FTP server stores.
class WebServer {
public:
    explicit WebServer(const std::string& root) {
        const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        ::close(probe);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::freopen("/dev/null", "w", stdout);
            ::freopen("/dev/null", "w", stderr);
            const std::string port = std::to_string(m_port);
            ::execl("/usr/bin/python3", "python3", "-m", "http.server", port.c_str(), "--bind", "127.0.0.1",
                    "--directory", root.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // Ready once it accepts a connection; a second of real time is far more than it needs.
        for (int i = 0; i < 100 && !Accepting(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ~WebServer() {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }

private:
    bool Accepting() const {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(m_port));
        const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(s);
        return ok;
    }
    int m_port = 0;
    pid_t m_pid = -1;
};

TEST_F(CliTest, PublishVerifiesThePageTheWebServerServesAndVerifyChecksItAgain) {
    auto server = Server();
    ASSERT_TRUE(server);
    WebServer web(server->Root());
    PointAt(*server);
    EXPECT_EQ(Run({"verify"}).status, 2);  // no VerifyURL
    EXPECT_EQ(Run({"set", "VerifyURL=ftp://x/"}).status, 2);
    EXPECT_EQ(Run({"set", "RepublishHours=8761"}).status, 2);
    ASSERT_EQ(Run({"set", "VerifyURL=" + web.Url("/ipaddress.htm"), "VerifyMatch=Exact"}).status, 0);

    const RunResult publish = Run({"publish"});
    EXPECT_EQ(publish.status, 0) << publish.out << publish.err;
    EXPECT_NE(publish.out.find("192.0.2.99 published and verified"), std::string::npos) << publish.out;
    EXPECT_EQ(ReadFile(SettingsFile()).find("LastPublished"), std::string::npos);  // RepublishHours is 0

    const RunResult verify = Run({"verify"});
    EXPECT_EQ(verify.status, 0) << verify.err;
    EXPECT_EQ(verify.out, "match\n");
    WriteFile(m_dir.File("other.htm"), "<html>\r\nsomething else\r\n</html>\r\n");
    const RunResult other = Run({"verify", "--page", m_dir.File("other.htm")});
    EXPECT_EQ(other.status, 1);
    EXPECT_EQ(other.out, "verification failed: the served page differs from the uploaded one at line 2\n");

    // The remote path without its closing "/": the page lands beside the web root, visitors get a 404.
    ASSERT_EQ(Run({"set", "RemotePath=/htdocs", "VerifyURL=" + web.Url("/htdocs/ipaddress.htm"),
                   "RepublishHours=24"})
                  .status,
              0);
    std::filesystem::create_directories(server->Root() + "/htdocs");
    const RunResult wrong = Run({"publish"});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_TRUE(server->HasFile("htdocsipaddress.htm"));
    EXPECT_NE(wrong.out.find("192.0.2.99 not verified"), std::string::npos) << wrong.out;
    EXPECT_NE(wrong.out.find("verification failed: HTTP 404 File not found from " +
                             web.Url("/htdocs/ipaddress.htm")),
              std::string::npos)
        << wrong.out;
    EXPECT_EQ(ReadFile(SettingsFile()).find("LastPublished="), std::string::npos);  // no success to record
}

TEST_F(CliTest, AWebHostServingAStaleCopyFailsThePublicationAndTheOfflinePageIsRecorded) {
    auto server = Server();
    ASSERT_TRUE(server);
    ScriptedHttpServer web;
    const std::string stale = "<html>\nan old page\n</html>\n";
    web.Script("/ipaddress.htm",
               {"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(stale.size()) + "\r\n\r\n" + stale});
    PointAt(*server);
    ASSERT_EQ(Run({"set", "VerifyURL=" + web.Url("/ipaddress.htm"), "RepublishHours=24"}).status, 0);
    const RunResult publish = Run({"publish"});
    EXPECT_EQ(publish.status, 1);
    EXPECT_NE(
        publish.out.find("verification failed: the served page differs from the uploaded one at line 2"),
        std::string::npos)
        << publish.out;
    ASSERT_EQ(web.Requests().size(), 2u);  // the second look after the pause
    EXPECT_NE(web.Requests()[0].find("Cache-Control: no-cache\r\nPragma: no-cache\r\n"), std::string::npos);

    ASSERT_EQ(Run({"set", "VerifyURL="}).status, 0);
    ASSERT_EQ(Run({"offline"}).status, 0);
    const std::string settings = ReadFile(SettingsFile());
    EXPECT_NE(settings.find("LastPublishedPage=offline\r\n"), std::string::npos) << settings;
    EXPECT_NE(settings.find("LastPublished=1"), std::string::npos) << settings;
}

TEST_F(CliTest, PublishCurrentAndTheDispatcherExamplePublishOnlyWhatChanged) {
    ScriptedHttpServer web;
    web.Script("/ip", {"HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n100.63.0.5\n"});
    web.Script("/cgnat", {"HTTP/1.1 200 OK\r\nContent-Length: 13\r\n\r\n100.64.12.34\n"});
    auto server = Server();
    ASSERT_TRUE(server);
    PointAt(*server);
    ASSERT_EQ(Run({"set", "AddressSource=web", "AddressURL=" + web.Url("/ip")}).status, 0);
    // The manual page's example, typed as written into a shell; its ~ is this test's directory.
    const ScopedEnvironment home("HOME", m_dir.Path().c_str());
    std::string example;
    std::istringstream manual(ReadFile(SIGNPOSTER_SOURCE_DIR "/packaging/signposter-cli.1"));
    for (std::string line; std::getline(manual, line);)
        if (line.find("\"OnPublished=") != std::string::npos)
            example = line;
    for (const auto& [roff, plain] : {std::pair{"\\-", "-"}, std::pair{"\\e", "\\"}})
        for (std::size_t at; (at = example.find(roff)) != std::string::npos;)
            example.replace(at, 2, plain);
    ASSERT_EQ(example, "signposter-cli set \"OnPublished=sh -c 'echo \\$SIGNPOSTER_ADDRESS >> ~/published.log'\"");
    WriteFile(m_dir.File("example"), example + "\n");
    m_script = m_dir.File("example");
    ASSERT_EQ(Run({}).status, 0);
    m_script.clear();
    ASSERT_EQ(Run({"set", "OnFailed=sh -c 'echo $SIGNPOSTER_OUTCOME $SIGNPOSTER_FAMILY $SIGNPOSTER_PAGE >> "
                          "~/failed.log; exit 4'"}).status, 0);

    // As cron runs it, without arguments: the page redirects to the bare address.
    m_script = SIGNPOSTER_SOURCE_DIR "/packaging/90-signposter";
    const RunResult first = Run({});
    m_script.clear();
    ASSERT_EQ(first.status, 0) << first.out << first.err;
    EXPECT_NE(server->ReadFile("ipaddress.htm").find("URL=http://100.63.0.5\">"), std::string::npos);
    EXPECT_NE(ReadFile(SettingsFile()).find("LastIP=100.63.0.5\r\n"), std::string::npos);
    EXPECT_EQ(Run({"address", "--quiet"}).out, "100.63.0.5\n");
    EXPECT_NE(first.out.find("OnPublished: sh exited with status 0"), std::string::npos) << first.out;

    // Unchanged: nothing is uploaded, unless forced.
    std::filesystem::remove(server->Root() + "/ipaddress.htm");
    const RunResult second = Run({"publish", "--current"});
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(second.out, "");
    EXPECT_FALSE(server->HasFile("ipaddress.htm"));
    EXPECT_EQ(ReadFile(m_dir.File("published.log")), "100.63.0.5\n");
    // A failing command is told, and the publication stands.
    ASSERT_EQ(Run({"set", "OnPublished=false"}).status, 0);
    const RunResult forced = Run({"publish", "--current", "--force"});
    EXPECT_EQ(forced.status, 0) << forced.err;
    EXPECT_NE(forced.out.find("OnPublished: false exited with status 1"), std::string::npos) << forced.out;
    EXPECT_TRUE(server->HasFile("ipaddress.htm"));
    EXPECT_EQ(Run({"publish", "--force"}).status, 2);

    // An address visitors cannot reach is held back, with the reason where a person reads it.
    std::filesystem::remove(server->Root() + "/ipaddress.htm");
    ASSERT_EQ(Run({"set", "AddressURL=" + web.Url("/cgnat")}).status, 0);
    const RunResult held = Run({"publish", "--current", "--force"});
    EXPECT_EQ(held.status, 0);
    EXPECT_NE(held.err.find("carrier-grade NAT"), std::string::npos) << held.err;
    EXPECT_FALSE(server->HasFile("ipaddress.htm"));
    EXPECT_EQ(ReadFile(m_dir.File("failed.log")), "held-back IPv4 ipaddress.htm\n") << held.out;
}

TEST_F(CliTest, ThePasswordMovesIntoTheKeyringOnlyWhenItTakesItAndIsReadFromThere) {
    auto server = Server();
    ASSERT_TRUE(server);
    PointAt(*server);
    const ScopedEnvironment keepRuntime("XDG_RUNTIME_DIR", nullptr), keepData("XDG_DATA_HOME", nullptr),
        keepHome("HOME", std::getenv("HOME")), keepBus("DBUS_SESSION_BUS_ADDRESS", nullptr),
        keepDisplay("DISPLAY", nullptr), keepWayland("WAYLAND_DISPLAY", nullptr);
    const std::string unavailable = "The keyring is locked or not running (PasswordStore=keyring)";
    const std::string withPassword = ReadFile(SettingsFile());
    // No session bus, as on a headless server: the file keeps the password.
    const RunResult refused = Run({"set", "PasswordStore=keyring"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find(unavailable), std::string::npos) << refused.err;
    EXPECT_EQ(ReadFile(SettingsFile()), withPassword);

    PrivateKeyring keyring(m_dir);
    if (!keyring.Ready())
        GTEST_SKIP() << "no private session bus with GNOME Keyring (dbus-daemon, gnome-keyring-daemon)";
    const RunResult moved = Run({"set", "PasswordStore=keyring"});
    ASSERT_EQ(moved.status, 0) << moved.err;
    const auto filePasswordCount = [&] {
        return std::system(("exit $(grep -c Password=. " + SettingsFile() + ")").c_str());
    };
    EXPECT_EQ(filePasswordCount(), 0);
    // The server takes only the right password.
    const RunResult published = Run({"publish"});
    EXPECT_EQ(published.status, 0) << published.out << published.err;
    EXPECT_TRUE(server->HasFile("ipaddress.htm"));
    EXPECT_EQ(filePasswordCount(), 0);

    ASSERT_TRUE(keyring.Lock());
    const RunResult locked = Run({"publish"});
    EXPECT_NE(locked.status, 0);
    EXPECT_NE((locked.out + locked.err).find(unavailable), std::string::npos) << locked.out << locked.err;
    EXPECT_EQ(filePasswordCount(), 0);
}

// ---- What the user reads: the status, the journal's priorities, a damaged LastIP ----

class StatusTest : public CliTest {
protected:
    // Runs with standard output connected "to the journal": JOURNAL_STREAM names the file it goes to.
    RunResult RunOnTheJournal(const std::vector<std::string>& args) {
        WriteFile(m_dir.File("out"), "");
        struct stat st {};
        ::stat(m_dir.File("out").c_str(), &st);
        ::setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
        RunResult result = Run(args);
        ::unsetenv("JOURNAL_STREAM");
        return result;
    }
    static std::vector<std::string> Logins(const ScriptedFtpServer& server) {
        std::vector<std::string> logins;
        for (const std::string& command : server.Commands())
            if (command.rfind("user ", 0) == 0)
                logins.push_back(command);
        return logins;
    }
};

TEST_F(StatusTest, StatusTellsTheLastPublicationAndWhatIsPendingAndAWrongPasswordCostsOneLogin) {
    ScriptedFtpServer server;
    ASSERT_EQ(Run({"set", "Host=127.0.0.1", "Port=" + std::to_string(server.Port()), "User=u",
                   "LastIP=100.63.0.7", "AddressSource=Interface", "AddressInterface=lo"})
                  .status,
              0);
    RunResult status = Run({"status"});
    EXPECT_EQ(status.status, 0) << status.err;
    EXPECT_EQ(status.out.substr(0, status.out.find('\n')), "settings file: " + SettingsFile());
    EXPECT_NE(status.out.find("\naddress source: interface lo, which answers 127.0.0.1 ("), std::string::npos)
        << status.out;
    EXPECT_NE(status.out.find("\npending: nothing\n"), std::string::npos) << status.out;

    // A wrong password: one login, the line on the journal with its priority and no time stamp.
    server.Script("PASS", Say("530 Authentication failed.\r\n"));
    const RunResult refused = RunOnTheJournal({"publish"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(
        refused.out,
        "<3>upload failed: The server refused the login for user u: 530 Authentication failed. Not retried "
        "until the settings change. (1 attempt)\n");
    ASSERT_TRUE(server.WaitUntilIdle());
    EXPECT_EQ(Logins(server).size(), 1u);
    status = Run({"status"});
    EXPECT_EQ(status.status, 1);
    EXPECT_NE(status.out.find("\nlast published: not recorded yet\nlast outcome: refused at "),
              std::string::npos)
        << status.out;
    EXPECT_NE(status.out.find(
                  ": upload failed: The server refused the login for user u: 530 Authentication "
                  "failed. Not retried until the settings change.\n"
                  "pending: the address page, retried when the settings change or the monitor starts\n"),
              std::string::npos)
        << status.out;

    // Mended: published, recorded, nothing pending.
    server.Script("PASS", Say("230 Logged in.\r\n"));
    const RunResult published = RunOnTheJournal({"publish"});
    EXPECT_EQ(published.status, 0) << published.err;
    EXPECT_EQ(published.out, "<6>100.63.0.7 published\n");
    status = Run({"status"});
    EXPECT_EQ(status.status, 0) << status.out;
    EXPECT_NE(status.out.find("\nlast published: 100.63.0.7 at "), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("\nlast outcome: published at "), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("\npending: nothing\n"), std::string::npos) << status.out;
    // Off the journal the line keeps its time stamp.
    const RunResult stamped = Run({"publish"});
    EXPECT_EQ(stamped.out.size(), std::string("2026-12-07 14:02:11 100.63.0.7 published 14:02\n").size())
        << stamped.out;
}

TEST_F(StatusTest, ADamagedLastIPOrLastIP6IsNeverPutIntoAPage) {
    ScriptedFtpServer server;
    ASSERT_EQ(Run({"set", "Host=127.0.0.1", "Port=" + std::to_string(server.Port()), "User=u"}).status, 0);
    std::string good = ReadFile(SettingsFile());
    good.erase(good.find("LastIP=\r\n"), 9);
    const std::pair<std::string, std::string> cases[] = {
        {"LastIP=1.2.3.4\"><img src=x onerror=alert(1)>\r\n",
         "LastIP in the settings file is not an address"},
        {"AddressFamily=IPv6\r\nLastIP6=<script>alert(1)</script>\r\n",
         "LastIP6 in the settings file is not an address"},
    };
    for (const auto& [lines, message] : cases) {
        WriteFile(SettingsFile(), good + lines);
        const RunResult publish = Run({"publish"});
        EXPECT_EQ(publish.status, 1) << lines;
        EXPECT_NE(publish.out.find("not published "), std::string::npos) << publish.out;
        EXPECT_NE(publish.out.find(": " + message + "\n"), std::string::npos) << publish.out;
        EXPECT_EQ(publish.out.find("<"), std::string::npos) << publish.out;
        const RunResult page = Run({"page"});
        EXPECT_EQ(page.status, 1);
        EXPECT_EQ(page.err, message + "\n");
    }
    EXPECT_EQ(server.ControlConnections(), 0);
}

}  // namespace
}  // namespace signposter
