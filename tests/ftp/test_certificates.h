#pragma once

#include <string>

// Self-signed certificates made in a test's own directory with the OpenSSL API, so that validity and names
// can be whatever a case needs (one that expired yesterday, one for another name).
namespace signposter::testing {

struct CertificateOptions {
    std::string commonName = "127.0.0.1";
    std::string subjectAltName = "IP:127.0.0.1";  // empty for none
    long validFromDays = -1;                       // relative to now
    long validUntilDays = 2;
};

struct TestCertificate {
    std::string certFile;     // PEM
    std::string keyFile;      // PEM, unencrypted
    std::string fingerprint;  // SHA-256, "AB:CD:..." as openssl x509 -fingerprint prints it
};

// Writes DIR/NAME.crt and DIR/NAME.key. Aborts the test program on failure (it is a broken test machine).
TestCertificate MakeCertificate(const std::string& dir, const std::string& name,
                                const CertificateOptions& options = {});

}  // namespace signposter::testing
