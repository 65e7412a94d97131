#include "ftp/tls_probe.h"

#include "ftp/id_ftp.h"

namespace signposter::ftp {

TlsPeerInfo ProbeServerCertificate(TIdFTP& client, const std::string& trustFile) {
    // Whatever the settings say: the point is to see the certificate before trusting it.
    TlsSettings settings;
    settings.security = FtpSecurity::ExplicitTLS;
    settings.trustFile = trustFile;
    settings.reportOnly = true;
    client.SetTlsSettings(settings);
    TlsPeerInfo info;
    client.SetOnTlsEstablished([&info](const TlsPeerInfo& peer, bool) { info = peer; });
    try {
        // Greeting, AUTH TLS and the handshake; the user name is never sent.
        client.OpenSession(false);
    } catch (...) {
        client.SetOnTlsEstablished({});
        client.CloseConnection();
        throw;
    }
    client.SetOnTlsEstablished({});
    client.CloseConnection();
    return info;
}

std::vector<std::pair<std::string, std::string>> CertificateFields(const TlsPeerInfo& info) {
    return {
        {"Subject", info.subject},
        {"Issuer", info.issuer},
        {"Valid from", info.notBefore},
        {"Valid until", info.notAfter},
        {"SHA-256 fingerprint", FormatFingerprint(info.fingerprint)},
        {"System store", info.storeVerdict},
    };
}

}  // namespace signposter::ftp
