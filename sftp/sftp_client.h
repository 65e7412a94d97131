#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "sftp/sftp_exceptions.h"

namespace signposter::sftp {

struct SshSettings {
    std::string host;
    int port = 22;
    std::string user;
    std::string password;        // the login password, or the key file's passphrase
    std::string keyFile;         // an OpenSSH private key; empty: the agent, else the password
    std::string pinnedHostKey;   // "SHA256:..." as OpenSSH prints it; empty: known_hosts decides
    std::string knownHostsFile;  // empty: ~/.ssh/known_hosts
    // Whether the host (a name, or an IPv6 literal with or without brackets) may be reached over IPv6;
    // off, only IPv4 is asked for and used, as for FTP.
    bool ipv6Allowed = false;
};

// The Protocol setting: false for FTP (also when empty), true for SFTP, letter case ignored; nothing for any
// other text.
std::optional<bool> ParseSftpProtocol(const std::string& text);
// "SHA256:" and unpadded base64 of 32 bytes, the prefix in any letter case, padding and surrounding
// spaces dropped; empty stays empty. Nothing for any other text.
std::optional<std::string> NormalizeHostKeyPin(const std::string& text);
// The user's known_hosts: $HOME/.ssh/known_hosts, or the account's home when HOME is unset.
std::string DefaultKnownHostsFile();

// What known_hosts says of a host key.
enum class KnownHostsVerdict { Known, Changed, OtherType, Unknown, Error };

struct HostKeyInfo {
    std::string hostEntry;    // "host" for port 22, else "[host]:port", as known_hosts names it
    std::string type;         // "ssh-ed25519"
    std::string fingerprint;  // "SHA256:..."
    KnownHostsVerdict verdict = KnownHostsVerdict::Unknown;
    std::string knownHostsFile;
    std::string acceptedBy;  // "pinned SshHostKey", "known_hosts (FILE)"; empty when not accepted
};
// One line on what known_hosts says, for the user.
std::string DescribeVerdict(const HostKeyInfo& info);

// An SFTP client over libssh in non-blocking mode: every wait is a poll on the socket through our clock,
// so each is bounded as the FTP client's are and a stop request ends it at once.
class SftpClient {
public:
    static constexpr int kDefaultPort = 22;
    static constexpr int kDefaultTimeout = 30000;
    static constexpr int kDefaultSessionTimeout = 120000;
    // The same floor as the FTP data connection's, for the same reason.
    static constexpr std::int64_t kMinBytesPerWindow = 30 * 1024;
    static constexpr int kRateWindowMs = 30000;

    SftpClient();
    ~SftpClient();
    SftpClient(const SftpClient&) = delete;
    SftpClient& operator=(const SftpClient&) = delete;

    const SshSettings& Settings() const { return m_settings; }
    void SetSettings(SshSettings settings) { m_settings = std::move(settings); }
    void SetClock(const platform::Clock& clock) { m_baseClock = &clock; }
    void SetReplyTimeout(int ms) { m_replyTimeout = ms; }
    void SetSessionTimeout(int ms) { m_sessionTimeout = ms; }
    // Sees each step as a line of text (never a secret), for the verbose upload.
    void SetOnStep(std::function<void(const std::string&)> handler) { m_onStep = std::move(handler); }

    // Connects, exchanges keys and checks the host key before anything secret is sent; then logs in and
    // starts SFTP. Starts the session's bound. Any failure closes the connection before it propagates.
    void OpenSession();
    // Connects and exchanges keys only, accepting any host key, and tells what it is and what the pin and
    // known_hosts say of it. Nothing is sent after the key exchange.
    HostKeyInfo ProbeHostKey();
    // Writes `bytes` to a temporary name beside `remoteName`, then renames it over `remoteName`. The
    // temporary file is removed when anything fails while the connection still stands.
    void StoreAtomically(const std::string& bytes, const std::string& remoteName);
    void CloseConnection();
    bool IsConnected() const;
    const HostKeyInfo& HostKey() const { return m_hostKey; }

private:
    struct Session;
    void Connect();
    void CheckHostKey();
    void Authenticate();
    void StartSftp();
    void Step(const std::string& text) const;
    template <typename Operation>
    void WithinSession(Operation&& operation);

    SshSettings m_settings;
    const platform::Clock* m_baseClock = &platform::MachineClock();
    std::optional<platform::BoundedClock> m_sessionClock;
    int m_replyTimeout = kDefaultTimeout;
    int m_sessionTimeout = kDefaultSessionTimeout;
    std::function<void(const std::string&)> m_onStep;
    std::unique_ptr<Session> m_session;
    HostKeyInfo m_hostKey;
};

}  // namespace signposter::sftp
