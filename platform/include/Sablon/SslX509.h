// X.509 certificates on OpenSSL: a store of trusted CA certificates, or one
// certificate (a peer's, from CSslStream::GetPeerCert).
#pragma once

#include "Sablon/Export.h"

namespace Halvex {
namespace Sablon {

struct CertSubjectMsg {
    char common_name[128];   // CN, NUL-terminated (cut to 127 characters)
    char organization[128];  // O
    char country[8];         // C
};

class SABLON_API CSslX509 {
public:
    CSslX509();
    ~CSslX509();
    CSslX509(const CSslX509&) = delete;
    CSslX509& operator=(const CSslX509&) = delete;

    // Adds the CA certificates of a PEM file to the trusted store; 0 when at
    // least one certificate was read, negative otherwise.
    int SetTrustCA(const char* path);
    // Subject of the held certificate; negative when none is held.
    int GetCertSubjectMsg(CertSubjectMsg& msg);
    // 0 when the held certificate is not revoked by the CRL in the PEM file
    // at `crl_path` (a CRL of another issuer revokes nothing of it); non-zero
    // when it is revoked, the file cannot be read, or no certificate is held.
    int CheckCertIsRevoked(const char* crl_path);

    // For the platform layer: the trusted store (X509_STORE*) and the held
    // certificate (X509*), or null.
    void* GetStore() const { return m_store; }
    void* GetCert() const { return m_cert; }
    // Takes one reference of `x509` (X509*), dropping any held before.
    void SetCert(void* x509);

private:
    void* m_store;
    void* m_cert;
};

}  // namespace Sablon
}  // namespace Halvex
