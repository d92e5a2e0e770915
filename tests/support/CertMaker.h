// Certificates made at test time with OpenSSL (EC P-256, SHA-256, valid from an
// hour ago for a day, subjects C=ZZ, O=Corvio Tests) as files in a temporary
// directory removed with the maker. make_all (CertMaker.cpp) lists the identities
// and their names and subjectAltNames: ca and other_ca are self-signed, the rest
// issued by ca, server_untrusted by other_ca; ca_crl revokes server_revoked only,
// other_crl lists every serial number ca issued (and so must revoke none).
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

    // One set for the process, made on first use (thread-safe).
    static const CertMaker& Shared() {
        static CertMaker shared;
        return shared;
    }

    bool Ok() const { return m_error.empty(); }
    const std::string& Error() const { return m_error; }
    const std::string& Dir() const { return m_dir; }
    // A path in Dir() that does not exist.
    std::string MissingPath() const { return m_dir + "/missing.pem"; }
    // Writes Dir()/name; its path, or "" on failure.
    std::string WriteFile(const std::string& name, const std::string& content) const;
    // A file's content ("" when it cannot be read).
    static std::string ReadFile(const std::string& path);

    // One more leaf (thread-safe; empty paths on failure): CN `cn` byte for byte
    // (a NUL or over 64 bytes possible), subjectAltName `san` in OpenSSL's
    // notation, extendedKeyUsage serverAuth (clientAuth with `client`).
    Identity Issue(const std::string& file, const std::string& cn, const std::string& san = "",
                   bool by_other_ca = false, bool client = false) const;

    Identity ca, other_ca, server_ip, server_ip_san, server_host, server_host_san, server_revoked,
        server_untrusted, client;
    std::string ca_crl, other_crl;

private:
    struct Impl;
    bool make_all();
    std::string m_dir, m_error;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace corvio_test
