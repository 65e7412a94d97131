#pragma once

#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ftp/id_simple_server.h"
#include "net/id_exceptions.h"
#include "net/id_tcp_client.h"
#include "net/tls_settings.h"

namespace signposter::ftp {

enum TIdFTPTransferType { ftBinary = 0, ftASCII = 1 };

// What a 227 reply announces.
struct TIdPassiveAddress {
    std::string address;  // the first four fields joined with ".", unchecked
    int port = 0;
};

// Reads the address and port from the last line of a 227 reply; a port field that is not a number
// raises EConvertError "'%s' is not a valid integer value".
TIdPassiveAddress ParsePassiveReply(std::string_view replyText);

// The port of a 229 reply, "(|||port|)" with any delimiter (RFC 2428); a reply without it raises
// EIdProtocolReplyError, a port that is no number EConvertError.
int ParseExtendedPassiveReply(int code, std::string_view replyText);

// An FTP client that logs in and stores files, with the data connection opened by the client (passive)
// or by the server (active). The control connection is the object itself.
class TIdFTP : public TIdTCPClient {
public:
    static constexpr int kDefaultPort = 21;

    explicit TIdFTP(TIdComponent* owner = nullptr);
    ~TIdFTP() override;

    const std::string& User() const { return m_user; }
    void SetUser(const std::string& user) { m_user = user; }
    bool Passive() const { return m_passive; }
    void SetPassive(bool passive) { m_passive = passive; }
    const std::string& Password() const { return m_password; }
    void SetPassword(const std::string& password) { m_password = password; }
    const std::string& ServerSystem() const { return m_serverSystem; }
    TIdFTPTransferType TransferType() const { return m_transferType; }
    // Sent at once when connected; ignored while a transfer runs.
    void SetTransferType(TIdFTPTransferType type);
    // The running transfer's data connection, or nullptr.
    TIdTCPConnection* DataConnection() const { return m_dataConnection.get(); }
    // Longest wait, in active mode, for the server to open the data connection; reaching it raises
    // EIdAcceptTimeout.
    int AcceptTimeout() const { return m_acceptTimeout; }
    void SetAcceptTimeout(int milliseconds) { m_acceptTimeout = milliseconds; }

    // Longest a whole session may take, from the connect to the last reply, whatever its single waits
    // take; reaching it raises EIdAttemptTimeout and drops the connections.
    static constexpr int kDefaultSessionTimeout = 120000;
    int SessionTimeout() const { return m_sessionTimeout; }
    void SetSessionTimeout(int milliseconds) { m_sessionTimeout = milliseconds; }
    void SetClock(const platform::Clock& clock) override;
    // Plain FTP, or explicit TLS on the control connection and every data connection. The TLS context is
    // made afresh from these at the next OpenSession.
    const TlsSettings& Tls() const { return m_tlsSettings; }
    void SetTlsSettings(const TlsSettings& settings);
    // Sees what each TLS handshake settled on; `dataConnection` tells which connection it was.
    using TlsHandler = std::function<void(const TlsPeerInfo& info, bool dataConnection)>;
    void SetOnTlsEstablished(TlsHandler handler) { m_onTls = std::move(handler); }

    // Connects and reads the greeting; with login, also logs in, announces the transfer type and asks
    // for the system type. Any failure closes the control connection before it propagates. Starts the
    // session's bound.
    void OpenSession(bool login);
    // Uploads the whole local file: "STOU" for an empty remote name, "APPE" when appending, else "STOR".
    // The file is read before any command is sent; anything but a regular file raises "Cannot open file".
    void StoreFile(const std::string& localPath, const std::string& remoteName, bool append);
    // Uploads bytes held in memory, under the same rules for the remote name.
    void StoreBytes(const std::string& bytes, const std::string& remoteName, bool append);
    // Stores the bytes under a temporary name beside `remoteName` (".NAME.signposter-XXXXXX"), then renames
    // them over it (RNFR, RNTO), so that visitors never get a partial page. A failed transfer deletes the
    // temporary file while the control connection stands; the page stays as it was.
    void StoreBytesAtomically(const std::string& bytes, const std::string& remoteName);

protected:
    void SendTypeCommand();
    TIdPassiveAddress RequestPassiveAddress();
    // Over IPv6 the data connection is negotiated with EPSV and EPRT: PASV and PORT carry IPv4 only.
    bool OverIPv6() { return Socket().IPVersion() == TIdIPVersion::Id_IPv6; }
    void SendPortCommand(const TIdSocketHandle& handle);
    void TransferFile(const std::string& command, std::istream& file);
    void ShareProgressHandlers(TIdComponent& dataConnection);

private:
    void TransferPassive(const std::string& command, std::istream& file);
    void TransferActive(const std::string& command, std::istream& file);
    void ReadCompletionReply();
    void Login(bool login);
    // Runs one step of the session; the session bound's exception gets its message here, where the
    // bound is known.
    template <typename Step>
    void WithinSession(Step&& step);
    void StartControlTls();
    void StartDataTls(TIdTCPConnection& data);
    // After a failed atomic store: reads the transfer's pending completion reply, then deletes the
    // temporary file, as far as the control connection allows; its own failures are swallowed.
    void RemoveAfterFailure(const std::string& temporary);

    std::string m_user;
    bool m_passive = false;
    std::string m_password;
    std::string m_serverSystem;
    TIdFTPTransferType m_transferType = ftBinary;
    std::unique_ptr<TIdTCPConnection> m_dataConnection;
    int m_acceptTimeout = kDefaultTimeout;
    int m_sessionTimeout = kDefaultSessionTimeout;
    const platform::Clock* m_baseClock = &platform::MachineClock();
    std::optional<platform::BoundedClock> m_sessionClock;
    TlsSettings m_tlsSettings;
    std::unique_ptr<TlsContext> m_tlsContext;
    TlsSession m_tlsSession;            // the control connection's, for the data connections to resume
    std::string m_controlFingerprint;  // every data connection must present this certificate too
    TlsHandler m_onTls;
    bool m_transferStarted = false;    // the server announced the transfer: a file may exist
    bool m_completionPending = false;  // and its completion reply is still to be read
};

}  // namespace signposter::ftp
