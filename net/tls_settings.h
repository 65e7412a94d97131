#pragma once

#include <optional>
#include <string>

// What the rest of the program knows of TLS: the settings that choose it and what a connection reports
// about it. No OpenSSL type appears here, so the publishing core can use it without the library's headers.
namespace signposter::net {

enum class FtpSecurity { None, ExplicitTLS };

// How a server's certificate is accepted.
enum class TlsVerification {
    Store,        // system store (plus the trust file): whole chain and the host's name
    Fingerprint,  // the leaf certificate's SHA-256 fingerprint, and nothing else
    ReportOnly,   // nothing is refused; the store's verdict is only reported (signposter-cli tls-fingerprint)
};

struct TlsSettings {
    FtpSecurity security = FtpSecurity::None;
    std::string trustFile;    // PEM certificates trusted besides the system's; empty for none
    std::string fingerprint;  // 64 lower-case hex digits, or empty
    bool reportOnly = false;  // accept any certificate and only say what the checks would say

    TlsVerification Verification() const {
        if (reportOnly)
            return TlsVerification::ReportOnly;
        return fingerprint.empty() ? TlsVerification::Store : TlsVerification::Fingerprint;
    }
};

// "None" or "ExplicitTLS", letter case ignored; empty text is None. Nothing for any other text.
std::optional<FtpSecurity> ParseFtpSecurity(const std::string& text);
// 64 hex digits with colons and spaces anywhere and in either case, as lower-case digits; empty text
// stays empty. Nothing when the text is not such a fingerprint.
std::optional<std::string> NormalizeFingerprint(const std::string& text);
// The settings file's three texts as the client takes them. An unknown security value or a malformed
// fingerprint raises EIdTLSLibraryError: an unusable setting must never quietly mean plain FTP.
TlsSettings MakeTlsSettings(const std::string& security, const std::string& trustFile,
                            const std::string& fingerprint);
// "AB:CD:..." as OpenSSL's own tools print a fingerprint.
std::string FormatFingerprint(const std::string& normalized);

// What one TLS connection settled on, for the verbose upload and the fingerprint command. Every text here
// came from the network or the certificate: front ends escape it before a terminal sees it.
struct TlsPeerInfo {
    std::string protocol;      // "TLSv1.3"
    std::string cipher;
    std::string subject;       // RFC 2253 form, control bytes escaped
    std::string issuer;
    std::string notBefore;
    std::string notAfter;
    std::string fingerprint;   // normalized form
    std::string acceptedBy;    // "system store", "trust file", "fingerprint", "not checked"
    std::string storeVerdict;  // what the store and name check say: "ok" or OpenSSL's reason
    bool resumed = false;
};

}  // namespace signposter::net
