// X.509 holder: trusted-CA files, subject fields, revocation lists. The
// certificates are made at test time; the network is not used.
#include "Sablon/SslX509.h"

#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <string>

#include "support/CertMaker.h"

using namespace Halvex::Sablon;
using corvio_test::CertMaker;

namespace {

const CertMaker& Certs() {
    const CertMaker& certs = CertMaker::Shared();
    EXPECT_TRUE(certs.Ok()) << certs.Error();
    return certs;
}

// Loads the certificate of a PEM file into `holder`, as GetPeerCert would.
bool Hold(CSslX509& holder, const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
    fclose(f);
    if (!cert)
        return false;
    holder.SetCert(cert);
    X509_free(cert);
    return true;
}

}  // namespace

struct RevocationCase {
    const char* label;
    CertMaker::Identity CertMaker::*cert;
    std::string (*crl)(const CertMaker&);
    bool revoked;  // non-zero expected
};

class X509Revocation : public ::testing::TestWithParam<RevocationCase> {};

TEST_P(X509Revocation, CheckCertIsRevoked) {
    const RevocationCase& c = GetParam();
    const CertMaker& certs = Certs();
    CSslX509 holder;
    ASSERT_TRUE(Hold(holder, (certs.*c.cert).cert));
    const std::string crl = c.crl(certs);
    ASSERT_FALSE(crl.empty());
    if (c.revoked)
        EXPECT_NE(holder.CheckCertIsRevoked(crl.c_str()), 0);
    else
        EXPECT_EQ(holder.CheckCertIsRevoked(crl.c_str()), 0);
}

const RevocationCase kRevocationCases[] = {
    {"RevokedByItsCA", &CertMaker::server_revoked, [](const CertMaker& c) { return c.ca_crl; },
     true},
    {"NotListed", &CertMaker::server_ip, [](const CertMaker& c) { return c.ca_crl; }, false},
    // The other issuer's list holds the same serial numbers: it must not
    // count.
    {"OtherIssuerRevokesNothing", &CertMaker::server_revoked,
     [](const CertMaker& c) { return c.other_crl; }, false},
    {"OtherIssuerSameSerial", &CertMaker::server_ip, [](const CertMaker& c) { return c.other_crl; },
     false},
    {"UntrustedAgainstCaList", &CertMaker::server_untrusted,
     [](const CertMaker& c) { return c.ca_crl; }, false},
    {"MissingFile", &CertMaker::server_ip, [](const CertMaker& c) { return c.MissingPath(); },
     true},
    {"NotACrl", &CertMaker::server_ip, [](const CertMaker& c) { return c.ca.cert; }, true},
    {"Garbage", &CertMaker::server_ip,
     [](const CertMaker& c) { return c.WriteFile("garbage.crl", "-----BEGIN X509 CRL-----\n"); },
     true},
    {"Directory", &CertMaker::server_ip, [](const CertMaker& c) { return c.Dir(); }, true},
};

INSTANTIATE_TEST_SUITE_P(Table, X509Revocation, ::testing::ValuesIn(kRevocationCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(X509, RevocationCheckWithoutCertificateFails) {
    CSslX509 empty;
    EXPECT_NE(empty.CheckCertIsRevoked(Certs().ca_crl.c_str()), 0);
    EXPECT_NE(empty.CheckCertIsRevoked(nullptr), 0);
}

TEST(X509, DerCrlIsReadToo) {
    const CertMaker& certs = Certs();
    FILE* f = fopen(certs.ca_crl.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    X509_CRL* crl = PEM_read_X509_CRL(f, nullptr, nullptr, nullptr);
    fclose(f);
    ASSERT_NE(crl, nullptr);
    unsigned char* der = nullptr;
    int len = i2d_X509_CRL(crl, &der);
    X509_CRL_free(crl);
    ASSERT_GT(len, 0);
    std::string path =
        certs.WriteFile("ca.der.crl", std::string(reinterpret_cast<char*>(der), len));
    OPENSSL_free(der);
    CSslX509 holder;
    ASSERT_TRUE(Hold(holder, certs.server_revoked.cert));
    EXPECT_EQ(holder.CheckCertIsRevoked(path.c_str()), 1);
}

TEST(X509, SetTrustCA) {
    const CertMaker& certs = Certs();
    struct {
        const char* label;
        std::string path;
        int ok;
    } cases[] = {
        {"ca", certs.ca.cert, true},
        {"bundle",
         certs.WriteFile("bundle.pem", CertMaker::ReadFile(certs.ca.cert) +
                                           CertMaker::ReadFile(certs.other_ca.cert)),
         true},
        {"cert then key", certs.ca.pem, true},
        {"missing", certs.MissingPath(), false},
        {"key only", certs.ca.key, false},
        {"garbage", certs.WriteFile("garbage_ca.pem", "garbage\n"), false},
        {"empty", certs.WriteFile("empty.pem", ""), false},
        {"empty path", "", false},
    };
    for (const auto& c : cases) {
        CSslX509 ca;
        if (c.ok) {
            EXPECT_EQ(ca.SetTrustCA(c.path.c_str()), 0) << c.label;
            EXPECT_NE(ca.GetStore(), nullptr) << c.label;
        } else {
            EXPECT_LT(ca.SetTrustCA(c.path.c_str()), 0) << c.label;
        }
    }
    CSslX509 twice;
    EXPECT_EQ(twice.SetTrustCA(certs.ca.cert.c_str()), 0);
    EXPECT_EQ(twice.SetTrustCA(certs.ca.cert.c_str()), 0) << "the same CA again is accepted";
    EXPECT_LT(twice.SetTrustCA(nullptr), 0);
}

TEST(X509, SubjectCommonName) {
    const CertMaker& certs = Certs();
    const std::string cn64(64, 'a');
    const std::string cn127(127, 'b');
    struct {
        const char* label;
        std::string cn;
        bool ok;
    } cases[] = {
        {"ip", "127.0.0.1", true},
        {"wildcard", "*.0.0.1", true},
        {"utf8", "h\xC3\xA9t\xC3\xA9.test", true},
        {"64", cn64, true},
        {"127 fits the field", cn127, true},
        {"128 does not fit", cn127 + "c", false},
        {"embedded NUL", std::string("127.0.0.1\0.evil.test", 20), false},
    };
    int serial = 0;
    for (const auto& c : cases) {
        auto id = certs.Issue("subject_" + std::to_string(serial++), c.cn);
        ASSERT_FALSE(id.cert.empty()) << c.label;
        CSslX509 holder;
        ASSERT_TRUE(Hold(holder, id.cert)) << c.label;
        CertSubjectMsg msg;
        if (c.ok) {
            ASSERT_EQ(holder.GetCertSubjectMsg(msg), 0) << c.label;
            EXPECT_EQ(std::string(msg.common_name), c.cn) << c.label;
        } else {
            EXPECT_LT(holder.GetCertSubjectMsg(msg), 0) << c.label;
            EXPECT_STREQ(msg.common_name, "") << c.label;
        }
    }
    CSslX509 none;
    CertSubjectMsg msg;
    EXPECT_LT(none.GetCertSubjectMsg(msg), 0);
}

TEST(X509, SetCertKeepsItsOwnReference) {
    const CertMaker& certs = Certs();
    CSslX509 a;
    ASSERT_TRUE(Hold(a, certs.server_ip.cert));
    ASSERT_TRUE(Hold(a, certs.server_host.cert));  // replaces, drops the first
    CertSubjectMsg msg;
    ASSERT_EQ(a.GetCertSubjectMsg(msg), 0);
    EXPECT_STREQ(msg.common_name, "corvio.test");
    a.SetCert(nullptr);
    EXPECT_LT(a.GetCertSubjectMsg(msg), 0);
}
