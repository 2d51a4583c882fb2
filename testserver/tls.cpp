// A self-signed certificate for the HTTPS listener, made at start-up so that
// no private key is ever stored in the repository. The certificate names
// 127.0.0.1 and localhost, and is its own CA, so a client can pin it as the
// CA file and verify the server fully.
#include "testserver/tls.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>

namespace testserver {

namespace {

bool addExtension(X509* cert, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext) return false;
    const bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

}  // namespace

TlsIdentity::~TlsIdentity() {
    X509_free(cert);
    EVP_PKEY_free(key);
}

bool makeSelfSignedIdentity(TlsIdentity& identity, std::string& error) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    if (!key) {
        error = "cannot generate a key pair";
        return false;
    }
    X509* cert = X509_new();
    identity.key = key;
    identity.cert = cert;
    if (!cert) {
        error = "cannot allocate a certificate";
        return false;
    }
    unsigned char serial[8];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7F;
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert));
    BN_free(bn);
    X509_set_version(cert, 2);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3650L * 86400L);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Orbisk test server"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"),
                               -1, -1, 0);
    X509_set_issuer_name(cert, name);
    const bool extensionsOk = addExtension(cert, NID_basic_constraints, "critical,CA:TRUE") &&
                              addExtension(cert, NID_key_usage, "critical,digitalSignature,keyCertSign") &&
                              addExtension(cert, NID_ext_key_usage, "serverAuth") &&
                              addExtension(cert, NID_subject_key_identifier, "hash") &&
                              addExtension(cert, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
    if (!extensionsOk || X509_sign(cert, key, EVP_sha256()) == 0) {
        error = "cannot build the self-signed certificate";
        return false;
    }
    return true;
}

bool writeCertificatePem(const TlsIdentity& identity, const std::string& path, std::string& error) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) {
        error = "cannot create " + path;
        return false;
    }
    const bool ok = PEM_write_X509(f, identity.cert) == 1;
    if (std::fclose(f) != 0 || !ok) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace testserver
