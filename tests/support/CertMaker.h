// Certificates made at test time with OpenSSL, written as PEM files into a
// fresh temporary directory that the maker removes when it is destroyed.
//
// What one CertMaker holds (all keys are EC P-256, signatures SHA-256, valid
// from one hour ago for one day):
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
//   client            CN=corvio-client, extendedKeyUsage clientAuth;
//                     its .pem holds the certificate and the key, the form a
//                     TLS client takes for mutual TLS.            (by ca)
//
//   ca_crl            CRL signed by ca listing server_revoked only.
//   other_crl         CRL signed by other_ca listing the serial numbers of
//                     every certificate ca issued: it must revoke nothing of
//                     ca's certificates (a check by serial number alone would
//                     wrongly say they are revoked).
//
// Each Identity has three files: `cert` (the certificate), `key` (its private
// key, unencrypted PKCS#8) and `pem` (certificate then key, in one file).
//
// Typical use:
//   const auto& certs = corvio_test::CertMaker::Shared();   // once per process
//   ASSERT_TRUE(certs.Ok()) << certs.Error();
//   server options: cert_file = certs.server_ip.cert, key_file = certs.server_ip.key
//   client: CSslX509::SetTrustCA(certs.ca.cert.c_str())
#pragma once

#include <memory>
#include <string>

namespace corvio_test {

class CertMaker {
public:
    struct Identity {
        std::string cert;  // certificate (PEM)
        std::string key;   // private key (PEM)
        std::string pem;   // certificate followed by the key (PEM)
        std::string cn;    // the subject's common name
    };

    // Makes the whole set at once (a few milliseconds). Check Ok().
    CertMaker();
    // Removes the directory and every file in it.
    ~CertMaker();
    CertMaker(const CertMaker&) = delete;
    CertMaker& operator=(const CertMaker&) = delete;

    // One set shared by the whole process, made on first use (thread-safe),
    // removed at exit.
    static const CertMaker& Shared();

    bool Ok() const { return m_error.empty(); }
    // Why the set could not be made; empty when Ok().
    const std::string& Error() const { return m_error; }
    // The temporary directory holding the files.
    const std::string& Dir() const { return m_dir; }

    // A path in Dir() that does not exist (for "cannot be read" cases).
    std::string MissingPath() const { return m_dir + "/missing.pem"; }
    // Writes `content` into Dir()/name and returns the path ("" on failure);
    // for composing odd files (a certificate without key, garbage, ...).
    std::string WriteFile(const std::string& name, const std::string& content) const;
    // The whole content of a file ("" when it cannot be read).
    static std::string ReadFile(const std::string& path);

    // Issues one more leaf certificate into Dir()/<file>.{crt,key,pem}: by
    // `ca` (or by `other_ca`), subject C=ZZ, O=Corvio Tests, CN=`cn` (taken
    // byte for byte, so a NUL inside or a length beyond the usual 64 is
    // possible), subjectAltName `san` in OpenSSL's notation
    // ("DNS:a.test,IP:127.0.0.1"; "" for none), extendedKeyUsage serverAuth
    // (clientAuth with `client`). Thread-safe. Empty paths on failure.
    Identity Issue(const std::string& file, const std::string& cn, const std::string& san = "",
                   bool by_other_ca = false, bool client = false) const;

    Identity ca;
    Identity other_ca;
    Identity server_ip;
    Identity server_ip_san;
    Identity server_host;
    Identity server_host_san;
    Identity server_revoked;
    Identity server_untrusted;
    Identity client;
    std::string ca_crl;
    std::string other_crl;

private:
    struct Impl;
    bool make_all();
    std::string m_dir;
    std::string m_error;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace corvio_test
