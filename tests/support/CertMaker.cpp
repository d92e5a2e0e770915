#include "support/CertMaker.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <utility>
#include <vector>

namespace corvio_test {
namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};
struct CrlFree {
    void operator()(X509_CRL* p) const { X509_CRL_free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using CrlPtr = std::unique_ptr<X509_CRL, CrlFree>;

// An issuer while the set is being made.
struct Authority {
    X509Ptr cert;
    PkeyPtr key;
    long next_serial = 1000;
    std::vector<long> issued;
};

std::string bio_text(BIO* bio) {
    char* data = nullptr;
    long len = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<size_t>(len > 0 ? len : 0));
}

std::string cert_pem(X509* cert) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    std::string text = bio_text(bio);
    BIO_free(bio);
    return text;
}

std::string key_pem(EVP_PKEY* key) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::string text = bio_text(bio);
    BIO_free(bio);
    return text;
}

std::string crl_pem(X509_CRL* crl) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509_CRL(bio, crl);
    std::string text = bio_text(bio);
    BIO_free(bio);
    return text;
}

PkeyPtr new_key() {
    return PkeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
}

bool add_ext(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (!ext)
        return false;
    bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

bool set_cn(X509_NAME* name, const std::string& cn) {
    // A plain UTF8String, so that no length limit of the name table applies.
    return X509_NAME_add_entry_by_NID(name, NID_commonName, V_ASN1_UTF8STRING,
                                      reinterpret_cast<const unsigned char*>(cn.data()),
                                      static_cast<int>(cn.size()), -1, 0) == 1;
}

// Makes a certificate for `key` named `cn`. With `issuer` null the
// certificate is a self-signed CA.
X509Ptr make_cert(const std::string& cn, EVP_PKEY* key, Authority* issuer,
                  const std::vector<std::pair<int, std::string>>& exts, long serial) {
    X509Ptr cert(X509_new());
    if (!cert)
        return nullptr;
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "C", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("ZZ"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Corvio Tests"), -1, -1, 0);
    if (!set_cn(name, cn))
        return nullptr;
    X509* issuer_cert = issuer ? issuer->cert.get() : cert.get();
    EVP_PKEY* sign_key = issuer ? issuer->key.get() : key;
    X509_set_issuer_name(cert.get(), X509_get_subject_name(issuer_cert));
    X509_set_pubkey(cert.get(), key);
    for (const auto& ext : exts) {
        if (!add_ext(cert.get(), issuer_cert, ext.first, ext.second))
            return nullptr;
    }
    if (X509_sign(cert.get(), sign_key, EVP_sha256()) <= 0)
        return nullptr;
    return cert;
}

CrlPtr make_crl(Authority& issuer, const std::vector<long>& serials) {
    CrlPtr crl(X509_CRL_new());
    if (!crl)
        return nullptr;
    X509_CRL_set_version(crl.get(), 1);
    X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(issuer.cert.get()));
    ASN1_TIME* last = X509_gmtime_adj(nullptr, -3600);
    ASN1_TIME* next = X509_gmtime_adj(nullptr, 24 * 3600);
    X509_CRL_set1_lastUpdate(crl.get(), last);
    X509_CRL_set1_nextUpdate(crl.get(), next);
    for (long serial : serials) {
        X509_REVOKED* rev = X509_REVOKED_new();
        ASN1_INTEGER* number = ASN1_INTEGER_new();
        ASN1_INTEGER_set(number, serial);
        X509_REVOKED_set_serialNumber(rev, number);
        X509_REVOKED_set_revocationDate(rev, last);
        ASN1_INTEGER_free(number);
        X509_CRL_add0_revoked(crl.get(), rev);
    }
    ASN1_TIME_free(last);
    ASN1_TIME_free(next);
    X509_CRL_sort(crl.get());
    if (X509_CRL_sign(crl.get(), issuer.key.get(), EVP_sha256()) <= 0)
        return nullptr;
    return crl;
}

}  // namespace

struct CertMaker::Impl {
    std::mutex mutex;
    Authority ca;
    Authority other;
};

CertMaker::CertMaker() : m_impl(new Impl) {
    // A folder of its own under the system's temporary folder; the name's
    // random part comes from OpenSSL, and an existing folder is never reused.
    std::error_code ec;
    const std::filesystem::path tmp = std::filesystem::temp_directory_path(ec);
    for (int attempt = 0; attempt < 16 && m_dir.empty(); ++attempt) {
        unsigned char r[6];
        if (RAND_bytes(r, sizeof(r)) != 1)
            break;
        char name[32];
        snprintf(name, sizeof(name), "corvio-certs-%02x%02x%02x%02x%02x%02x", r[0], r[1], r[2],
                 r[3], r[4], r[5]);
        const std::filesystem::path dir = (ec ? std::filesystem::path("/tmp") : tmp) / name;
        std::error_code made;
        if (std::filesystem::create_directory(dir, made) && !made)
            m_dir = dir.generic_string();
    }
    if (m_dir.empty()) {
        m_error = "cannot make a temporary directory under " + tmp.generic_string();
        return;
    }
    if (!make_all() && m_error.empty())
        m_error = "OpenSSL could not make the certificates";
}

CertMaker::~CertMaker() {
    if (m_dir.empty())
        return;
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
}

const CertMaker& CertMaker::Shared() {
    static CertMaker shared;
    return shared;
}

std::string CertMaker::WriteFile(const std::string& name, const std::string& content) const {
    std::string path = m_dir + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return "";
    out << content;
    out.close();
    return out ? path : "";
}

std::string CertMaker::ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

CertMaker::Identity CertMaker::Issue(const std::string& file, const std::string& cn,
                                     const std::string& san, bool by_other_ca,
                                     bool client_auth) const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    Authority& auth = by_other_ca ? m_impl->other : m_impl->ca;
    Identity id;
    if (!auth.cert || !auth.key)
        return id;
    PkeyPtr key = new_key();
    if (!key)
        return id;
    std::vector<std::pair<int, std::string>> exts = {
        {NID_basic_constraints, "critical,CA:FALSE"},
        {NID_key_usage, "critical,digitalSignature"},
        {NID_ext_key_usage, client_auth ? "clientAuth" : "serverAuth"},
        {NID_subject_key_identifier, "hash"},
        {NID_authority_key_identifier, "keyid:always"},
    };
    if (!san.empty())
        exts.push_back({NID_subject_alt_name, san});
    long serial = auth.next_serial++;
    X509Ptr cert = make_cert(cn, key.get(), &auth, exts, serial);
    if (!cert)
        return id;
    auth.issued.push_back(serial);
    std::string cert_text = cert_pem(cert.get());
    std::string key_text = key_pem(key.get());
    id.cn = cn;
    id.cert = WriteFile(file + ".crt", cert_text);
    id.key = WriteFile(file + ".key", key_text);
    id.pem = WriteFile(file + ".pem", cert_text + key_text);
    if (id.cert.empty() || id.key.empty() || id.pem.empty())
        return Identity();
    return id;
}

bool CertMaker::make_all() {
    const std::vector<std::pair<int, std::string>> ca_exts = {
        {NID_basic_constraints, "critical,CA:TRUE"},
        {NID_key_usage, "critical,keyCertSign,cRLSign"},
        {NID_subject_key_identifier, "hash"},
    };
    auto make_ca = [&](Authority& auth, Identity& id, const std::string& file,
                       const std::string& cn) {
        auth.key = new_key();
        if (!auth.key)
            return false;
        auth.cert = make_cert(cn, auth.key.get(), nullptr, ca_exts, 1);
        if (!auth.cert)
            return false;
        id.cn = cn;
        id.cert = WriteFile(file + ".crt", cert_pem(auth.cert.get()));
        id.key = WriteFile(file + ".key", key_pem(auth.key.get()));
        id.pem = WriteFile(file + ".pem", cert_pem(auth.cert.get()) + key_pem(auth.key.get()));
        return !id.cert.empty() && !id.key.empty() && !id.pem.empty();
    };
    Authority& main_ca = m_impl->ca;
    Authority& other = m_impl->other;
    if (!make_ca(main_ca, ca, "ca", "Corvio Test CA"))
        return false;
    if (!make_ca(other, other_ca, "other_ca", "Corvio Other CA"))
        return false;
    const std::string ip_san = "IP:127.0.0.1,IP:::1";
    const std::string host_san = "DNS:corvio.test,DNS:localhost," + ip_san;
    bool ok = !(server_ip = Issue("server_ip", "127.0.0.1")).pem.empty() &&
              !(server_ip_san = Issue("server_ip_san", "127.0.0.1", ip_san)).pem.empty() &&
              !(server_host = Issue("server_host", "corvio.test")).pem.empty() &&
              !(server_host_san = Issue("server_host_san", "corvio.test", host_san)).pem.empty() &&
              !(server_revoked = Issue("server_revoked", "127.0.0.1")).pem.empty();
    if (!ok)
        return false;
    long revoked_serial = main_ca.issued.back();
    ok = !(client = Issue("client", "corvio-client", "", false, true)).pem.empty() &&
         !(server_untrusted = Issue("server_untrusted", "127.0.0.1", ip_san, true)).pem.empty();
    if (!ok)
        return false;

    CrlPtr crl = make_crl(main_ca, {revoked_serial});
    CrlPtr foreign = make_crl(other, main_ca.issued);
    if (!crl || !foreign)
        return false;
    ca_crl = WriteFile("ca.crl", crl_pem(crl.get()));
    other_crl = WriteFile("other_ca.crl", crl_pem(foreign.get()));
    return !ca_crl.empty() && !other_crl.empty();
}

}  // namespace corvio_test
