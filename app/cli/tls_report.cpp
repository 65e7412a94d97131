#include "app/cli/tls_report.h"

#include "platform/text.h"

namespace signposter::cli {

void PrintTlsHandshake(std::FILE* out, const ftp::TlsPeerInfo& info, bool dataConnection) {
    const char* which = dataConnection ? "data" : "control";
    std::fprintf(out, "-- TLS %s connection: %s, %s\n", which, text::Printable(info.protocol).c_str(),
                 text::Printable(info.cipher).c_str());
    if (dataConnection) {
        std::fprintf(out, "-- TLS session resumed: %s\n", info.resumed ? "yes" : "no");
        return;
    }
    std::fprintf(out, "-- TLS certificate subject: %s\n", text::Printable(info.subject).c_str());
    std::fprintf(out, "-- TLS certificate issuer: %s\n", text::Printable(info.issuer).c_str());
    std::fprintf(out, "-- TLS certificate SHA-256: %s\n", ftp::FormatFingerprint(info.fingerprint).c_str());
    std::fprintf(out, "-- TLS certificate accepted by: %s\n", info.acceptedBy.c_str());
}

}  // namespace signposter::cli
