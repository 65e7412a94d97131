#include "ftp/id_ftp.h"

#include <algorithm>
#include <sstream>

#include "net/temporary_name.h"
#include "platform/exceptions.h"
#include "platform/files.h"
#include "platform/text.h"

namespace signposter::ftp {

namespace {

// Clears the transfer's data connection however the transfer ends.
struct DataConnectionGuard {
    std::unique_ptr<TIdTCPConnection>& slot;
    ~DataConnectionGuard() { slot.reset(); }
};

}  // namespace

TIdPassiveAddress ParsePassiveReply(std::string_view replyText) {
    std::string s = text::Trim(replyText);
    const std::size_t open = s.find('(');
    const std::size_t close = s.find(')');
    if (open != std::string::npos && close != std::string::npos) {
        s = close > open ? s.substr(open + 1, close - open - 1) : std::string();
    } else {
        const std::size_t space = s.rfind(' ');
        if (space != std::string::npos)
            s = s.substr(space + 1);
    }
    std::string fields[6];
    std::string_view rest = s;
    bool exhausted = false;
    for (std::string& field : fields) {
        if (exhausted)
            break;
        const std::size_t comma = rest.find(',');
        if (comma == std::string_view::npos) {
            field = std::string(rest);
            exhausted = true;
        } else {
            field = std::string(rest.substr(0, comma));
            rest = rest.substr(comma + 1);
        }
    }
    TIdPassiveAddress result;
    result.address = fields[0] + "." + fields[1] + "." + fields[2] + "." + fields[3];
    // Wraps like the 32-bit arithmetic it stands for; only the low 16 bits ever reach a socket.
    const auto high = static_cast<std::uint32_t>(text::StrictInteger(fields[4]));
    const auto low = static_cast<std::uint32_t>(text::StrictInteger(fields[5]));
    result.port = static_cast<std::int32_t>(high * 256u + low);
    return result;
}

int ParseExtendedPassiveReply(int code, std::string_view replyText) {
    const std::string s = text::Trim(replyText);
    const std::size_t open = s.find('(');
    const std::size_t close = s.find(')', open == std::string::npos ? 0 : open);
    // "(" d d d port d ")": the three delimiters before the port stand for the omitted family and address.
    if (open == std::string::npos || close == std::string::npos || close - open < 6)
        throw EIdProtocolReplyError(code, "Malformed reply to EPSV: " + text::Printable(s));
    const std::string inner = s.substr(open + 1, close - open - 1);
    const char delimiter = inner[0];
    if (inner[1] != delimiter || inner[2] != delimiter || inner.back() != delimiter)
        throw EIdProtocolReplyError(code, "Malformed reply to EPSV: " + text::Printable(s));
    // Decimal digits only (RFC 2428): "$FFFF" or "+21" is no port, and a long run of digits is a port out
    // of range, not a number too large to read.
    const std::string portText = inner.substr(3, inner.size() - 4);
    if (portText.empty() ||
        !std::all_of(portText.begin(), portText.end(), [](char c) { return c >= '0' && c <= '9'; }))
        throw EIdProtocolReplyError(code, "Malformed reply to EPSV: " + text::Printable(s));
    std::int32_t port = 0;
    for (const char c : portText) port = std::min(port * 10 + (c - '0'), 65536);
    if (port < 1 || port > 65535)
        throw EIdProtocolReplyError(code, "Port out of range in the reply to EPSV: " + text::Printable(s));
    return port;
}

TIdFTP::TIdFTP(TIdComponent* owner) : TIdTCPClient(owner) {
    SetPort(kDefaultPort);
}

TIdFTP::~TIdFTP() {
    // The connections wait on the session's clock, a member of this object that dies before the socket
    // of the base class: closing a TLS connection still waits for its close_notify to be sent. So both
    // connections end here, while that clock is alive, and the socket is left on the caller's clock.
    m_dataConnection.reset();
    Socket().Close(true);
    TIdTCPClient::SetClock(*m_baseClock);
}

void TIdFTP::SetTransferType(TIdFTPTransferType type) {
    if (type == m_transferType || m_dataConnection)
        return;
    m_transferType = type;
    if (IsConnected())
        SendTypeCommand();
}

void TIdFTP::OpenSession(bool login) {
    m_sessionClock.emplace(*m_baseClock, m_baseClock->DeadlineAfter(m_sessionTimeout));
    TIdTCPClient::SetClock(*m_sessionClock);
    WithinSession([&] { Login(login); });
}

void TIdFTP::Login(bool login) {
    // Whatever fails, the session must not stay half open; the failure itself is what counts.
    CloseOnFailure closer(*this);
    // The user command is always sent, so a doomed one need not even connect. The password is left
    // to the writer: a server that answers the user command with 230 never asks for it.
    if (login)
        RefuseLineBreaks(m_user);
    const bool tls = m_tlsSettings.security == FtpSecurity::ExplicitTLS;
    m_tlsSession.reset();
    m_controlFingerprint.clear();
    // Made before connecting, so that a trust file that cannot be loaded fails without a byte sent.
    if (tls && !m_tlsContext)
        m_tlsContext = std::make_unique<TlsContext>(m_tlsSettings);
    ConnectToHost();
    ReadReply({220});
    if (tls)
        StartControlTls();
    if (login) {
        if (SendCommand("user " + m_user, {230, 331}) == 331)
            SendCommand("pass " + m_password, 230);
        if (tls) {
            // After the login, as other clients send them too. A refusal ends the session: the page is
            // never sent over an unprotected data connection.
            SendCommand("PBSZ 0", 200);
            SendCommand("PROT P", 200);
            // Taken only now: TLS 1.3 session tickets arrive after the handshake and are read with the
            // first replies, so a session taken right after the handshake could not be resumed.
            m_tlsSession = Socket().Tls()->Session();
        }
        SendTypeCommand();
        const int code = SendCommand("syst", {200, 215, 500});
        const std::string last = LastReplyText();
        m_serverSystem =
            code == 500 ? std::string("Unknown") : last.substr(std::min<std::size_t>(3, last.size()));
    }
}

void TIdFTP::SetClock(const platform::Clock& clock) {
    m_baseClock = &clock;
    // The socket leaves the session's clock before that clock goes.
    TIdTCPClient::SetClock(clock);
    m_sessionClock.reset();
}

template <typename Step>
void TIdFTP::WithinSession(Step&& step) {
    // Past its bound or asked to stop, the session is over: nothing is left open for a later command.
    try {
        step();
    } catch (const EIdAttemptTimeout&) {
        CloseOnFailure closer(*this);
        throw EIdAttemptTimeout("Attempt took longer than " + std::to_string(m_sessionTimeout / 1000) +
                                " s.");
    } catch (const EIdStopped&) {
        CloseOnFailure closer(*this);
        throw;
    }
}

void TIdFTP::StoreFile(const std::string& localPath, const std::string& remoteName, bool append) {
    // Read whole before anything is sent: a FIFO, a device or a file that fails half way must not leave
    // the server with a store command and an empty or partial file.
    StoreBytes(platform::ReadWholeFile(localPath), remoteName, append);
}

void TIdFTP::StoreBytes(const std::string& bytes, const std::string& remoteName, bool append) {
    // Before the PASV or PORT command, so that a refused name leaves nothing sent at all.
    RefuseLineBreaks(remoteName);
    std::string command;
    if (remoteName.empty()) {
        command = "STOU ";
    } else if (append) {
        command = "APPE " + remoteName;
    } else {
        command = "STOR " + remoteName;
    }
    std::istringstream source(bytes);
    WithinSession([&] { TransferFile(command, source); });
}

void TIdFTP::StoreBytesAtomically(const std::string& bytes, const std::string& remoteName) {
    RefuseLineBreaks(remoteName);
    const std::string temporary = TemporaryNameBeside(remoteName);
    m_transferStarted = m_completionPending = false;
    try {
        StoreBytes(bytes, temporary, false);
    } catch (const Exception&) {
        RemoveAfterFailure(temporary);
        throw;
    }
    WithinSession([&] {
        try {
            SendCommand("RNFR " + temporary, 350);
        } catch (const EIdProtocolReplyError&) {
            RemoveAfterFailure(temporary);
            throw;
        }
        try {
            SendCommand("RNTO " + remoteName, {250});
        } catch (const EIdProtocolReplyError& error) {
            RemoveAfterFailure(temporary);
            // Some servers (those on Windows among them) refuse to rename over an existing file.
            throw EIdProtocolReplyError(
                error.ReplyCode(),
                error.Message() +
                    "\r\nThe server does not allow a rename over the page; set AtomicUpload=0.");
        }
    });
}

void TIdFTP::RemoveAfterFailure(const std::string& temporary) {
    if (!m_transferStarted || !IsConnected())
        return;
    try {
        if (m_completionPending) {
            m_completionPending = false;
            ReadReply({});
        }
        SendCommand("DELE " + temporary, {250});
    } catch (const Exception&) {
    }
}

void TIdFTP::SetTlsSettings(const TlsSettings& settings) {
    m_tlsSettings = settings;
    m_tlsContext.reset();
}

void TIdFTP::StartControlTls() {
    SendCommand("AUTH TLS", 234);
    // Bytes that came with the 234 were sent before encryption and could be an attacker's replies
    // pipelined behind it (CVE-2021-22947): they must never be read as replies after the handshake.
    if (!InputBuffer().empty()) {
        DropConnection();
        throw EIdProtocolReplyError(LastReplyCode(), "Unexpected data after the 234 reply to AUTH TLS.");
    }
    Socket().StartTls(*m_tlsContext, Host(), nullptr, "", ReplyTimeout());
    m_controlFingerprint = Socket().Tls()->PeerInfo().fingerprint;
    if (m_onTls)
        m_onTls(Socket().Tls()->PeerInfo(), false);
}

void TIdFTP::StartDataTls(TIdTCPConnection& data) {
    if (!m_tlsContext)
        m_tlsContext = std::make_unique<TlsContext>(m_tlsSettings);
    // We are the TLS client whoever opened the connection (RFC 4217). The control connection's session
    // is resumed (vsftpd refuses a data connection that does not resume it, after truncating the file),
    // and its certificate must be shown again, so nobody can take over the data connection alone.
    data.Socket().StartTls(*m_tlsContext, Host(), m_tlsSession, m_controlFingerprint, ReplyTimeout());
    if (m_onTls)
        m_onTls(data.Socket().Tls()->PeerInfo(), true);
}

void TIdFTP::SendTypeCommand() {
    SendCommand(std::string("type ") + (m_transferType == ftBinary ? "I" : "A"), 200);
}

TIdPassiveAddress TIdFTP::RequestPassiveAddress() {
    if (OverIPv6()) {
        const int code = SendCommand("EPSV", 229);
        return {"", ParseExtendedPassiveReply(code, LastReplyText())};
    }
    SendCommand("PASV", 227);
    return ParsePassiveReply(LastReplyText());
}

void TIdFTP::SendPortCommand(const TIdSocketHandle& handle) {
    const int port = handle.Port();
    if (OverIPv6()) {
        SendCommand("EPRT |2|" + handle.LocalAddress() + "|" + std::to_string(port) + "|", 200);
        return;
    }
    SendCommand("PORT " + text::ReplaceAll(handle.LocalAddress(), '.', ',') + "," +
                    std::to_string(port / 256) + "," + std::to_string(port % 256),
                200);
}

void TIdFTP::ShareProgressHandlers(TIdComponent& dataConnection) {
    dataConnection.SetOnWork(OnWork());
    dataConnection.SetOnWorkBegin(OnWorkBegin());
    dataConnection.SetOnWorkEnd(OnWorkEnd());
}

void TIdFTP::TransferFile(const std::string& command, std::istream& file) {
    if (m_passive) {
        TransferPassive(command, file);
    } else {
        TransferActive(command, file);
    }
    ReadCompletionReply();
}

void TIdFTP::TransferPassive(const std::string& command, std::istream& file) {
    // The reply is parsed in full so that its port errors stand, but its address is not trusted: a hostile
    // server could point the client at any host. The data connection goes to the control connection's
    // peer, as other clients have done since CVE-2020-8284.
    const TIdPassiveAddress announced = RequestPassiveAddress();
    WriteLine(command);
    auto client = std::make_unique<TIdTCPClient>();
    TIdTCPClient& data = *client;
    m_dataConnection = std::move(client);
    DataConnectionGuard guard{m_dataConnection};
    ShareProgressHandlers(data);
    data.SetClock(Clock());
    data.SetHost(Socket().RemoteAddress());
    data.SetIPv6Allowed(OverIPv6());
    data.SetPort(announced.port);
    data.SetSocksInfo(SocksInfo());
    data.SetConnectTimeout(ConnectTimeout());
    data.SetSendTimeout(SendTimeout());
    data.SetReplyTimeout(ReplyTimeout());
    data.ConnectToHost();
    CloseOnFailure closer(data);
    ReadReply({110, 125, 150});
    m_transferStarted = m_completionPending = true;
    // Only after the preliminary reply: pyftpdlib drops a data connection that turns readable before its
    // transfer command, and vsftpd finishes its side of the handshake after its 150 anyway.
    if (Socket().Tls())
        StartDataTls(data);
    try {
        data.SendStream(file, false);
    } catch (const EIdSocketError& e) {
        // The server may close its end as soon as it has the bytes; a socket that no longer exists is
        // then no failure, and the completion reply tells whether the upload arrived.
        if (e.ErrorNumber() != kWsaENotSock)
            throw;
    }
    data.CloseConnection();
}

void TIdFTP::TransferActive(const std::string& command, std::istream& file) {
    auto server = std::make_unique<TIdSimpleServer>();
    TIdSimpleServer& listener = *server;
    m_dataConnection = std::move(server);
    DataConnectionGuard guard{m_dataConnection};
    ShareProgressHandlers(listener);
    listener.SetClock(Clock());
    listener.SetBoundIP(Socket().LocalAddress());
    listener.SetAcceptTimeout(m_acceptTimeout);
    listener.SetSendTimeout(SendTimeout());
    listener.PrepareListener();
    SendPortCommand(listener.Socket());
    // The preliminary reply comes first; a connection that arrives before it waits in the listen queue.
    SendCommand(command, {125, 150});
    m_transferStarted = m_completionPending = true;
    if (!listener.WaitForConnection()) {
        throw EIdAcceptTimeout("The server did not open the data connection within " +
                               std::to_string(m_acceptTimeout) + " ms.");
    }
    if (Socket().Tls())
        StartDataTls(listener);
    listener.SendStream(file, true);
}

void TIdFTP::ReadCompletionReply() {
    m_completionPending = false;
    // 426 is the server giving up on the data connection; a 226 after it still means the file arrived.
    if (ReadReply({225, 226, 250, 426}) == 426)
        ReadReply({226});
}

}  // namespace signposter::ftp
