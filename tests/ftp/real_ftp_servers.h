#pragma once

#include <sys/types.h>
#include <memory>
#include <string>

// Real FTP servers on loopback for end-to-end tests: pyftpdlib (any user) and vsftpd (needs root, for
// its local system user). Each serves one user whose home is a new temporary directory, removed with the
// server.
namespace signposter::testing {

class RealFtpServer {
public:
    RealFtpServer(pid_t pid, int port, std::string root, std::string user, std::string password,
                  std::string workDir);
    ~RealFtpServer();
    RealFtpServer(const RealFtpServer&) = delete;
    RealFtpServer& operator=(const RealFtpServer&) = delete;

    int Port() const { return m_port; }
    const std::string& Root() const { return m_root; }
    const std::string& User() const { return m_user; }
    const std::string& Password() const { return m_password; }
    // The bytes of a file in the server's root; empty when it does not exist.
    std::string ReadFile(const std::string& name) const;
    bool HasFile(const std::string& name) const;

private:
    pid_t m_pid;
    int m_port;
    std::string m_root;
    std::string m_user;
    std::string m_password;
    std::string m_workDir;
};

// pyftpdlib under /usr/bin/python3 on 127.0.0.1 at a port of the system's choice, accepting connections
// when this returns. nullptr, with the reason in *why, when it cannot be started.
std::unique_ptr<RealFtpServer> StartPyftpdlib(std::string* why, const std::string& user = "publisher",
                                              const std::string& password = "s3cret pass");

// The certificate and key (PEM files) of a server that requires explicit TLS on every connection.
struct ServerTls {
    std::string certFile;
    std::string keyFile;
};
std::unique_ptr<RealFtpServer> StartPyftpdlibTls(std::string* why, const ServerTls& tls);
std::unique_ptr<RealFtpServer> StartVsftpdTls(std::string* why, const ServerTls& tls);

// The same servers listening on `host` (127.0.0.1 or ::1), with TLS when `tls` is given.
std::unique_ptr<RealFtpServer> StartPyftpdlibOn(std::string* why, const std::string& host,
                                                const ServerTls* tls = nullptr);
std::unique_ptr<RealFtpServer> StartVsftpdOn(std::string* why, const std::string& host,
                                             const ServerTls* tls = nullptr);

// vsftpd on 127.0.0.1 at a free high port with a passive port range, for a local system user that is
// created when missing. Needs root; nullptr with the reason in *why otherwise.
std::unique_ptr<RealFtpServer> StartVsftpd(std::string* why);

// OpenSSH's sshd on `host` (127.0.0.1 or ::1) at a free high port with host keys of its own, for a local
// system user (password and key) whose SFTP starts in Root(). Needs root; nullptr with the reason in *why
// otherwise.
class RealSshServer : public RealFtpServer {
public:
    using RealFtpServer::RealFtpServer;
    std::string hostKeyFingerprint;  // "SHA256:..." as ssh-keygen prints it
    std::string hostKeyLine;         // "TYPE BASE64" of the host's public key
    std::string otherKeyLine;        // another key of the same type, for a known_hosts that is out of date
    std::string clientKeyFile;       // the user's private key, no passphrase
    // A known_hosts file listing `keyLine` for this server.
    std::string WriteKnownHosts(const std::string& keyLine) const;
    std::string workDir;
};
std::unique_ptr<RealSshServer> StartSshd(std::string* why, bool withSftp = true,
                                         const std::string& host = "127.0.0.1");

}  // namespace signposter::testing
