#include "sftp/sftp_client.h"

#include <fcntl.h>
#include <libssh/libssh.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>

#include "net/id_exceptions.h"
#include "net/id_stack.h"
#include "net/id_tcp_client.h"
#include "net/temporary_name.h"
#include "platform/files.h"
#include "platform/lazy_library.h"
#include "platform/text.h"
#include "sftp/sftp_packets.h"

namespace signposter::sftp {

namespace {

constexpr char kPosixRename[] = "posix-rename@openssh.com";
// Bytes per write request: every server takes 32 KiB (OpenSSH takes up to 256 KiB), and a few of them in
// flight keep the link busy while their replies come back.
constexpr std::size_t kWriteChunk = 32 * 1024;
constexpr std::size_t kWritesInFlight = 16;
// The mode bits of a new page, and the file type bits of an SFTP mode (POSIX's S_IFMT and S_IFREG).
constexpr std::uint32_t kNewPageMode = 0644;
constexpr std::uint32_t kFileTypeMask = 0170000;
constexpr std::uint32_t kRegularFileType = 0100000;

std::string Base64Unpadded(const std::string& text) {
    std::string out = text;
    while (!out.empty() && out.back() == '=') out.pop_back();
    return out;
}

bool IsBase64Character(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

std::string InDirectory(const std::string& directory) {
    if (directory.empty())
        return "the login directory";
    const std::string shown = "the directory '" + text::Printable(directory) + "'";
    return directory.front() == '/' ? shown : shown + " in the login directory";
}

// What the user can do about a refusal, by what was being done when it came.
enum class Operation { Open, Write, Rename };

[[noreturn]] void RaiseStatus(const Status& status, Operation operation, const std::string& remoteName) {
    const std::string directory = net::RemoteDirectoryOf(remoteName);
    const std::string server =
        " (server: " + StatusName(status.code) + (status.message.empty() ? "" : ", " + status.message) + ")";
    if (status.code == kFxPermissionDenied) {
        throw ESftpPermissionDenied(status.code, "Permission denied: cannot write the page in " +
                                                     InDirectory(directory) + server + ".");
    }
    if (status.code == kFxNoSpaceOnFilesystem || status.code == kFxQuotaExceeded ||
        (status.code == kFxFailure && operation == Operation::Write)) {
        // OpenSSH's server reports a full disk or quota as a plain failure; while writing it is nearly
        // always that.
        throw ESftpDiskFull(status.code,
                            "The server could not store the page: its disk or the account's "
                            "quota is probably full" +
                                server + ".");
    }
    if (status.code == kFxNoSuchFile && operation == Operation::Open)
        throw ESftpStatusError(status.code,
                               InDirectory(directory) + " does not exist on the server" + server + ".");
    const char* what = operation == Operation::Open    ? "Creating the temporary file"
                       : operation == Operation::Write ? "Writing the page"
                                                       : "Renaming the page into place";
    throw ESftpStatusError(status.code, std::string(what) + " failed" + server + ".");
}

}  // namespace

std::optional<bool> ParseSftpProtocol(const std::string& text) {
    const std::string protocol = text::UpperAscii(text::Trim(text));
    if (protocol.empty() || protocol == "FTP")
        return false;
    if (protocol == "SFTP")
        return true;
    return std::nullopt;
}

std::optional<std::string> NormalizeHostKeyPin(const std::string& text) {
    const std::string trimmed = text::Trim(text);
    if (trimmed.empty())
        return std::string();
    constexpr std::string_view kPrefix = "SHA256:";
    if (trimmed.size() <= kPrefix.size() || text::UpperAscii(trimmed.substr(0, kPrefix.size())) != kPrefix)
        return std::nullopt;
    const std::string digest = Base64Unpadded(trimmed.substr(kPrefix.size()));
    // 32 bytes are 43 base64 characters without padding.
    if (digest.size() != 43)
        return std::nullopt;
    for (char c : digest) {
        if (!IsBase64Character(c))
            return std::nullopt;
    }
    return std::string(kPrefix) + digest;
}

std::string DefaultKnownHostsFile() {
    const char* home = std::getenv("HOME");
    std::string directory = home && *home ? home : "";
    if (directory.empty()) {
        if (const passwd* account = ::getpwuid(::getuid()))
            directory = account->pw_dir;
    }
    return directory + "/.ssh/known_hosts";
}

std::string DescribeVerdict(const HostKeyInfo& info) {
    const std::string file = info.knownHostsFile;
    switch (info.verdict) {
        case KnownHostsVerdict::Known:
            return file + " knows this key for " + info.hostEntry;
        case KnownHostsVerdict::Changed:
            return file + " holds ANOTHER key for " + info.hostEntry + ": the host key has changed";
        case KnownHostsVerdict::OtherType:
            return file + " holds a key of another type for " + info.hostEntry;
        case KnownHostsVerdict::Unknown:
            return file + " does not know " + info.hostEntry;
        case KnownHostsVerdict::Error:
            break;
    }
    return file + " could not be read";
}

// One connection: libssh's session and channel over our socket, and the SFTP packets read so far.
struct SftpClient::Session {
    ssh_session ssh = nullptr;
    ssh_channel channel = nullptr;
    int fd = -1;
    bool connecting = false;  // ssh_connect has been called: a goodbye may be sent
    PacketAssembler packets;
    std::uint32_t nextId = 1;
    bool posixRename = false;

    ~Session() {
        // libssh is non-blocking here, so a goodbye to a stalled server queues and returns.
        if (channel)
            ssh_channel_free(channel);
        if (ssh) {
            if (connecting)
                ssh_disconnect(ssh);
            ssh_free(ssh);
        }
        // libssh leaves a descriptor given to it (SSH_OPTIONS_FD) open: it stays ours to close.
        if (fd >= 0)
            ::close(fd);
    }
};

namespace {

// The waits of one connection: each a poll on the socket through the clock, for what libssh needs.
class Waiter {
public:
    Waiter(ssh_session ssh, int fd, const platform::Clock& clock) : m_ssh(ssh), m_fd(fd), m_clock(clock) {}

    // True when the socket is ready, false at `deadline`; the stop request and the session bound raise.
    bool Wait(std::int64_t deadline) const {
        pollfd p{m_fd, POLLIN, 0};
        if (ssh_get_poll_flags(m_ssh) & SSH_WRITE_PENDING)
            p.events |= POLLOUT;
        const int ready = m_clock.Poll(&p, 1, deadline);
        if (ready > 0)
            return true;
        if (ready == 0)
            return false;
        if (errno == ECANCELED)
            throw net::EIdStopped("Stopped.");
        if (errno == ETIME)
            throw net::EIdAttemptTimeout("Attempt took longer than its bound.");
        throw net::EIdSocketError(0, std::string("Waiting for the server failed: ") + std::strerror(errno));
    }

    // Repeats a non-blocking libssh call while it answers `again`, each round after the socket is ready,
    // all of it within `timeoutMs`.
    template <typename Call>
    int Repeat(Call&& call, int again, int timeoutMs, const std::string& waitingFor) const {
        const std::int64_t deadline = m_clock.DeadlineAfter(timeoutMs);
        for (;;) {
            const int rc = call();
            if (rc != again)
                return rc;
            if (!Wait(deadline)) {
                throw net::EIdReplyTimeout("No reply from the server within " + std::to_string(timeoutMs) +
                                           " ms (" + waitingFor + ").");
            }
        }
    }

private:
    ssh_session m_ssh;
    int m_fd;
    const platform::Clock& m_clock;
};

}  // namespace

SftpClient::SftpClient() = default;

SftpClient::~SftpClient() = default;

bool SftpClient::IsConnected() const {
    return m_session != nullptr;
}

void SftpClient::CloseConnection() {
    m_session.reset();
}

void SftpClient::Step(const std::string& text) const {
    if (m_onStep)
        m_onStep(text);
}

template <typename Operation>
void SftpClient::WithinSession(Operation&& operation) {
    try {
        operation();
    } catch (const net::EIdAttemptTimeout&) {
        CloseConnection();
        throw net::EIdAttemptTimeout("Attempt took longer than " + std::to_string(m_sessionTimeout / 1000) +
                                     " s.");
    } catch (const net::EIdStopped&) {
        CloseConnection();
        throw;
    }
}

void SftpClient::OpenSession() {
    m_sessionClock.emplace(*m_baseClock, m_baseClock->DeadlineAfter(m_sessionTimeout));
    WithinSession([&] {
        try {
            Connect();
            CheckHostKey();
            Authenticate();
            StartSftp();
        } catch (...) {
            CloseConnection();
            throw;
        }
    });
}

HostKeyInfo SftpClient::ProbeHostKey() {
    m_sessionClock.emplace(*m_baseClock, m_baseClock->DeadlineAfter(m_sessionTimeout));
    WithinSession([&] {
        try {
            Connect();
        } catch (...) {
            CloseConnection();
            throw;
        }
    });
    CloseConnection();
    return m_hostKey;
}

void SftpClient::Connect() {
    CloseConnection();
    if (const std::string missing = platform::LoadSsh(); !missing.empty())
        throw ESshError(missing);
    m_hostKey = HostKeyInfo{};
    const platform::Clock& clock = *m_sessionClock;
    auto session = std::make_unique<Session>();

    // The IPv4 resolver would take an IPv6 literal for a name, and a bracketed one would go out to DNS.
    if (!m_settings.ipv6Allowed && net::TIdStack::IPv6Literal(m_settings.host))
        throw net::EIdSocketError(net::kWsaNoData, "Cannot connect to " + text::Printable(m_settings.host) +
                                                       ": an IPv6 address, and only IPv4 is allowed");
    // The socket layer does the name look-up and the connect, bounded and reported as for FTP; libssh
    // takes the connected descriptor over.
    {
        net::TIdTCPClient tcp;
        tcp.SetClock(clock);
        tcp.SetHost(m_settings.host);
        tcp.SetPort(m_settings.port);
        tcp.SetConnectTimeout(m_replyTimeout);
        tcp.SetIPv6Allowed(m_settings.ipv6Allowed);
        Step("connecting to " + m_settings.host + " port " + std::to_string(m_settings.port));
        tcp.ConnectToHost();
        session->fd = tcp.Socket().SocketId();
        Step("connected to " + tcp.Socket().RemoteAddress());
        tcp.Socket().Clear(false);
    }
    ::fcntl(session->fd, F_SETFL, ::fcntl(session->fd, F_GETFL) | O_NONBLOCK);

    session->ssh = ssh_new();
    if (!session->ssh)
        throw ESshError("Cannot start an SSH session (out of memory).");
    ssh_session ssh = session->ssh;
    const int port = m_settings.port;
    const bool no = false;
    m_hostKey.knownHostsFile =
        m_settings.knownHostsFile.empty() ? DefaultKnownHostsFile() : m_settings.knownHostsFile;
    // The settings are the program's alone: no ~/.ssh/config may redirect the host, port or user.
    ssh_options_set(ssh, SSH_OPTIONS_PROCESS_CONFIG, &no);
    ssh_options_set(ssh, SSH_OPTIONS_FD, &session->fd);
    // known_hosts names an IPv6 host without brackets ("::1", "[::1]:2222"), and libssh refuses them.
    const std::string& host = m_settings.host;
    const std::string sshHost =
        host.size() > 2 && host.front() == '[' && host.back() == ']' ? host.substr(1, host.size() - 2) : host;
    ssh_options_set(ssh, SSH_OPTIONS_HOST, sshHost.c_str());
    ssh_options_set(ssh, SSH_OPTIONS_PORT, &port);
    if (!m_settings.user.empty())
        ssh_options_set(ssh, SSH_OPTIONS_USER, m_settings.user.c_str());
    ssh_options_set(ssh, SSH_OPTIONS_KNOWNHOSTS, m_hostKey.knownHostsFile.c_str());
    ssh_set_blocking(ssh, 0);
    m_session = std::move(session);
    m_session->connecting = true;

    const Waiter waiter(ssh, m_session->fd, clock);
    const int rc = waiter.Repeat([&] { return ssh_connect(ssh); }, SSH_AGAIN, m_replyTimeout, "key exchange");
    if (rc != SSH_OK)
        throw ESshHandshakeFailed(std::string("The SSH key exchange failed: ") + ssh_get_error(ssh));
    const char* kex = ssh_get_kex_algo(ssh);
    const char* cipher = ssh_get_cipher_out(ssh);
    Step(std::string("key exchange done: ") + (kex ? kex : "?") + ", " + (cipher ? cipher : "?"));

    ssh_key key = nullptr;
    if (ssh_get_server_publickey(ssh, &key) != SSH_OK)
        throw ESshHandshakeFailed("The server presented no host key.");
    unsigned char* hash = nullptr;
    std::size_t hashLength = 0;
    const int hashed = ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &hashLength);
    m_hostKey.type = ssh_key_type_to_char(ssh_key_type(key)) ? ssh_key_type_to_char(ssh_key_type(key)) : "?";
    ssh_key_free(key);
    if (hashed != SSH_OK)
        throw ESshHandshakeFailed("Cannot hash the server's host key.");
    char* fingerprint = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, hashLength);
    ssh_clean_pubkey_hash(&hash);
    m_hostKey.fingerprint = fingerprint ? Base64Unpadded(fingerprint) : "";
    ssh_string_free_char(fingerprint);
    m_hostKey.hostEntry = port == 22 ? sshHost : "[" + sshHost + "]:" + std::to_string(port);
    switch (ssh_session_is_known_server(ssh)) {
        case SSH_KNOWN_HOSTS_OK:
            m_hostKey.verdict = KnownHostsVerdict::Known;
            break;
        case SSH_KNOWN_HOSTS_CHANGED:
            m_hostKey.verdict = KnownHostsVerdict::Changed;
            break;
        case SSH_KNOWN_HOSTS_OTHER:
            m_hostKey.verdict = KnownHostsVerdict::OtherType;
            break;
        case SSH_KNOWN_HOSTS_UNKNOWN:
        case SSH_KNOWN_HOSTS_NOT_FOUND:
            m_hostKey.verdict = KnownHostsVerdict::Unknown;
            break;
        default:
            m_hostKey.verdict = KnownHostsVerdict::Error;
            break;
    }
}

void SftpClient::CheckHostKey() {
    const HostKeyInfo& key = m_hostKey;
    const std::string shown = key.type + " " + key.fingerprint;
    const std::string mitm =
        " Someone could be intercepting the connection (a man-in-the-middle attack), or the host has "
        "replaced its key. Nothing was sent.";
    const auto pin = NormalizeHostKeyPin(m_settings.pinnedHostKey);
    if (!pin)
        throw ESshHostKeyRejected(
            "SshHostKey is not SHA256: followed by a fingerprint as OpenSSH prints it.");
    if (!pin->empty()) {
        if (*pin != key.fingerprint) {
            throw ESshHostKeyMismatch("The host key of " + key.hostEntry + " (" + shown +
                                      ") is not the pinned SshHostKey " + *pin + "." + mitm +
                                      " Pin the new key only after the host has confirmed it.");
        }
        m_hostKey.acceptedBy = "pinned SshHostKey";
    } else {
        const std::string pinIt =
            " signposter-cli ssh-fingerprint shows it; compare it with the one your host "
            "publishes, then pin it: signposter-cli set SshHostKey=" +
            key.fingerprint;
        switch (key.verdict) {
            case KnownHostsVerdict::Known:
                m_hostKey.acceptedBy = "known_hosts (" + key.knownHostsFile + ")";
                break;
            case KnownHostsVerdict::Changed:
            case KnownHostsVerdict::OtherType:
                throw ESshHostKeyMismatch(
                    "WARNING: the host key of " + key.hostEntry + " has changed: " + key.knownHostsFile +
                    " holds another key for it, the server shows " + shown + "." + mitm +
                    " If the host confirms the new key, remove the old one (ssh-keygen -R '" + key.hostEntry +
                    "') or pin the new.");
            case KnownHostsVerdict::Unknown:
            case KnownHostsVerdict::Error:
                throw ESshHostKeyRejected("The host key of " + key.hostEntry + " (" + shown +
                                          ") is not known: it is not pinned in SshHostKey and " +
                                          key.knownHostsFile + " does not list it. Nothing was sent." +
                                          pinIt + ".");
        }
    }
    Step("host key " + shown + " accepted by " + m_hostKey.acceptedBy);
}

namespace {

// The private key, read as the trust file is read: a regular file only (a FIFO would hold the session until
// a signal), whole. Like OpenSSH, a key that others may read is no private key and is refused.
std::string ReadKeyFile(const std::string& path) {
    const std::string cannot = "Cannot use the key file " + text::Printable(path) + ": ";
    std::string bytes;
    unsigned mode = 0;
    try {
        bytes = platform::ReadWholeFile(path, &mode);
    } catch (const Exception&) {
        throw ESshKeyFileError(cannot + "it is missing, unreadable or not a regular file.");
    }
    if (mode & 077) {
        char octal[16];
        std::snprintf(octal, sizeof octal, "%04o", mode);
        throw ESshKeyFileError(cannot + "its permissions " + octal +
                               " let others read it; make it private (chmod 600 " + text::Printable(path) + ").");
    }
    return bytes;
}

}  // namespace

void SftpClient::Authenticate() {
    ssh_session ssh = m_session->ssh;
    const Waiter waiter(ssh, m_session->fd, *m_sessionClock);
    const std::string& user = m_settings.user;
    auto attempt = [&](auto&& call) {
        return waiter.Repeat(call, SSH_AUTH_AGAIN, m_replyTimeout, "authentication");
    };
    const std::string failed = "Authentication failed for " + user;
    int rc = attempt([&] { return ssh_userauth_none(ssh, nullptr); });
    if (rc == SSH_AUTH_SUCCESS) {
        Step("authenticated as " + user + " without credentials");
        return;
    }
    if (rc == SSH_AUTH_ERROR)
        throw ESshHandshakeFailed(std::string("The SSH connection broke: ") + ssh_get_error(ssh));
    const int methods = ssh_userauth_list(ssh, nullptr);

    if (!m_settings.keyFile.empty()) {
        const std::string keyText = ReadKeyFile(m_settings.keyFile);
        ssh_key key = nullptr;
        const char* passphrase = m_settings.password.empty() ? nullptr : m_settings.password.c_str();
        if (ssh_pki_import_privkey_base64(keyText.c_str(), passphrase, nullptr, nullptr, &key) != SSH_OK) {
            throw ESshKeyFileError("Cannot use the key file " + text::Printable(m_settings.keyFile) +
                                   ": it is not an OpenSSH private key, or its passphrase (the Password) is "
                                   "wrong.");
        }
        // Freed however the attempt ends: a stop or a bound raises out of it.
        const std::unique_ptr<ssh_key_struct, void (*)(ssh_key)> owned(key, ssh_key_free);
        rc = attempt([&] { return ssh_userauth_publickey(ssh, nullptr, key); });
        if (rc == SSH_AUTH_SUCCESS) {
            Step("authenticated as " + user + " with the key in " + m_settings.keyFile);
            return;
        }
        throw ESshAuthenticationFailed(failed + " (the server refused the key in " + m_settings.keyFile +
                                       ").");
    }
    const char* agent = std::getenv("SSH_AUTH_SOCK");
    if (agent && *agent && (methods & SSH_AUTH_METHOD_PUBLICKEY)) {
        rc = attempt([&] { return ssh_userauth_agent(ssh, nullptr); });
        if (rc == SSH_AUTH_SUCCESS) {
            Step("authenticated as " + user + " with a key from ssh-agent");
            return;
        }
        if (rc == SSH_AUTH_ERROR)
            throw ESshHandshakeFailed(std::string("The SSH connection broke: ") + ssh_get_error(ssh));
    }
    if (!(methods & SSH_AUTH_METHOD_PASSWORD))
        throw ESshAuthenticationFailed(failed + " (the server takes no password; set SshKeyFile).");
    rc = attempt([&] { return ssh_userauth_password(ssh, nullptr, m_settings.password.c_str()); });
    if (rc != SSH_AUTH_SUCCESS)
        throw ESshAuthenticationFailed(failed + " (password refused).");
    Step("authenticated as " + user + " with the password");
}

namespace {

// The SFTP conversation on an open channel, every wait through the waiter.
class Conversation {
public:
    Conversation(ssh_channel channel, PacketAssembler& packets, const Waiter& waiter,
                 const platform::Clock& clock, int replyTimeout)
        : m_channel(channel),
          m_packets(packets),
          m_waiter(waiter),
          m_clock(clock),
          m_replyTimeout(replyTimeout) {}

    // Sends whole packets, at no less than the floor rate while the server's window holds us back.
    void Send(const std::string& bytes) {
        std::size_t sent = 0;
        std::int64_t windowEnd = m_clock.DeadlineAfter(SftpClient::kRateWindowMs);
        std::int64_t windowBytes = 0;
        std::int64_t replyDeadline = m_clock.DeadlineAfter(m_replyTimeout);
        while (sent < bytes.size()) {
            const int n =
                ssh_channel_write(m_channel, bytes.data() + sent,
                                  static_cast<std::uint32_t>(std::min(bytes.size() - sent, kWriteChunk)));
            if (n == SSH_ERROR)
                throw ESshError("The SSH connection broke while sending.");
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
                windowBytes += n;
                replyDeadline = m_clock.DeadlineAfter(m_replyTimeout);
                continue;
            }
            if (m_clock.Passed(windowEnd)) {
                if (windowBytes < SftpClient::kMinBytesPerWindow)
                    throw net::EIdDataTooSlow("The server took the page slower than 1 KiB/s.");
                windowEnd = m_clock.DeadlineAfter(SftpClient::kRateWindowMs);
                windowBytes = 0;
            }
            if (!m_waiter.Wait(std::min(windowEnd, replyDeadline)) && m_clock.Passed(replyDeadline)) {
                throw net::EIdSocketError(
                    10060, "The server took no data for " + std::to_string(m_replyTimeout) + " ms.");
            }
        }
    }

    // The next packet's body, within one reply's bound.
    std::string Receive(const std::string& waitingFor) {
        const std::int64_t deadline = m_clock.DeadlineAfter(m_replyTimeout);
        char buffer[16384];
        for (;;) {
            if (auto packet = m_packets.Next())
                return std::move(*packet);
            const int n = ssh_channel_read_nonblocking(m_channel, buffer, sizeof buffer, 0);
            if (n == SSH_ERROR)
                throw ESshError("The SSH connection broke while waiting for " + waitingFor + ".");
            if (n > 0) {
                m_packets.Append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (ssh_channel_is_eof(m_channel) || ssh_channel_is_closed(m_channel))
                throw ESshError("The server closed the SFTP channel while we waited for " + waitingFor + ".");
            if (!m_waiter.Wait(deadline)) {
                throw net::EIdReplyTimeout("No reply from the server within " +
                                           std::to_string(m_replyTimeout) + " ms (" + waitingFor + ").");
            }
        }
    }

    std::uint32_t NextId(std::uint32_t& counter) { return counter++; }

    // A request's STATUS reply; anything else for this request is a protocol error.
    Status ReceiveStatus(std::uint32_t id, const std::string& waitingFor) {
        const std::string body = Receive(waitingFor);
        const Status status = ParseStatus(body);
        if (status.id != id)
            throw ESftpProtocolError("The server answered a request that was not asked.");
        return status;
    }

private:
    ssh_channel m_channel;
    PacketAssembler& m_packets;
    const Waiter& m_waiter;
    const platform::Clock& m_clock;
    int m_replyTimeout;
};

// Temporary files of this program that an interrupted upload left beside the page (".NAME.signposter-"
// and six letters or digits, as TemporaryNameBeside makes them), once they are older than an hour: a
// younger one may be another publisher's upload in progress.
constexpr std::int64_t kStaleTemporarySeconds = 3600;
// A web directory may be large; the leftovers are looked for in this many listing replies at most.
constexpr int kMaxListingReplies = 64;

bool IsOurTemporaryOf(const std::string& entry, const std::string& pageName) {
    const std::string prefix = "." + pageName + ".signposter-";
    if (entry.size() != prefix.size() + 6 || entry.compare(0, prefix.size(), prefix) != 0)
        return false;
    return std::all_of(entry.begin() + static_cast<std::ptrdiff_t>(prefix.size()), entry.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
}

// Best effort after a successful upload: whatever fails here leaves the leftovers for the next one, and
// the page in place is never reported as a failure.
void RemoveStaleTemporaries(Conversation& talk, std::uint32_t& nextId, const std::string& remoteName,
                            const std::function<void(const std::string&)>& step) {
    const std::string directory = net::RemoteDirectoryOf(remoteName);
    const std::string pageName = remoteName.substr(directory.size());
    try {
        std::uint32_t id = talk.NextId(nextId);
        talk.Send(PacketWriter(kFxpOpendir).U32(id).String(directory.empty() ? "." : directory).Finish());
        std::string handle;
        {
            const std::string body = talk.Receive("the directory's handle");
            PacketReader reader(body);
            if (reader.U8() != kFxpHandle || reader.U32() != id)
                return;
            handle = reader.String();
        }
        const std::int64_t staleBefore = static_cast<std::int64_t>(std::time(nullptr)) - kStaleTemporarySeconds;
        std::vector<std::string> stale;
        for (int replies = 0; replies < kMaxListingReplies; ++replies) {
            id = talk.NextId(nextId);
            talk.Send(PacketWriter(kFxpReaddir).U32(id).String(handle).Finish());
            const std::string body = talk.Receive("the directory's listing");
            PacketReader reader(body);
            if (reader.U8() != kFxpName || reader.U32() != id)
                break;  // the end of the listing, or a refusal
            for (std::uint32_t count = reader.U32(); count > 0; --count) {
                const std::string name = reader.String();
                reader.String();  // the long name, as `ls -l` would show it
                std::optional<std::uint32_t> modified;
                const std::optional<std::uint32_t> mode = reader.Attributes(&modified);
                if (IsOurTemporaryOf(name, pageName) && modified && *modified < staleBefore &&
                    (!mode || (*mode & kFileTypeMask) == kRegularFileType))
                    stale.push_back(directory + name);
            }
        }
        id = talk.NextId(nextId);
        talk.Send(PacketWriter(kFxpClose).U32(id).String(handle).Finish());
        talk.ReceiveStatus(id, "the directory's close");
        for (const std::string& name : stale) {
            id = talk.NextId(nextId);
            talk.Send(PacketWriter(kFxpRemove).U32(id).String(name).Finish());
            if (talk.ReceiveStatus(id, "a stale temporary file's removal").code == kFxOk)
                step("removed " + name + ", left by an upload more than an hour ago");
        }
    } catch (const Exception& error) {
        step("stale temporary files not looked for: " + error.Message());
    }
}

}  // namespace

void SftpClient::StartSftp() {
    Session& s = *m_session;
    const Waiter waiter(s.ssh, s.fd, *m_sessionClock);
    s.channel = ssh_channel_new(s.ssh);
    if (!s.channel)
        throw ESshError("Cannot start an SSH channel (out of memory).");
    int rc = waiter.Repeat([&] { return ssh_channel_open_session(s.channel); }, SSH_AGAIN, m_replyTimeout,
                           "opening a channel");
    if (rc != SSH_OK)
        throw ESshError(std::string("The server refused a session channel: ") + ssh_get_error(s.ssh));
    rc = waiter.Repeat([&] { return ssh_channel_request_subsystem(s.channel, "sftp"); }, SSH_AGAIN,
                       m_replyTimeout, "starting SFTP");
    if (rc != SSH_OK)
        throw ESftpNoSubsystem("The server offers no SFTP subsystem: it refused to start SFTP for " +
                               m_settings.user + ".");
    Conversation talk(s.channel, s.packets, waiter, *m_sessionClock, m_replyTimeout);
    talk.Send(PacketWriter(kFxpInit).U32(3).Finish());
    const ServerVersion version = ParseVersion(talk.Receive("the SFTP version"));
    s.posixRename = version.posixRename;
    Step("SFTP version " + std::to_string(version.version) +
         (s.posixRename ? ", posix-rename offered" : ", no posix-rename: remove and rename"));
}

void SftpClient::StoreAtomically(const std::string& bytes, const std::string& remoteName) {
    if (!m_session || !m_session->channel)
        throw ESshError("Not connected.");
    WithinSession([&] {
        Session& s = *m_session;
        const Waiter waiter(s.ssh, s.fd, *m_sessionClock);
        Conversation talk(s.channel, s.packets, waiter, *m_sessionClock, m_replyTimeout);
        const std::string temporary = net::TemporaryNameBeside(remoteName);

        // The page keeps its permissions: the temporary file takes those of the regular file it replaces.
        // Anything else there (a symbolic link's 0777 above all) gives a plain page's 0644, never an
        // executable one.
        std::uint32_t id = talk.NextId(s.nextId);
        talk.Send(PacketWriter(kFxpLstat).U32(id).String(remoteName).Finish());
        std::uint32_t permissions = kNewPageMode;
        {
            const std::string body = talk.Receive("the page's attributes");
            PacketReader reader(body);
            if (reader.U8() == kFxpAttrs && reader.U32() == id) {
                const std::optional<std::uint32_t> mode = reader.Attributes();
                // Servers that send no file type leave the mode as it is.
                const std::uint32_t type = mode ? *mode & kFileTypeMask : 0;
                if (mode && (type == 0 || type == kRegularFileType))
                    permissions = *mode & 07777;
            }
        }

        id = talk.NextId(s.nextId);
        PacketWriter open(kFxpOpen);
        // Exclusive: a name that exists is never someone else's file overwritten.
        open.U32(id).String(temporary).U32(kFxfWrite | kFxfCreat | kFxfExcl);
        open.U32(kAttrPermissions).U32(permissions);
        Step("writing " + std::to_string(bytes.size()) + " bytes to " + temporary);
        talk.Send(open.Finish());
        std::string handle;
        {
            const std::string body = talk.Receive("the temporary file's handle");
            PacketReader reader(body);
            if (reader.U8() == kFxpHandle) {
                if (reader.U32() != id)
                    throw ESftpProtocolError("The server answered a request that was not asked.");
                handle = reader.String();
            } else {
                RaiseStatus(ParseStatus(body), Operation::Open, remoteName);
            }
        }

        bool created = true;
        try {
            // The writes go out a few at a time, their replies read as they come.
            std::map<std::uint32_t, bool> inFlight;
            std::size_t offset = 0;
            std::optional<Status> refusal;
            while ((offset < bytes.size() || !inFlight.empty())) {
                while (offset < bytes.size() && inFlight.size() < kWritesInFlight && !refusal) {
                    const std::size_t count = std::min(kWriteChunk, bytes.size() - offset);
                    const std::uint32_t writeId = talk.NextId(s.nextId);
                    talk.Send(PacketWriter(kFxpWrite)
                                  .U32(writeId)
                                  .String(handle)
                                  .U64(offset)
                                  .String(std::string_view(bytes).substr(offset, count))
                                  .Finish());
                    inFlight[writeId] = true;
                    offset += count;
                }
                if (inFlight.empty())
                    break;
                const Status status = ParseStatus(talk.Receive("a write's reply"));
                if (inFlight.erase(status.id) == 0)
                    throw ESftpProtocolError("The server answered a request that was not asked.");
                if (status.code != kFxOk && !refusal)
                    refusal = status;
            }
            const std::uint32_t closeId = talk.NextId(s.nextId);
            talk.Send(PacketWriter(kFxpClose).U32(closeId).String(handle).Finish());
            const Status closed = talk.ReceiveStatus(closeId, "the temporary file's close");
            if (refusal)
                RaiseStatus(*refusal, Operation::Write, remoteName);
            // Some file systems report a full disk only when the file is closed.
            if (closed.code != kFxOk)
                RaiseStatus(closed, Operation::Write, remoteName);

            const std::uint32_t renameId = talk.NextId(s.nextId);
            if (s.posixRename) {
                Step("renaming " + temporary + " over " + remoteName + " (posix-rename)");
                talk.Send(PacketWriter(kFxpExtended)
                              .U32(renameId)
                              .String(kPosixRename)
                              .String(temporary)
                              .String(remoteName)
                              .Finish());
            } else {
                // Version 3's rename refuses an existing target: the page is missing for a moment.
                const std::uint32_t removeId = renameId;
                Step("removing " + remoteName + ", then renaming " + temporary + " to it");
                talk.Send(PacketWriter(kFxpRemove).U32(removeId).String(remoteName).Finish());
                const Status removed = talk.ReceiveStatus(removeId, "the old page's removal");
                if (removed.code != kFxOk && removed.code != kFxNoSuchFile)
                    RaiseStatus(removed, Operation::Rename, remoteName);
            }
            const std::uint32_t lastId = s.posixRename ? renameId : talk.NextId(s.nextId);
            if (!s.posixRename) {
                talk.Send(PacketWriter(kFxpRename).U32(lastId).String(temporary).String(remoteName).Finish());
            }
            const Status renamed = talk.ReceiveStatus(lastId, "the rename");
            if (renamed.code != kFxOk)
                RaiseStatus(renamed, Operation::Rename, remoteName);
            created = false;
            RemoveStaleTemporaries(talk, s.nextId, remoteName, [this](const std::string& text) { Step(text); });
        } catch (const ESshError& error) {
            // The server answered, so the connection stands: the temporary file goes, the page is as it was.
            if (created && dynamic_cast<const ESftpStatusError*>(&error)) {
                try {
                    const std::uint32_t removeId = talk.NextId(s.nextId);
                    talk.Send(PacketWriter(kFxpRemove).U32(removeId).String(temporary).Finish());
                    talk.ReceiveStatus(removeId, "the temporary file's removal");
                    Step("removed " + temporary);
                } catch (const ESshError&) {
                }
            }
            throw;
        }
    });
}

}  // namespace signposter::sftp
