#include "test_certificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>

namespace signposter::testing {

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "test certificate: %s failed\n", what);
    std::abort();
}

}  // namespace

TestCertificate MakeCertificate(const std::string& dir, const std::string& name,
                                const CertificateOptions& options) {
    // P-256: as good as RSA for a test peer, and made in a millisecond instead of a second.
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    if (key == nullptr || cert == nullptr)
        Fail("key generation");
    X509_set_version(cert, 2);
    static long serial = 1;
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
    X509_gmtime_adj(X509_getm_notBefore(cert), options.validFromDays * 86400L);
    X509_gmtime_adj(X509_getm_notAfter(cert), options.validUntilDays * 86400L);
    X509_set_pubkey(cert, key);
    X509_NAME* subject = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(options.commonName.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert, subject);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
    auto addExtension = [&](int nid, const std::string& value) {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
        if (extension == nullptr)
            Fail("extension");
        X509_add_ext(cert, extension, -1);
        X509_EXTENSION_free(extension);
    };
    addExtension(NID_basic_constraints, "critical,CA:TRUE");
    if (!options.subjectAltName.empty())
        addExtension(NID_subject_alt_name, options.subjectAltName);
    if (X509_sign(cert, key, EVP_sha256()) == 0)
        Fail("signing");

    TestCertificate out{dir + "/" + name + ".crt", dir + "/" + name + ".key", ""};
    FILE* certOut = std::fopen(out.certFile.c_str(), "w");
    FILE* keyOut = std::fopen(out.keyFile.c_str(), "w");
    if (certOut == nullptr || keyOut == nullptr || PEM_write_X509(certOut, cert) != 1 ||
        PEM_write_PrivateKey(keyOut, key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        Fail("writing");
    std::fclose(certOut);
    std::fclose(keyOut);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    X509_digest(cert, EVP_sha256(), digest, &length);
    char hex[4];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : ":%02X", digest[i]);
        out.fingerprint += hex;
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    return out;
}

}  // namespace signposter::testing
