// The HTTPS listener's certificate and key, made in memory.
#pragma once

#include <openssl/types.h>

#include <string>

namespace testserver {

struct TlsIdentity {
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    TlsIdentity() = default;
    TlsIdentity(const TlsIdentity&) = delete;
    TlsIdentity& operator=(const TlsIdentity&) = delete;
    ~TlsIdentity();
};

bool makeSelfSignedIdentity(TlsIdentity& identity, std::string& error);
// Writes the certificate (never the key) as PEM.
bool writeCertificatePem(const TlsIdentity& identity, const std::string& path, std::string& error);

}  // namespace testserver
