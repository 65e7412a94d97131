#include "net/tls_settings.h"

#include "net/id_exceptions.h"
#include "platform/text.h"

namespace signposter::net {

std::optional<FtpSecurity> ParseFtpSecurity(const std::string& text) {
    const std::string upper = text::UpperAscii(text::Trim(text));
    if (upper.empty() || upper == "NONE")
        return FtpSecurity::None;
    if (upper == "EXPLICITTLS")
        return FtpSecurity::ExplicitTLS;
    return std::nullopt;
}

std::optional<std::string> NormalizeFingerprint(const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (c == ':' || c == ' ' || c == '\t')
            continue;
        if (text::HexDigitValue(c) < 0)
            return std::nullopt;
        digits += static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    }
    // SHA-256: 32 bytes.
    if (!digits.empty() && digits.size() != 64)
        return std::nullopt;
    return digits;
}

TlsSettings MakeTlsSettings(const std::string& security, const std::string& trustFile,
                            const std::string& fingerprint) {
    TlsSettings settings;
    const std::optional<FtpSecurity> parsed = ParseFtpSecurity(security);
    if (!parsed)
        throw EIdTLSLibraryError("TLS initialisation failed: unknown FtpSecurity value");
    settings.security = *parsed;
    if (settings.security == FtpSecurity::None)
        return settings;
    const std::optional<std::string> pinned = NormalizeFingerprint(fingerprint);
    if (!pinned)
        throw EIdTLSLibraryError("TLS initialisation failed: TLS fingerprint must be 64 hex digits");
    settings.trustFile = text::Trim(trustFile);
    settings.fingerprint = *pinned;
    return settings;
}

std::string FormatFingerprint(const std::string& normalized) {
    std::string out;
    for (std::size_t i = 0; i < normalized.size(); ++i) {
        if (i > 0 && i % 2 == 0)
            out += ':';
        const char c = normalized[i];
        out += static_cast<char>(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c);
    }
    return out;
}

}  // namespace signposter::net
