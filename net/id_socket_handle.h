#pragma once

#include <memory>
#include <string>

#include "net/byte_stream.h"
#include "net/id_stack.h"
#include "net/tls_channel.h"

namespace signposter::net {

// One endpoint's socket with its local and remote address. Owned by exactly one connection.
class TIdSocketHandle : public ByteStream {
public:
    TIdSocketHandle();
    ~TIdSocketHandle() override;
    TIdSocketHandle(const TIdSocketHandle&) = delete;
    TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;

    // The clock every wait of this socket is measured and made on.
    const platform::Clock& Clock() const { return *m_clock; }
    void SetClock(const platform::Clock& clock) { m_clock = &clock; }

    TIdSocket SocketId() const { return m_socketId; }
    bool IsOpen() const override { return m_isOpen; }
    const std::string& LocalAddress() const { return m_localAddress; }
    void SetLocalAddress(const std::string& address) { m_localAddress = address; }
    std::string RemoteAddress() const override { return m_remoteAddress; }
    int Port() const { return m_port; }
    void SetPort(int port) { m_port = port; }
    int RemotePort() const { return m_remotePort; }

    void OpenSocket(int type = 1, int protocol = 0, TIdIPVersion version = TIdIPVersion::Id_IPv4);
    // The family of the open socket.
    TIdIPVersion IPVersion() const { return m_version; }
    void BindLocal();
    void SetRemote(const std::string& address, int port);
    // Raw result of the connect (0 or -1); the caller checks it. A connect still pending after timeoutMs
    // fails with 10060.
    int ConnectRemote(int timeoutMs = kNoTimeLimit);
    void StartListening(int backlog);
    void AcceptFrom(TIdSocket listeningSocket);
    int SendBytes(const char* data, int count, int timeoutMs) override;
    int ReceiveBytes(char* area, int size) override;
    bool WaitReadable(int timeoutMs) override;
    void Close(bool resetLocal) override;
    void Clear(bool resetLocal);
    void RefreshLocal();
    void RefreshRemote();

    // Runs a TLS handshake on the open socket (see TlsChannel::Handshake); from then on sends, receives
    // and waits go through TLS until Close, which sends close_notify first. Raises on any failure, the
    // channel kept so that Close knows not to send close_notify for a handshake that never finished.
    void StartTls(const TlsContext& context, const std::string& peerName, const TlsSession& resume,
                  const std::string& sameAs, int timeoutMs);
    // The running TLS channel, or nullptr for plain TCP.
    const TlsChannel* Tls() const { return m_tls.get(); }

private:
    // Whether the byte stream operations go through TLS: not while OpenSSL itself calls them.
    bool ThroughTls() const { return m_tls && !m_tls->InLibrary(); }

    TIdStackReference m_stack{false};
    const platform::Clock* m_clock = &platform::MachineClock();
    TIdSocket m_socketId = kInvalidSocket;
    bool m_isOpen = false;
    TIdIPVersion m_version = TIdIPVersion::Id_IPv4;
    std::string m_localAddress;
    std::string m_remoteAddress;
    int m_port = 0;
    int m_remotePort = 0;
    std::unique_ptr<TlsChannel> m_tls;
};

}  // namespace signposter::net
