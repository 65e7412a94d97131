#include "real_ftp_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>
#include <vector>

#ifndef SIGNPOSTER_PYFTPDLIB_SCRIPT
#error "SIGNPOSTER_PYFTPDLIB_SCRIPT must name tests/ftp/pyftpdlib_server.py"
#endif

namespace signposter::testing {

namespace {

// Starts a server program with its standard output and error in `log`.
pid_t SpawnLogged(const std::string& log, const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (logFd >= 0) {
            ::dup2(logFd, STDOUT_FILENO);
            ::dup2(logFd, STDERR_FILENO);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kStartTimeoutMs = 10000;
constexpr char kVsftpdUser[] = "spftptest";
constexpr char kVsftpdPassword[] = "spftptest-pw1";
constexpr char kSshUser[] = "spsftptest";
constexpr char kSshPassword[] = "spsftptest-pw1";

std::string MakeTempDir(const std::string& prefix) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr)
        return "";
    return buffer.data();
}

// The loopback address of the family `host` names (127.0.0.1 or ::1), with `port`.
socklen_t LoopbackAddress(const std::string& host, int port, sockaddr_storage& storage) {
    storage = {};
    if (host.find(':') != std::string::npos) {
        auto& sa = reinterpret_cast<sockaddr_in6&>(storage);
        sa.sin6_family = AF_INET6;
        sa.sin6_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET6, host.c_str(), &sa.sin6_addr);
        return sizeof sa;
    }
    auto& sa = reinterpret_cast<sockaddr_in&>(storage);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, host.c_str(), &sa.sin_addr);
    return sizeof sa;
}

bool Accepts(const std::string& host, int port) {
    sockaddr_storage sa{};
    const socklen_t length = LoopbackAddress(host, port, sa);
    const int s = ::socket(sa.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&sa), length) == 0;
    ::close(s);
    return ok;
}

bool WaitUntilAccepting(int port, pid_t pid, const std::string& host = "127.0.0.1") {
    const auto end = Clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    while (Clock::now() < end) {
        if (Accepts(host, port))
            return true;
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool PortFree(int port, const std::string& host) {
    sockaddr_storage sa{};
    const socklen_t length = LoopbackAddress(host, port, sa);
    const int s = ::socket(sa.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool ok = ::bind(s, reinterpret_cast<sockaddr*>(&sa), length) == 0;
    ::close(s);
    return ok;
}

// A run of free ports in the high range; another process may take one meanwhile, which only makes the
// start fail with a clear message.
int FreePortRun(int count, std::mt19937& random, const std::string& host) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int base = 30000 + static_cast<int>(random() % 30000);
        bool free = true;
        for (int p = base; p < base + count && free; ++p) free = PortFree(p, host);
        if (free)
            return base;
    }
    return 0;
}

void Stop(pid_t pid) {
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    const auto end = Clock::now() + std::chrono::seconds(3);
    int status = 0;
    while (Clock::now() < end) {
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs a command line quietly; true when it exits with status 0.
bool Run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

RealFtpServer::RealFtpServer(pid_t pid, int port, std::string root, std::string user, std::string password,
                             std::string workDir)
    : m_pid(pid),
      m_port(port),
      m_root(std::move(root)),
      m_user(std::move(user)),
      m_password(std::move(password)),
      m_workDir(std::move(workDir)) {}

RealFtpServer::~RealFtpServer() {
    Stop(m_pid);
    std::error_code error;
    fs::remove_all(m_workDir, error);
}

std::string RealFtpServer::ReadFile(const std::string& name) const {
    return ReadText(m_root + "/" + name);
}

bool RealFtpServer::HasFile(const std::string& name) const {
    return fs::exists(m_root + "/" + name);
}

namespace {
std::unique_ptr<RealFtpServer> LaunchPyftpdlib(std::string* why, const std::string& user,
                                               const std::string& password, const ServerTls* tls,
                                               const std::string& host = "127.0.0.1");
std::unique_ptr<RealFtpServer> LaunchVsftpd(std::string* why, const ServerTls* tls,
                                            const std::string& host = "127.0.0.1");
}  // namespace

std::unique_ptr<RealFtpServer> StartPyftpdlibOn(std::string* why, const std::string& host,
                                                const ServerTls* tls) {
    return LaunchPyftpdlib(why, "publisher", "s3cret pass", tls, host);
}

std::unique_ptr<RealFtpServer> StartVsftpdOn(std::string* why, const std::string& host,
                                             const ServerTls* tls) {
    return LaunchVsftpd(why, tls, host);
}

std::unique_ptr<RealFtpServer> StartPyftpdlib(std::string* why, const std::string& user,
                                              const std::string& password) {
    return LaunchPyftpdlib(why, user, password, nullptr);
}

std::unique_ptr<RealFtpServer> StartPyftpdlibTls(std::string* why, const ServerTls& tls) {
    return LaunchPyftpdlib(why, "publisher", "s3cret pass", &tls);
}

std::unique_ptr<RealFtpServer> StartVsftpd(std::string* why) {
    return LaunchVsftpd(why, nullptr);
}

std::unique_ptr<RealFtpServer> StartVsftpdTls(std::string* why, const ServerTls& tls) {
    return LaunchVsftpd(why, &tls);
}

namespace {

std::unique_ptr<RealFtpServer> LaunchPyftpdlib(std::string* why, const std::string& user,
                                               const std::string& password, const ServerTls* tls,
                                               const std::string& host) {
    const std::string work = MakeTempDir("sp-pyftpd-");
    if (work.empty()) {
        *why = "cannot create a temporary directory";
        return nullptr;
    }
    const std::string root = work + "/root";
    fs::create_directory(root);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        *why = "pipe failed";
        return nullptr;
    }
    const std::string log = work + "/pyftpdlib.log";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (logFd >= 0)
            ::dup2(logFd, STDERR_FILENO);
        const std::string hostOption = "--host=" + host;
        if (tls) {
            ::execl("/usr/bin/python3", "python3", SIGNPOSTER_PYFTPDLIB_SCRIPT, hostOption.c_str(),
                    user.c_str(), password.c_str(), root.c_str(), tls->certFile.c_str(), tls->keyFile.c_str(),
                    static_cast<char*>(nullptr));
        }
        ::execl("/usr/bin/python3", "python3", SIGNPOSTER_PYFTPDLIB_SCRIPT, hostOption.c_str(), user.c_str(),
                password.c_str(), root.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    std::string portText;
    const auto end = Clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    while (portText.find('\n') == std::string::npos && Clock::now() < end) {
        pollfd pfd{pipeFds[0], POLLIN, 0};
        if (::poll(&pfd, 1, 100) <= 0)
            continue;
        char buffer[64];
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        portText.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);
    const int port = std::atoi(portText.c_str());
    auto server = std::make_unique<RealFtpServer>(pid, port, root, user, password, work);
    if (port <= 0 || !WaitUntilAccepting(port, pid, host)) {
        *why = "pyftpdlib did not start (is python3-pyftpdlib installed?): " + ReadText(log);
        return nullptr;
    }
    return server;
}

namespace {

// The local system account a server logs the tests in as. It persists between runs; test processes
// running side by side all use the same password.
bool EnsureTestAccount(const char* user, const char* password, const char* server, std::string* why) {
    if (::getpwnam(user) == nullptr &&
        !Run(std::string("useradd --no-create-home --shell /bin/sh ") + user) &&
        ::getpwnam(user) == nullptr) {
        *why = std::string("cannot create the system user for ") + server;
        return false;
    }
    if (!Run(std::string("echo '") + user + ":" + password + "' | chpasswd")) {
        *why = std::string("cannot set the ") + server + " test user's password";
        return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<RealFtpServer> LaunchVsftpd(std::string* why, const ServerTls* tls, const std::string& host) {
    if (::geteuid() != 0) {
        *why = "vsftpd needs a local system user, which only root can create; run the tests as root";
        return nullptr;
    }
    if (::access("/usr/sbin/vsftpd", X_OK) != 0) {
        *why = "/usr/sbin/vsftpd is not installed";
        return nullptr;
    }
    if (!EnsureTestAccount(kVsftpdUser, kVsftpdPassword, "vsftpd", why))
        return nullptr;
    const passwd* account = ::getpwnam(kVsftpdUser);
    // vsftpd enters the home directory before local_root, and the account was made without one.
    if (account != nullptr) {
        std::error_code ignored;
        fs::create_directories(account->pw_dir, ignored);
    }
    const std::string work = MakeTempDir("sp-vsftpd-");
    if (work.empty() || account == nullptr) {
        *why = "cannot create a temporary directory";
        return nullptr;
    }
    const std::string root = work + "/root";
    fs::create_directory(root);
    ::chmod(work.c_str(), 0755);
    if (::chown(root.c_str(), account->pw_uid, account->pw_gid) != 0) {
        *why = "cannot hand the root directory to the vsftpd user";
        return nullptr;
    }
    fs::create_directories("/var/run/vsftpd/empty");

    std::mt19937 random(static_cast<unsigned>(::getpid()) ^
                        static_cast<unsigned>(Clock::now().time_since_epoch().count()));
    const int port = FreePortRun(1, random, host);
    const int pasv = FreePortRun(10, random, host);
    if (port == 0 || pasv == 0) {
        *why = "no free ports for vsftpd";
        return nullptr;
    }
    const std::string config = work + "/vsftpd.conf";
    {
        std::ofstream out(config);
        if (host.find(':') != std::string::npos)
            out << "listen=NO\nlisten_ipv6=YES\nlisten_address6=" << host;
        else
            out << "listen=YES\nlisten_ipv6=NO\nlisten_address=" << host;
        out << "\nlisten_port=" << port
            << "\nbackground=NO\nseccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
            << "anonymous_enable=NO\nlocal_enable=YES\nwrite_enable=YES\nlocal_umask=022\n"
            << "local_root=" << root << "\nchroot_local_user=NO\n"
            << "pasv_enable=YES\npasv_min_port=" << pasv << "\npasv_max_port=" << pasv + 9 << "\n"
            << "port_enable=YES\nconnect_from_port_20=NO\npam_service_name=vsftpd\n"
            << "secure_chroot_dir=/var/run/vsftpd/empty\nxferlog_enable=NO\ndelay_failed_login=0\n"
            << "vsftpd_log_file=" << work << "/vsftpd.log\n";
        if (tls) {
            // As a host that refuses clear-text logins would be set up; require_ssl_reuse is its default.
            out << "ssl_enable=YES\nallow_anon_ssl=NO\nforce_local_logins_ssl=YES\nforce_local_data_ssl=YES\n"
                << "ssl_tlsv1=YES\nssl_sslv2=NO\nssl_sslv3=NO\nrequire_ssl_reuse=YES\n"
                << "rsa_cert_file=" << tls->certFile << "\nrsa_private_key_file=" << tls->keyFile << "\n";
        }
    }
    const std::string log = work + "/stderr.log";
    const pid_t pid = SpawnLogged(log, {"/usr/sbin/vsftpd", config});
    auto server = std::make_unique<RealFtpServer>(pid, port, root, kVsftpdUser, kVsftpdPassword, work);
    if (!WaitUntilAccepting(port, pid, host)) {
        *why = "vsftpd did not start: " + ReadText(log);
        return nullptr;
    }
    return server;
}

}  // namespace

std::string RealSshServer::WriteKnownHosts(const std::string& keyLine) const {
    const std::string path = workDir + "/known_hosts-" + std::to_string(std::hash<std::string>()(keyLine));
    std::ofstream(path) << "[127.0.0.1]:" << Port() << " " << keyLine << "\n";
    return path;
}

std::unique_ptr<RealSshServer> StartSshd(std::string* why, bool withSftp, const std::string& host) {
    if (::geteuid() != 0) {
        *why = "sshd needs a local system user, which only root can create; run the tests as root";
        return nullptr;
    }
    if (::access("/usr/sbin/sshd", X_OK) != 0 || ::access("/usr/bin/ssh-keygen", X_OK) != 0) {
        *why = "OpenSSH's server is not installed (openssh-server)";
        return nullptr;
    }
    if (!EnsureTestAccount(kSshUser, kSshPassword, "sshd", why))
        return nullptr;
    const passwd* account = ::getpwnam(kSshUser);
    const std::string work = MakeTempDir("sp-sshd-");
    if (work.empty() || account == nullptr) {
        *why = "cannot create a temporary directory";
        return nullptr;
    }
    ::chmod(work.c_str(), 0755);
    const std::string root = work + "/root";
    fs::create_directory(root);
    if (::chown(root.c_str(), account->pw_uid, account->pw_gid) != 0) {
        *why = "cannot hand the root directory to the sshd user";
        return nullptr;
    }
    fs::create_directories("/run/sshd");
    for (const char* name : {"host_key", "other_key", "client_key"}) {
        if (!Run("ssh-keygen -q -t ed25519 -N '' -C signposter-test -f " + work + "/" + name)) {
            *why = "ssh-keygen failed";
            return nullptr;
        }
    }
    fs::copy_file(work + "/client_key.pub", work + "/authorized_keys");
    ::chmod((work + "/authorized_keys").c_str(), 0644);
    std::mt19937 random(static_cast<unsigned>(::getpid()) ^
                        static_cast<unsigned>(Clock::now().time_since_epoch().count()));
    const int port = FreePortRun(1, random, host);
    const std::string config = work + "/sshd_config";
    {
        std::ofstream out(config);
        out << "Port " << port << "\nListenAddress " << host << "\nHostKey " << work << "/host_key\n"
            << "PidFile none\nUsePAM no\nPasswordAuthentication yes\nKbdInteractiveAuthentication no\n"
            << "PubkeyAuthentication yes\nAuthorizedKeysFile " << work << "/authorized_keys\n"
            << "StrictModes no\nAllowUsers " << kSshUser << "\nLogLevel ERROR\nMaxStartups 100\n";
        if (withSftp)
            out << "Subsystem sftp internal-sftp -d " << root << "\n";
    }
    const std::string log = work + "/sshd.log";
    const pid_t pid = SpawnLogged(log, {"/usr/sbin/sshd", "-D", "-e", "-f", config});
    auto server = std::make_unique<RealSshServer>(pid, port, root, kSshUser, kSshPassword, work);
    server->workDir = work;
    server->clientKeyFile = work + "/client_key";
    auto publicLine = [](const std::string& path) {
        std::string line = ReadText(path);
        const std::size_t second = line.find(' ', line.find(' ') + 1);
        return line.substr(0, second);
    };
    server->hostKeyLine = publicLine(work + "/host_key.pub");
    server->otherKeyLine = publicLine(work + "/other_key.pub");
    if (std::system(
            ("ssh-keygen -l -E sha256 -f " + work + "/host_key.pub > " + work + "/fingerprint").c_str()) ==
        0) {
        const std::string listed = ReadText(work + "/fingerprint");
        const std::size_t start = listed.find("SHA256:");
        if (start != std::string::npos)
            server->hostKeyFingerprint = listed.substr(start, listed.find(' ', start) - start);
    }
    if (port == 0 || !WaitUntilAccepting(port, pid, host) || server->hostKeyFingerprint.empty()) {
        *why = "sshd did not start: " + ReadText(log);
        return nullptr;
    }
    return server;
}

}  // namespace signposter::testing
