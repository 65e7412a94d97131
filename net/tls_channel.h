#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "net/tls_settings.h"

// OpenSSL's own structures, declared here so that no OpenSSL header reaches the rest of the client.
struct ssl_ctx_st;
struct ssl_st;
struct ssl_session_st;
struct bio_st;

namespace signposter::net {

class TIdSocketHandle;

// A TLS session the control connection negotiated, handed to the data connections to resume.
using TlsSession = std::shared_ptr<ssl_session_st>;

// What keeps `path` from being read as a trust file ("not found", "not a regular file"), or "" when
// nothing does. A FIFO or a device named there must never be opened: it could block or never end.
std::string TrustFileProblem(const std::string& path);

// The client's TLS configuration for one publication: protocol floor, trust and how certificates are
// checked. Raises EIdTLSLibraryError when it cannot be made or the trust file cannot be loaded.
class TlsContext {
public:
    explicit TlsContext(const TlsSettings& settings);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    const TlsSettings& Settings() const { return m_settings; }
    ssl_ctx_st* Native() const { return m_ctx; }

private:
    TlsSettings m_settings;
    ssl_ctx_st* m_ctx = nullptr;
};

// TLS over one socket handle, client role. OpenSSL reads and writes through the handle's own send,
// receive and readability wait (a BIO of our own), so MSG_NOSIGNAL, EINTR, the time bounds and the clock
// stay where every other byte goes.
class TlsChannel {
public:
    explicit TlsChannel(TIdSocketHandle& handle);
    ~TlsChannel();
    TlsChannel(const TlsChannel&) = delete;
    TlsChannel& operator=(const TlsChannel&) = delete;

    // Handshake within timeoutMs, then the certificate checks of the context. `peerName` is the host as
    // the user typed it: a name is sent as server name indication and checked against the certificate, a
    // dotted quad only checked. A non-empty `sameAs` fingerprint must be the leaf's (data connections).
    void Handshake(const TlsContext& context, const std::string& peerName, const TlsSession& resume,
                   const std::string& sameAs, int timeoutMs);

    // The ByteStream operations while the channel is up; see TIdSocketHandle.
    bool WaitReadable(int timeoutMs);
    int ReceiveBytes(char* area, int size);
    int SendBytes(const char* data, int count, int timeoutMs);
    // Sends close_notify without waiting for the peer's, then takes what the peer already sent, so that
    // the socket's close is a clean end and not a reset that could cost the peer our last bytes.
    void Close() noexcept;

    // True while OpenSSL runs inside one of our calls: the handle then does plain socket I/O for it.
    bool InLibrary() const { return m_inLibrary; }
    TlsSession Session() const;
    const TlsPeerInfo& PeerInfo() const { return m_info; }

    // For the BIO.
    int BioRead(char* area, int size);
    int BioWrite(const char* data, int size);

private:
    int MillisecondsLeft() const;
    template <typename Call>
    int Run(Call call);
    [[noreturn]] void RaiseHandshakeFailure(int result, int timeoutMs);
    void ReadPeerInfo(const TlsContext& context);

    TIdSocketHandle& m_handle;
    ssl_st* m_ssl = nullptr;
    bio_st* m_bio = nullptr;
    bool m_inLibrary = false;
    bool m_established = false;
    bool m_fatal = false;  // OpenSSL reported a fatal error: no shutdown may follow
    std::int64_t m_deadline = 0;
    // What the last library call met underneath, for telling its failures apart.
    bool m_timedOut = false;
    bool m_sawEnd = false;
    int m_socketError = 0;
    std::exception_ptr m_raised;
    // Decrypted bytes not yet taken, and how reading ended.
    std::string m_plain;
    bool m_end = false;
    TlsPeerInfo m_info;
};

}  // namespace signposter::net
