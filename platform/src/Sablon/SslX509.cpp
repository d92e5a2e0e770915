#include "Sablon/SslX509.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstring>

#include "Mardel/Log.h"

namespace Halvex {
namespace Sablon {
namespace {

X509_STORE* store_of(void* p) {
    return static_cast<X509_STORE*>(p);
}
X509* cert_of(void* p) {
    return static_cast<X509*>(p);
}

// Never prompts: an encrypted PEM block is simply not readable here.
int no_password(char*, int, int, void*) {
    return 0;
}

// Text of the last entry of `nid` in `name` as UTF-8 into `out` of `size`
// bytes. Returns the full length of the text (which may exceed size - 1, the
// copy is then cut), 0 when there is no such entry, -1 when the text cannot
// be converted or holds a NUL byte.
int name_entry(X509_NAME* name, int nid, char* out, int size) {
    out[0] = '\0';
    int index = -1;
    for (int i = X509_NAME_get_index_by_NID(name, nid, -1); i >= 0;
         i = X509_NAME_get_index_by_NID(name, nid, i))
        index = i;
    if (index < 0)
        return 0;
    ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
    unsigned char* utf8 = nullptr;
    int len = ASN1_STRING_to_UTF8(&utf8, data);
    if (len < 0)
        return -1;
    if (memchr(utf8, '\0', static_cast<size_t>(len)) != nullptr) {
        OPENSSL_free(utf8);
        return -1;
    }
    int copy = len < size - 1 ? len : size - 1;
    memcpy(out, utf8, static_cast<size_t>(copy));
    out[copy] = '\0';
    OPENSSL_free(utf8);
    return len;
}

// Reads a CRL from a PEM file, or a DER one when the file is not PEM.
X509_CRL* read_crl(const char* path) {
    BIO* bio = BIO_new_file(path, "rb");
    if (!bio)
        return nullptr;
    X509_CRL* crl = PEM_read_bio_X509_CRL(bio, nullptr, no_password, nullptr);
    if (!crl && BIO_reset(bio) == 0)
        crl = d2i_X509_CRL_bio(bio, nullptr);
    BIO_free(bio);
    return crl;
}

}  // namespace

CSslX509::CSslX509() : m_store(nullptr), m_cert(nullptr) {}

CSslX509::~CSslX509() {
    X509_STORE_free(store_of(m_store));
    X509_free(cert_of(m_cert));
}

void CSslX509::SetCert(void* x509) {
    if (x509)
        X509_up_ref(cert_of(x509));
    X509_free(cert_of(m_cert));
    m_cert = x509;
}

int CSslX509::SetTrustCA(const char* path) {
    if (!path || !*path) {
        MARDEL_LOG(4, "no CA file given\n");
        return -1;
    }
    BIO* bio = BIO_new_file(path, "rb");
    if (!bio) {
        ERR_clear_error();
        MARDEL_LOG(4, "cannot open CA file %s\n", path);
        return -1;
    }
    if (!m_store) {
        m_store = X509_STORE_new();
        if (!m_store) {
            BIO_free(bio);
            MARDEL_LOG(2, "X509_STORE_new failed\n");
            return -1;
        }
    }
    int added = 0;
    while (X509* cert = PEM_read_bio_X509(bio, nullptr, no_password, nullptr)) {
        // Adding a certificate the store already holds is not an error.
        if (X509_STORE_add_cert(store_of(m_store), cert) == 1)
            ++added;
        X509_free(cert);
    }
    BIO_free(bio);
    // The loop ends on "no more PEM blocks", which is expected.
    ERR_clear_error();
    if (added == 0) {
        MARDEL_LOG(4, "no certificate in CA file %s\n", path);
        return -1;
    }
    return 0;
}

int CSslX509::GetCertSubjectMsg(CertSubjectMsg& msg) {
    memset(&msg, 0, sizeof(msg));
    if (!m_cert)
        return -1;
    X509_NAME* name = X509_get_subject_name(cert_of(m_cert));
    if (!name)
        return -1;
    int cn = name_entry(name, NID_commonName, msg.common_name, sizeof(msg.common_name));
    if (cn < 0 || cn >= static_cast<int>(sizeof(msg.common_name))) {
        // A name holding a NUL byte or too long for the field would be
        // compared as a different, shorter name.
        MARDEL_LOG(4, "certificate common name unusable (length %d)\n", cn);
        memset(&msg, 0, sizeof(msg));
        return -1;
    }
    if (name_entry(name, NID_organizationName, msg.organization, sizeof(msg.organization)) < 0)
        msg.organization[0] = '\0';
    if (name_entry(name, NID_countryName, msg.country, sizeof(msg.country)) < 0)
        msg.country[0] = '\0';
    return 0;
}

int CSslX509::CheckCertIsRevoked(const char* crl_path) {
    if (!m_cert) {
        MARDEL_LOG(4, "no certificate to check\n");
        return -1;
    }
    if (!crl_path || !*crl_path) {
        MARDEL_LOG(4, "no revocation list given\n");
        return -2;
    }
    X509_CRL* crl = read_crl(crl_path);
    if (!crl) {
        ERR_clear_error();
        MARDEL_LOG(4, "cannot read revocation list %s\n", crl_path);
        return -2;
    }
    X509* cert = cert_of(m_cert);
    int result = 0;
    // A list speaks only for certificates of its own issuer (RFC 5280
    // section 5; indirect lists are not used here).
    if (X509_NAME_cmp(X509_CRL_get_issuer(crl), X509_get_issuer_name(cert)) == 0) {
        X509_REVOKED* entry = nullptr;
        // 1: listed; 2: listed as removeFromCRL, which is no revocation.
        if (X509_CRL_get0_by_cert(crl, &entry, cert) == 1) {
            MARDEL_LOG(4, "certificate is revoked by %s\n", crl_path);
            result = 1;
        }
    }
    X509_CRL_free(crl);
    return result;
}

}  // namespace Sablon
}  // namespace Halvex
