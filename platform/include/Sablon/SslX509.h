// X.509 certificates on OpenSSL: a store of trusted CA certificates, or one
// certificate (a peer's, from CSslStream::GetPeerCert).
#pragma once

#include "Sablon/Export.h"

namespace Halvex {
namespace Sablon {

struct CertSubjectMsg {
    char common_name[128];   // CN (the last one), NUL-terminated; empty when none
    char organization[128];  // O, NUL-terminated, cut to fit
    char country[8];         // C, NUL-terminated, cut to fit
};

class SABLON_API CSslX509 {
public:
    CSslX509();
    ~CSslX509();
    CSslX509(const CSslX509&) = delete;
    CSslX509& operator=(const CSslX509&) = delete;

    // Adds the CA certificates of a PEM file to the trusted store (made on
    // first use); 0 when at least one certificate was read, negative
    // otherwise. May be called for several files.
    int SetTrustCA(const char* path);
    // Subject of the held certificate. Negative (and `msg` zeroed) when none
    // is held, or when the common name holds a NUL byte or does not fit the
    // 128-byte field: a cut or NUL-split name would be compared as another
    // name.
    int GetCertSubjectMsg(CertSubjectMsg& msg);
    // 0 when the held certificate is not revoked by the CRL at `crl_path`
    // (PEM, or DER): a CRL of another issuer revokes nothing of it. 1 when it
    // is listed; -1 when no certificate is held; -2 when the file cannot be
    // read as a CRL. The CRL's signature and dates are not checked: a list
    // can only refuse certificates, and the caller chooses the file.
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
