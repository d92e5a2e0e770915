#include "support/CertMaker.h"

#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <vector>

namespace corvio_test {
namespace {

using Pkey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;
using Exts = std::vector<std::pair<int, std::string>>;

struct Authority {
    Cert cert{nullptr, X509_free};
    Pkey key{nullptr, EVP_PKEY_free};
    long next_serial = 1000;
    std::vector<long> issued;
};

// The PEM text `write` puts into a memory BIO.
std::string pem(const std::function<void(BIO*)>& write) {
    BIO* bio = BIO_new(BIO_s_mem());
    write(bio);
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<size_t>(len > 0 ? len : 0));
    BIO_free(bio);
    return text;
}

// A certificate for `key` named `cn`, signed by `issuer` (self-signed when null).
Cert make_cert(const std::string& cn, EVP_PKEY* key, Authority* issuer, const Exts& exts,
               long serial) {
    Cert cert(X509_new(), X509_free);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "C", MBSTRING_ASC, (const unsigned char*)"ZZ", -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, (const unsigned char*)"Corvio Tests", -1,
                               -1, 0);
    // A plain UTF8String, so that no length limit of the name table applies.
    if (X509_NAME_add_entry_by_NID(name, NID_commonName, V_ASN1_UTF8STRING,
                                   (const unsigned char*)cn.data(), (int)cn.size(), -1, 0) != 1)
        return Cert(nullptr, X509_free);
    X509* by = issuer ? issuer->cert.get() : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(by));
    X509_set_pubkey(cert.get(), key);
    for (const auto& e : exts) {
        X509V3_CTX ctx;
        X509V3_set_ctx_nodb(&ctx);
        X509V3_set_ctx(&ctx, by, cert.get(), nullptr, nullptr, 0);
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, e.first, e.second.c_str());
        const bool ok = ext && X509_add_ext(cert.get(), ext, -1) == 1;
        X509_EXTENSION_free(ext);
        if (!ok)
            return Cert(nullptr, X509_free);
    }
    if (X509_sign(cert.get(), issuer ? issuer->key.get() : key, EVP_sha256()) <= 0)
        return Cert(nullptr, X509_free);
    return cert;
}

std::string crl_pem(Authority& issuer, const std::vector<long>& serials) {
    X509_CRL* crl = X509_CRL_new();
    X509_CRL_set_version(crl, 1);
    X509_CRL_set_issuer_name(crl, X509_get_subject_name(issuer.cert.get()));
    ASN1_TIME* last = X509_gmtime_adj(nullptr, -3600);
    ASN1_TIME* next = X509_gmtime_adj(nullptr, 24 * 3600);
    X509_CRL_set1_lastUpdate(crl, last);
    X509_CRL_set1_nextUpdate(crl, next);
    ASN1_INTEGER* number = ASN1_INTEGER_new();
    for (long serial : serials) {
        X509_REVOKED* rev = X509_REVOKED_new();
        ASN1_INTEGER_set(number, serial);
        X509_REVOKED_set_serialNumber(rev, number);
        X509_REVOKED_set_revocationDate(rev, last);
        X509_CRL_add0_revoked(crl, rev);
    }
    ASN1_INTEGER_free(number);
    ASN1_TIME_free(last);
    ASN1_TIME_free(next);
    X509_CRL_sort(crl);
    std::string text = X509_CRL_sign(crl, issuer.key.get(), EVP_sha256()) > 0
                           ? pem([crl](BIO* b) { PEM_write_bio_X509_CRL(b, crl); })
                           : "";
    X509_CRL_free(crl);
    return text;
}

// Writes <file>.crt, .key and .pem; empty paths when one fails.
CertMaker::Identity save(const CertMaker& m, const std::string& file, X509* cert, EVP_PKEY* key) {
    const std::string c = pem([&](BIO* b) { PEM_write_bio_X509(b, cert); });
    const std::string k = pem(
        [&](BIO* b) { PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr); });
    CertMaker::Identity id{m.WriteFile(file + ".crt", c), m.WriteFile(file + ".key", k),
                           m.WriteFile(file + ".pem", c + k)};
    return id.cert.empty() || id.key.empty() || id.pem.empty() ? CertMaker::Identity() : id;
}

}  // namespace

struct CertMaker::Impl {
    std::mutex mutex;
    Authority ca, other;
};

CertMaker::CertMaker() : m_impl(new Impl) {
    // A folder of its own with a random name; an existing one is never reused.
    std::error_code ec;
    std::filesystem::path tmp = std::filesystem::temp_directory_path(ec);
    if (ec)
        tmp = "/tmp";
    for (int attempt = 0; attempt < 16 && m_dir.empty(); ++attempt) {
        unsigned long long r = 0;
        RAND_bytes(reinterpret_cast<unsigned char*>(&r), sizeof(r));
        const auto dir = tmp / ("corvio-certs-" + std::to_string(r));
        if (r != 0 && std::filesystem::create_directory(dir, ec) && !ec)
            m_dir = dir.generic_string();
    }
    if (m_dir.empty())
        m_error = "cannot make a temporary directory under " + tmp.generic_string();
    else if (!make_all())
        m_error = "OpenSSL could not make the certificates";
}

CertMaker::~CertMaker() {
    std::error_code ec;
    if (!m_dir.empty())
        std::filesystem::remove_all(m_dir, ec);
}

std::string CertMaker::WriteFile(const std::string& name, const std::string& content) const {
    const std::string path = m_dir + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    return out << content << std::flush ? path : "";
}

std::string CertMaker::ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return in ? text.str() : "";
}

CertMaker::Identity CertMaker::Issue(const std::string& file, const std::string& cn,
                                     const std::string& san, bool by_other_ca,
                                     bool client_auth) const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    Authority& auth = by_other_ca ? m_impl->other : m_impl->ca;
    Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), EVP_PKEY_free);
    Exts exts = {{NID_basic_constraints, "critical,CA:FALSE"},
                 {NID_key_usage, "critical,digitalSignature"},
                 {NID_ext_key_usage, client_auth ? "clientAuth" : "serverAuth"},
                 {NID_subject_key_identifier, "hash"},
                 {NID_authority_key_identifier, "keyid:always"}};
    if (!san.empty())
        exts.push_back({NID_subject_alt_name, san});
    Cert cert = auth.cert && key ? make_cert(cn, key.get(), &auth, exts, auth.next_serial)
                                 : Cert(nullptr, X509_free);
    if (!cert)
        return Identity();
    auth.issued.push_back(auth.next_serial++);
    return save(*this, file, cert.get(), key.get());
}

bool CertMaker::make_all() {
    auto make_ca = [&](Authority& auth, Identity& id, const std::string& file,
                       const std::string& cn) {
        auth.key.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
        if (auth.key)
            auth.cert = make_cert(cn, auth.key.get(), nullptr,
                                  {{NID_basic_constraints, "critical,CA:TRUE"},
                                   {NID_key_usage, "critical,keyCertSign,cRLSign"},
                                   {NID_subject_key_identifier, "hash"}},
                                  1);
        if (!auth.cert)
            return false;
        id = save(*this, file, auth.cert.get(), auth.key.get());
        return !id.pem.empty();
    };
    const std::string ip_san = "IP:127.0.0.1,IP:::1";
    if (!make_ca(m_impl->ca, ca, "ca", "Corvio Test CA") ||
        !make_ca(m_impl->other, other_ca, "other_ca", "Corvio Other CA"))
        return false;
    server_ip = Issue("server_ip", "127.0.0.1");
    server_ip_san = Issue("server_ip_san", "127.0.0.1", ip_san);
    server_host = Issue("server_host", "corvio.test");
    server_host_san =
        Issue("server_host_san", "corvio.test", "DNS:corvio.test,DNS:localhost," + ip_san);
    server_revoked = Issue("server_revoked", "127.0.0.1");
    const long revoked = m_impl->ca.issued.empty() ? 0 : m_impl->ca.issued.back();
    client = Issue("client", "corvio-client", "", false, true);
    server_untrusted = Issue("server_untrusted", "127.0.0.1", ip_san, true);
    const std::string crl = crl_pem(m_impl->ca, {revoked});
    const std::string other = crl_pem(m_impl->other, m_impl->ca.issued);
    ca_crl = crl.empty() ? "" : WriteFile("ca.crl", crl);
    other_crl = other.empty() ? "" : WriteFile("other_ca.crl", other);
    for (const Identity* id : {&server_ip, &server_ip_san, &server_host, &server_host_san,
                               &server_revoked, &client, &server_untrusted})
        if (id->pem.empty())
            return false;
    return !ca_crl.empty() && !other_crl.empty();
}

}  // namespace corvio_test
