// Certificates made at test time with OpenSSL, as PEM files in a fresh
// temporary directory removed with the maker. Keys are EC P-256, signatures
// SHA-256, valid from one hour ago for one day; subjects C=ZZ, O=Corvio Tests.
//
//   ca                "Corvio Test CA", self-signed; the trust anchor.
//   other_ca          "Corvio Other CA", self-signed; trusted by nobody.
//   server_ip         CN=127.0.0.1, no subjectAltName.            (by ca)
//   server_ip_san     CN=127.0.0.1, SAN IP:127.0.0.1, IP:::1.      (by ca)
//   server_host       CN=corvio.test, no subjectAltName.          (by ca)
//   server_host_san   CN=corvio.test, SAN DNS:corvio.test, DNS:localhost,
//                     IP:127.0.0.1, IP:::1.                       (by ca)
//   server_revoked    CN=127.0.0.1, listed in ca_crl.             (by ca)
//   server_untrusted  CN=127.0.0.1, SAN IP:127.0.0.1, IP:::1.  (by other_ca)
//   client            CN=corvio-client, extendedKeyUsage clientAuth (by ca)
//   ca_crl            CRL of ca listing server_revoked only.
//   other_crl         CRL of other_ca listing the serial numbers of every
//                     certificate ca issued: it must revoke none of them.
//
#pragma once

#include <memory>
#include <string>

namespace corvio_test {

class CertMaker {
public:
    struct Identity {
        std::string cert, key, pem;  // file paths: Dir()/<name>.crt, .key, .pem
    };

    CertMaker();  // use Shared() and check Ok()
    ~CertMaker();
    CertMaker(const CertMaker&) = delete;
    CertMaker& operator=(const CertMaker&) = delete;

    // One set for the whole process, made on first use (thread-safe).
    static const CertMaker& Shared();

    bool Ok() const { return m_error.empty(); }
    const std::string& Error() const { return m_error; }
    const std::string& Dir() const { return m_dir; }
    // A path in Dir() that does not exist.
    std::string MissingPath() const { return m_dir + "/missing.pem"; }
    // Writes Dir()/name; its path, or "" on failure.
    std::string WriteFile(const std::string& name, const std::string& content) const;
    // A file's content ("" when it cannot be read).
    static std::string ReadFile(const std::string& path);

    // One more leaf into Dir()/<file>.{crt,key,pem}, by ca (or other_ca),
    // CN `cn` byte for byte (a NUL inside, or beyond 64 bytes, is possible),
    // subjectAltName `san` in OpenSSL's notation ("" for none),
    // extendedKeyUsage serverAuth (clientAuth with `client`). Thread-safe;
    // empty paths on failure.
    Identity Issue(const std::string& file, const std::string& cn, const std::string& san = "",
                   bool by_other_ca = false, bool client = false) const;

    Identity ca, other_ca, server_ip, server_ip_san, server_host, server_host_san, server_revoked,
        server_untrusted, client;
    std::string ca_crl, other_crl;

private:
    struct Impl;
    bool make_all();
    std::string m_dir;
    std::string m_error;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace corvio_test
