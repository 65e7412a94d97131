#include "net/tls_channel.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "net/id_exceptions.h"
#include "net/id_socket_handle.h"
#include "net/id_stack.h"
#include "platform/exceptions.h"
#include "platform/files.h"

namespace signposter::net {

namespace {

// Largest plaintext of one TLS record: one SSL_read never gives more.
constexpr int kReadChunk = 16384;
// A read that no readability wait came before still gets the client's usual bound for a reply.
constexpr int kUnwaitedReadMs = 30000;
// close_notify is one small record after bytes the peer has been taking all along; a peer that stops
// taking bytes at the very end must not hold up the close longer than this.
constexpr int kCloseNotifyMs = 5000;
// What the peer may already have sent when we close: session tickets and a close_notify are a few hundred
// bytes. More is a peer still talking, and we are leaving anyway.
constexpr int kDrainLimit = 65536;
// BioRead's answer when the wait reached its bound: OpenSSL is told to try again later.
constexpr int kRetry = -2;

// OpenSSL's reason for the latest failure in this thread ("wrong version number"), then its queue cleared.
std::string LibraryReason() {
    const unsigned long code = ERR_peek_last_error();
    const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    std::string text = reason ? reason : "unknown error";
    ERR_clear_error();
    return text;
}

int BioWriteCallback(BIO* bio, const char* data, int size) {
    BIO_clear_retry_flags(bio);
    return static_cast<TlsChannel*>(BIO_get_data(bio))->BioWrite(data, size);
}

int BioReadCallback(BIO* bio, char* area, int size) {
    BIO_clear_retry_flags(bio);
    const int n = static_cast<TlsChannel*>(BIO_get_data(bio))->BioRead(area, size);
    if (n == kRetry) {
        BIO_set_retry_read(bio);
        return -1;
    }
    return n;
}

long BioControl(BIO*, int command, long, void*) {
    // Every byte goes out as it is written, so there is never anything to flush.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int BioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* HandleBioMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "socket handle");
        BIO_meth_set_write(m, BioWriteCallback);
        BIO_meth_set_read(m, BioReadCallback);
        BIO_meth_set_ctrl(m, BioControl);
        BIO_meth_set_create(m, BioCreate);
        return m;
    }();
    return method;
}

std::string FromMemoryBio(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<std::size_t>(std::max(size, 0L)));
    BIO_free(bio);
    return text;
}

std::string NameText(const X509_NAME* name) {
    BIO* bio = BIO_new(BIO_s_mem());
    // RFC 2253 form escapes control bytes and bytes above 127 in the names.
    X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253);
    return FromMemoryBio(bio);
}

std::string TimeText(const ASN1_TIME* time) {
    BIO* bio = BIO_new(BIO_s_mem());
    ASN1_TIME_print(bio, time);
    return FromMemoryBio(bio);
}

std::string Sha256Fingerprint(const X509* certificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &length) != 1)
        return "";
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 15];
    }
    return hex;
}

bool IsIpv4Literal(const std::string& host) {
    in_addr address{};
    return ::inet_pton(AF_INET, host.c_str(), &address) == 1;
}

}  // namespace

namespace {

// Adds every certificate of the PEM file at `path` to the context's store. Read by us, as every other
// file the settings name: regular files only and never waiting (OpenSSL would open a FIFO and wait for a
// writer for ever), with a message that says what is wrong.
void LoadTrustFile(ssl_ctx_st* ctx, const std::string& path) {
    const std::string problem = TrustFileProblem(path);
    if (!problem.empty())
        throw EIdTLSLibraryError("Cannot load TLS trust file " + path + ": " + problem);
    std::string pem;
    try {
        pem = platform::ReadWholeFile(path);
    } catch (const Exception&) {
        throw EIdTLSLibraryError("Cannot load TLS trust file " + path + ": cannot be read");
    }
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    STACK_OF(X509_INFO)* items = bio ? PEM_X509_INFO_read_bio(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    int added = 0;
    X509_STORE* store = SSL_CTX_get_cert_store(ctx);
    for (int i = 0; items && i < sk_X509_INFO_num(items); ++i) {
        const X509_INFO* item = sk_X509_INFO_value(items, i);
        if (item->x509 && X509_STORE_add_cert(store, item->x509) == 1)
            ++added;
    }
    sk_X509_INFO_pop_free(items, X509_INFO_free);
    ERR_clear_error();
    if (added == 0)
        throw EIdTLSLibraryError("Cannot load TLS trust file " + path + ": no PEM certificate in it");
}

}  // namespace

std::string TrustFileProblem(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return errno == ENOENT || errno == ENOTDIR ? "not found" : std::strerror(errno);
    if (!S_ISREG(st.st_mode))
        return "not a regular file";
    return "";
}

// ---- TlsContext ----

TlsContext::TlsContext(const TlsSettings& settings) : m_settings(settings) {
    ERR_clear_error();
    m_ctx = SSL_CTX_new(TLS_client_method());
    if (m_ctx == nullptr)
        throw EIdTLSLibraryError("TLS initialisation failed: " + LibraryReason());
    // TLS 1.0 and 1.1 are retired (RFC 8996).
    SSL_CTX_set_min_proto_version(m_ctx, TLS1_2_VERSION);
    // A peer that ends without close_notify is an ordinary end of stream: a control connection ends by
    // closing, and an upload's arrival is confirmed by the FTP completion reply, not by TLS.
    SSL_CTX_set_options(m_ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    const TlsVerification verification = settings.Verification();
    if (verification != TlsVerification::Fingerprint) {
        bool loaded = SSL_CTX_set_default_verify_paths(m_ctx) == 1;
        if (loaded && !settings.trustFile.empty()) {
            try {
                LoadTrustFile(m_ctx, settings.trustFile);
            } catch (...) {
                SSL_CTX_free(m_ctx);
                throw;
            }
        }
        if (!loaded) {
            const std::string reason = LibraryReason();
            SSL_CTX_free(m_ctx);
            throw EIdTLSLibraryError("TLS initialisation failed: " + reason);
        }
    }
    // Only the store's checks refuse during the handshake; the other ways still let OpenSSL verify, so
    // that its verdict can be reported.
    SSL_CTX_set_verify(m_ctx, verification == TlsVerification::Store ? SSL_VERIFY_PEER : SSL_VERIFY_NONE,
                       nullptr);
}

TlsContext::~TlsContext() {
    SSL_CTX_free(m_ctx);
}

// ---- TlsChannel ----

TlsChannel::TlsChannel(TIdSocketHandle& handle) : m_handle(handle) {}

TlsChannel::~TlsChannel() {
    SSL_free(m_ssl);  // frees the BIO with it
}

int TlsChannel::MillisecondsLeft() const {
    if (m_deadline == platform::kNoDeadline)
        return kNoTimeLimit;
    return m_handle.Clock().MillisecondsLeft(m_deadline);
}

template <typename Call>
int TlsChannel::Run(Call call) {
    m_timedOut = false;
    m_sawEnd = false;
    m_socketError = 0;
    m_raised = nullptr;
    ERR_clear_error();
    m_inLibrary = true;
    const int result = call();
    m_inLibrary = false;
    if (m_raised) {
        // An exception from below (a stop request, a closed handle) crossed OpenSSL as a failed read or
        // write; it is the real failure.
        m_fatal = true;
        ERR_clear_error();
        std::rethrow_exception(std::exchange(m_raised, nullptr));
    }
    if (result <= 0) {
        const int error = SSL_get_error(m_ssl, result);
        if (error == SSL_ERROR_SSL || error == SSL_ERROR_SYSCALL)
            m_fatal = true;
    }
    return result;
}

int TlsChannel::BioRead(char* area, int size) {
    try {
        if (!m_handle.WaitReadable(MillisecondsLeft())) {
            if (m_deadline != platform::kNoDeadline && m_handle.Clock().Passed(m_deadline)) {
                m_timedOut = true;
                return kRetry;
            }
            m_socketError = SharedStack()->LastError();
            return -1;
        }
        const int n = m_handle.ReceiveBytes(area, size);
        if (n == 0)
            m_sawEnd = true;
        if (n < 0)
            m_socketError = SharedStack()->LastError();
        return n;
    } catch (...) {
        // Nothing may unwind through OpenSSL's C frames; Run raises it again on our side.
        m_raised = std::current_exception();
        return -1;
    }
}

int TlsChannel::BioWrite(const char* data, int size) {
    try {
        const int n = m_handle.SendBytes(data, size, MillisecondsLeft());
        if (n < 0) {
            m_socketError = SharedStack()->LastError();
            m_timedOut = m_socketError == kWsaETimedOut;
        }
        return n;
    } catch (...) {
        m_raised = std::current_exception();
        return -1;
    }
}

void TlsChannel::Handshake(const TlsContext& context, const std::string& peerName, const TlsSession& resume,
                           const std::string& sameAs, int timeoutMs) {
    ERR_clear_error();
    m_ssl = SSL_new(context.Native());
    if (m_ssl == nullptr)
        throw EIdTLSLibraryError("TLS initialisation failed: " + LibraryReason());
    m_bio = BIO_new(HandleBioMethod());
    if (m_bio == nullptr)
        throw EIdTLSLibraryError("TLS initialisation failed: " + LibraryReason());
    BIO_set_data(m_bio, this);
    SSL_set_bio(m_ssl, m_bio, m_bio);
    X509_VERIFY_PARAM* param = SSL_get0_param(m_ssl);
    // Server name indication is for names only (RFC 6066); an address is checked against the
    // certificate's IP entries instead.
    if (IsIpv4Literal(peerName)) {
        X509_VERIFY_PARAM_set1_ip_asc(param, peerName.c_str());
    } else if (const std::optional<std::string> ipv6 = TIdStack::IPv6Literal(peerName)) {
        X509_VERIFY_PARAM_set1_ip_asc(param, ipv6->c_str());
    } else {
        SSL_set_tlsext_host_name(m_ssl, peerName.c_str());
        X509_VERIFY_PARAM_set1_host(param, peerName.c_str(), 0);
    }
    if (resume)
        SSL_set_session(m_ssl, resume.get());

    m_deadline = m_handle.Clock().DeadlineAfter(timeoutMs);
    const int result = Run([this] { return SSL_connect(m_ssl); });
    const TlsVerification verification = context.Settings().Verification();
    if (result != 1) {
        const long verify = SSL_get_verify_result(m_ssl);
        if (verification == TlsVerification::Store && verify != X509_V_OK) {
            ERR_clear_error();
            throw EIdTLSCertificateRejected(
                verify, std::string("Server certificate rejected: ") + X509_verify_cert_error_string(verify));
        }
        if (m_timedOut) {
            ERR_clear_error();
            throw EIdReplyTimeout("No TLS handshake from the server within " + std::to_string(timeoutMs) +
                                  " ms.");
        }
        if (m_sawEnd) {
            ERR_clear_error();
            throw EIdConnClosedGracefully(kMsgConnectionClosedGracefully);
        }
        if (m_socketError != 0) {
            ERR_clear_error();
            TIdStack::RaiseSocketFailure(m_socketError);
        }
        throw EIdTLSHandshakeFailed("TLS handshake failed: " + LibraryReason());
    }
    m_established = true;
    ReadPeerInfo(context);

    const std::string& pinned = context.Settings().fingerprint;
    const bool pinMismatch = verification == TlsVerification::Fingerprint && m_info.fingerprint != pinned;
    if (pinMismatch || (!sameAs.empty() && m_info.fingerprint != sameAs)) {
        throw EIdTLSFingerprintMismatch(X509_V_ERR_CERT_REJECTED,
                                        "Server certificate fingerprint " + FormatFingerprint(m_info.fingerprint) +
                                            " does not match the trusted fingerprint");
    }
}

void TlsChannel::ReadPeerInfo(const TlsContext& context) {
    m_info = TlsPeerInfo{};
    m_info.protocol = SSL_get_version(m_ssl);
    m_info.cipher = SSL_get_cipher_name(m_ssl);
    m_info.resumed = SSL_session_reused(m_ssl) == 1;
    if (const X509* leaf = SSL_get0_peer_certificate(m_ssl)) {
        m_info.subject = NameText(X509_get_subject_name(leaf));
        m_info.issuer = NameText(X509_get_issuer_name(leaf));
        m_info.notBefore = TimeText(X509_get0_notBefore(leaf));
        m_info.notAfter = TimeText(X509_get0_notAfter(leaf));
        m_info.fingerprint = Sha256Fingerprint(leaf);
    }
    const long verify = SSL_get_verify_result(m_ssl);
    m_info.storeVerdict = verify == X509_V_OK ? "ok" : X509_verify_cert_error_string(verify);
    switch (context.Settings().Verification()) {
        case TlsVerification::Store:
            m_info.acceptedBy = context.Settings().trustFile.empty() ? "system store"
                                                                     : "system store and trust file";
            break;
        case TlsVerification::Fingerprint:
            m_info.acceptedBy = "fingerprint";
            break;
        case TlsVerification::ReportOnly:
            m_info.acceptedBy = "not checked";
            break;
    }
}

TlsSession TlsChannel::Session() const {
    SSL_SESSION* session = m_ssl ? SSL_get1_session(m_ssl) : nullptr;
    if (session == nullptr)
        return nullptr;
    return TlsSession(session, [](SSL_SESSION* s) { SSL_SESSION_free(s); });
}

bool TlsChannel::WaitReadable(int timeoutMs) {
    if (!m_plain.empty() || m_end)
        return true;
    m_deadline = m_handle.Clock().DeadlineAfter(timeoutMs);
    char chunk[kReadChunk];
    // Records without application data (TLS 1.3 session tickets) are taken inside this one call, which
    // reads on within the same bound: they are neither data nor the end of the stream.
    const int n = Run([&] { return SSL_read(m_ssl, chunk, sizeof chunk); });
    if (n > 0) {
        m_plain.append(chunk, static_cast<std::size_t>(n));
        return true;
    }
    const int error = SSL_get_error(m_ssl, n);
    if (error == SSL_ERROR_ZERO_RETURN || m_sawEnd) {
        ERR_clear_error();
        m_end = true;
        return true;
    }
    if (m_timedOut) {
        ERR_clear_error();
        return false;
    }
    if (m_socketError != 0) {
        ERR_clear_error();
        TIdStack::RaiseSocketFailure(m_socketError);
    }
    throw EIdTLSError("TLS error: " + LibraryReason());
}

int TlsChannel::ReceiveBytes(char* area, int size) {
    if (m_plain.empty() && !m_end && !WaitReadable(kUnwaitedReadMs))
        TIdStack::RaiseSocketFailure(kWsaETimedOut);
    const int n = std::min(size, static_cast<int>(m_plain.size()));
    std::memcpy(area, m_plain.data(), static_cast<std::size_t>(n));
    m_plain.erase(0, static_cast<std::size_t>(n));
    return n;
}

int TlsChannel::SendBytes(const char* data, int count, int timeoutMs) {
    m_deadline = m_handle.Clock().DeadlineAfter(timeoutMs);
    const int n = Run([&] { return SSL_write(m_ssl, data, count); });
    if (n > 0)
        return n;
    // A failing send below has left its code in the stack, where the connection looks for it.
    if (m_socketError != 0) {
        ERR_clear_error();
        return -1;
    }
    throw EIdTLSError("TLS error: " + LibraryReason());
}

void TlsChannel::Close() noexcept {
    if (m_ssl == nullptr)
        return;
    try {
        // After a fatal error OpenSSL must not be asked for a shutdown.
        if (m_established && !m_fatal && SSL_is_init_finished(m_ssl)) {
            m_deadline = m_handle.Clock().DeadlineAfter(kCloseNotifyMs);
            Run([this] { return SSL_shutdown(m_ssl); });
        }
    } catch (...) {
    }
    try {
        m_inLibrary = true;  // plain socket reads from here on
        char sink[4096];
        for (int drained = 0; drained < kDrainLimit && m_handle.WaitReadable(0);) {
            const int n = m_handle.ReceiveBytes(sink, sizeof sink);
            if (n <= 0)
                break;
            drained += n;
        }
    } catch (...) {
    }
    m_inLibrary = false;
    ERR_clear_error();
}

}  // namespace signposter::net
