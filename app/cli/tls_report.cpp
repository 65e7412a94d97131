#include "app/cli/tls_report.h"

namespace signposter::cli {

std::string Printable(const std::string& text) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            out += "\\x";
            out += kDigits[byte >> 4];
            out += kDigits[byte & 15];
        } else {
            out += c;
        }
    }
    return out;
}

void PrintTlsHandshake(std::FILE* out, const ftp::TlsPeerInfo& info, bool dataConnection) {
    const char* which = dataConnection ? "data" : "control";
    std::fprintf(out, "-- TLS %s connection: %s, %s\n", which, Printable(info.protocol).c_str(),
                 Printable(info.cipher).c_str());
    if (dataConnection) {
        std::fprintf(out, "-- TLS session resumed: %s\n", info.resumed ? "yes" : "no");
        return;
    }
    std::fprintf(out, "-- TLS certificate subject: %s\n", Printable(info.subject).c_str());
    std::fprintf(out, "-- TLS certificate issuer: %s\n", Printable(info.issuer).c_str());
    std::fprintf(out, "-- TLS certificate SHA-256: %s\n", ftp::FormatFingerprint(info.fingerprint).c_str());
    std::fprintf(out, "-- TLS certificate accepted by: %s\n", info.acceptedBy.c_str());
}

}  // namespace signposter::cli
