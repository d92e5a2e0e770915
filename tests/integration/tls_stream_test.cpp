// TLS client stream against the scripted loopback server: hand-shake time
// limit, chain and name verification, server name on the wire, client
// certificates, ownership of the TCP stream, end-of-stream and send-retry
// rules.
#include "Sablon/SslStream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "Sablon/SockAddr.h"
#include "Sablon/SockIo.h"
#include "support/CertMaker.h"
#include "support/LoopbackServer.h"
#include "support/TcpListener.h"
#include "support/TlsClient.h"

using namespace Halvex::Sablon;
using corvio_test::CertMaker;
using corvio_test::CloseSocket;
using corvio_test::ConnectionLog;
using corvio_test::ConnectTcp;
using corvio_test::LoopbackServer;
using corvio_test::Script;
using corvio_test::Step;

namespace {

const CertMaker& Certs() {
    const CertMaker& certs = CertMaker::Shared();
    EXPECT_TRUE(certs.Ok()) << certs.Error();
    return certs;
}

LoopbackServer::Options TlsOptions(const CertMaker::Identity& id, int family = 4) {
    LoopbackServer::Options o;
    o.family = family;
    o.tls = true;
    o.cert_file = id.cert;
    o.key_file = id.key;
    o.io_timeout_ms = 3000;
    return o;
}

bool FdOpen(int fd) {
    return Halvex::Sablon::sock_io::watchable(fd);
}

// Reads until `want` bytes arrived or the stream ends or 5 s pass.
std::string RecvFor(CSslStream& tls, size_t want, int* last = nullptr) {
    std::string got;
    char buf[4096];
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int n = 0;
    while (got.size() < want && std::chrono::steady_clock::now() < end) {
        n = tls.Recv(buf, sizeof(buf));
        if (n < 0)
            break;
        if (n == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        else
            got.append(buf, static_cast<size_t>(n));
    }
    if (last)
        *last = n;
    return got;
}

// A hand-shake with the given options; the TLS stream on success.
struct Attempt {
    const CertMaker::Identity* trust_ca = nullptr;  // null: no option 1
    std::string server_name;                        // "": no option 6
    std::string pem;                                // "": no client certificate
    uint32_t timeout_ms = 3000;
};

std::unique_ptr<CSslStream> Handshake(const LoopbackServer& server, const Attempt& a,
                                      CSslX509& ca) {
    std::unique_ptr<CSslStream> tls(new CSslStream());
    if (!a.pem.empty() && tls->SetPemPath(a.pem.c_str()) != 0)
        return nullptr;
    if (!a.server_name.empty())
        EXPECT_EQ(tls->SetOption(CSslStream::OPT_SERVER_NAME, 0,
                                 const_cast<char*>(a.server_name.c_str())),
                  0);
    if (a.trust_ca) {
        EXPECT_EQ(ca.SetTrustCA(a.trust_ca->cert.c_str()), 0);
        EXPECT_EQ(tls->SetOption(CSslStream::OPT_TRUST_CA, 1, &ca), 0);
    }
    uint32_t timeout = a.timeout_ms;
    EXPECT_EQ(tls->SetOption(CSslStream::OPT_TIMEOUT, 0, &timeout), 0);
    CSockStream* tcp = ConnectTcp(server);
    if (!tcp) {
        ADD_FAILURE() << "TCP connect to the loopback server failed";
        return nullptr;
    }
    if (tls->Connect(tcp) != 0) {
        delete tcp;  // a failed hand-shake leaves the TCP stream to the caller
        return nullptr;
    }
    return tls;
}

}  // namespace

// ---- verification: chain, name, server name on the wire --------------------

struct VerifyCase {
    const char* label;
    CertMaker::Identity CertMaker::*server;
    bool trust;               // option 1 with the test CA
    const char* server_name;  // option 6; "" none
    bool ok;                  // hand-shake result
    const char* sni;          // what the server saw
};

class TlsVerify : public ::testing::TestWithParam<VerifyCase> {};

TEST_P(TlsVerify, HandshakeOutcomeAndServerName) {
    const VerifyCase& c = GetParam();
    const CertMaker& certs = Certs();
    LoopbackServer server(TlsOptions(certs.*c.server), {{Step::Handshake(), Step::Sleep(50)}});
    ASSERT_TRUE(server.Ok()) << server.Error();
    Attempt a;
    a.trust_ca = c.trust ? &certs.ca : nullptr;
    a.server_name = c.server_name;
    CSslX509 ca;
    auto tls = Handshake(server, a, ca);
    EXPECT_EQ(tls != nullptr, c.ok);
    tls.reset();  // the server waits for the client's close
    ASSERT_TRUE(server.WaitDone(1, 5000));
    ConnectionLog log = server.Connection(0);
    EXPECT_EQ(log.handshake_done, c.ok) << log.error;
    EXPECT_EQ(log.sni, c.sni);
}

const VerifyCase kVerifyCases[] = {
    {"UntrustedChainFailsWithCA", &CertMaker::server_untrusted, true, "", false, ""},
    {"UntrustedChainPassesWithoutCA", &CertMaker::server_untrusted, false, "", true, ""},
    {"TrustedChain", &CertMaker::server_ip, true, "", true, ""},
    {"RevocationIsNotPartOfTheHandshake", &CertMaker::server_revoked, true, "", true, ""},
    {"HostInSanMatches", &CertMaker::server_host_san, true, "corvio.test", true, "corvio.test"},
    {"SecondSanMatches", &CertMaker::server_host_san, true, "localhost", true, "localhost"},
    {"HostMismatchFails", &CertMaker::server_host_san, true, "other.test", false, "other.test"},
    {"MismatchIgnoredWithoutCA", &CertMaker::server_host_san, false, "other.test", true,
     "other.test"},
    {"CnUsedWhenNoSan", &CertMaker::server_host, true, "corvio.test", true, "corvio.test"},
    {"CnMatchIgnoresCase", &CertMaker::server_host, true, "CORVIO.test", true, "CORVIO.test"},
    {"CnNotUsedWhenSanPresent", &CertMaker::server_host_san, true, "127.0.0.2", false, ""},
    {"IpCnWhenNoSan", &CertMaker::server_ip, true, "127.0.0.1", true, ""},
    {"IpInSan", &CertMaker::server_ip_san, true, "::1", true, ""},
    {"IpMismatch", &CertMaker::server_ip_san, true, "127.0.0.2", false, ""},
    {"IpAgainstHostCn", &CertMaker::server_host, true, "127.0.0.1", false, ""},
};

INSTANTIATE_TEST_SUITE_P(Table, TlsVerify, ::testing::ValuesIn(kVerifyCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(TlsStream, HandshakeToSilentServerEndsWithinTheTimeLimit) {
    const CertMaker& certs = Certs();
    LoopbackServer server(TlsOptions(certs.server_ip), {{Step::Silent(10000)}});
    ASSERT_TRUE(server.Ok()) << server.Error();
    CSslStream tls;
    uint32_t timeout = 300;
    ASSERT_EQ(tls.SetOption(CSslStream::OPT_TIMEOUT, 0, &timeout), 0);
    CSockStream* tcp = ConnectTcp(server);
    ASSERT_NE(tcp, nullptr);
    const int fd = tcp->GetHandle();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_LT(tls.Connect(tcp), 0);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    EXPECT_GE(ms, 250);
    EXPECT_LT(ms, 3000);
    // Failure: the TCP stream is still the caller's and still open.
    EXPECT_EQ(tcp->GetHandle(), fd);
    EXPECT_TRUE(FdOpen(fd));
    EXPECT_EQ(tls.GetHandle(), -1);
    delete tcp;
    EXPECT_FALSE(FdOpen(fd));
}

// ---- ownership of the TCP stream --------------------------------------------

TEST(TlsStream, SuccessTakesTheDescriptorAndReleasesTheTcpStreamOnce) {
    const CertMaker& certs = Certs();
    LoopbackServer server(TlsOptions(certs.server_ip),
                          {{Step::ReadUntil("ping"), Step::Send("pong")}});
    ASSERT_TRUE(server.Ok()) << server.Error();
    int fd;
    {
        CSslStream tls;
        CSockStream* tcp = ConnectTcp(server);
        ASSERT_NE(tcp, nullptr);
        fd = tcp->GetHandle();
        ASSERT_EQ(tls.Connect(tcp), 0);
        // `tcp` is gone (deleting it here would be a double free under ASan).
        EXPECT_EQ(tls.GetHandle(), fd);
        EXPECT_EQ(tls.Send("ping", 4), 4);
        int last = 0;
        EXPECT_EQ(RecvFor(tls, 4, &last), "pong");
        CSockStream* again = ConnectTcp(server);
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(tls.Connect(again), -1) << "a second Connect is refused";
        delete again;  // refused: still the caller's
    }
    EXPECT_FALSE(FdOpen(fd)) << "the TLS stream closes the descriptor it took";
    ASSERT_TRUE(server.WaitDone(1, 5000));
    EXPECT_EQ(server.Connection(0).received, "ping");
}

TEST(TlsStream, DetachedDescriptorOutlivesTheStream) {
    const CertMaker& certs = Certs();
    LoopbackServer server(TlsOptions(certs.server_ip), {{Step::Handshake(), Step::ReadToEof()}});
    ASSERT_TRUE(server.Ok()) << server.Error();
    int fd;
    {
        CSslStream tls;
        ASSERT_EQ(tls.Connect(ConnectTcp(server)), 0);
        fd = tls.Detach();
        ASSERT_GE(fd, 0);
        EXPECT_LT(tls.Recv(nullptr, 0), 0);
        char c;
        EXPECT_LT(tls.Recv(&c, 1), 0) << "no reads once the descriptor is handed out";
    }
    EXPECT_TRUE(FdOpen(fd));
    CloseSocket(fd);
    ASSERT_TRUE(server.WaitDone(1, 5000));
    EXPECT_TRUE(server.Connection(0).peer_closed);
}

// ---- client certificates ------------------------------------------------------

TEST(TlsStream, ClientCertificateAcceptedByAServerThatRequiresOne) {
    const CertMaker& certs = Certs();
    auto opts = TlsOptions(certs.server_ip);
    opts.client_ca_file = certs.ca.cert;
    LoopbackServer server(
        opts, {{Step::Handshake(), Step::Sleep(50)}, {Step::Handshake(), Step::Sleep(50)}});
    ASSERT_TRUE(server.Ok()) << server.Error();
    CSslX509 ca;
    Attempt with_cert;
    with_cert.pem = certs.client.pem;
    EXPECT_NE(Handshake(server, with_cert, ca), nullptr);  // released at once
    ASSERT_TRUE(server.WaitDone(1, 5000));
    EXPECT_EQ(server.Connection(0).client_cn, "corvio-client");

    // Without one the server refuses; TLS 1.3 clients may learn it only at
    // the first read.
    auto tls = Handshake(server, Attempt(), ca);
    if (tls) {
        int last = 0;
        RecvFor(*tls, 1, &last);
        EXPECT_LT(last, 0);
    }
    ASSERT_TRUE(server.WaitDone(2, 5000));
    EXPECT_FALSE(server.Connection(1).handshake_done);
}

class TlsBadPem : public ::testing::TestWithParam<const char*> {};

// A PEM path that cannot be loaded fails at once and keeps the hand-shake
// from running at all: no bytes reach the server.
TEST_P(TlsBadPem, SetPemPathFailsAndConnectIsRefused) {
    const CertMaker& certs = Certs();
    const std::string kind = GetParam();
    std::string path;
    if (kind == "missing")
        path = certs.MissingPath();
    if (kind == "garbage")
        path = certs.WriteFile("garbage.pem", "not a PEM file\n");
    if (kind == "cert-only")
        path = certs.client.cert;
    if (kind == "key-only")
        path = certs.client.key;
    if (kind == "wrong-key")
        path = certs.WriteFile("wrong_key.pem", CertMaker::ReadFile(certs.client.cert) +
                                                    CertMaker::ReadFile(certs.server_ip.key));
    if (kind == "directory")
        path = certs.Dir();
    ASSERT_FALSE(path.empty());

    LoopbackServer server(TlsOptions(certs.server_ip), {{Step::ReadToEof()}});
    ASSERT_TRUE(server.Ok()) << server.Error();
    CSslStream tls;
    EXPECT_LT(tls.SetPemPath(path.c_str()), 0);
    CSockStream* tcp = ConnectTcp(server);
    ASSERT_NE(tcp, nullptr);
    EXPECT_LT(tls.Connect(tcp), 0);
    EXPECT_GE(tcp->GetHandle(), 0);
    delete tcp;
    ASSERT_TRUE(server.WaitDone(1, 5000));
    ConnectionLog log = server.Connection(0);
    EXPECT_EQ(log.received, "");
    EXPECT_FALSE(log.handshake_done);
}

INSTANTIATE_TEST_SUITE_P(Files, TlsBadPem,
                         ::testing::Values("missing", "garbage", "cert-only", "key-only",
                                           "wrong-key", "directory"),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (auto& ch : name)
                                 if (ch == '-')
                                     ch = '_';
                             return name;
                         });

// ---- peer certificate ----------------------------------------------------------

TEST(TlsStream, PeerCertificateGivesTheCommonName) {
    const CertMaker& certs = Certs();
    struct {
        CertMaker::Identity CertMaker::*server;
        const char* cn;
    } cases[] = {{&CertMaker::server_ip, "127.0.0.1"}, {&CertMaker::server_host, "corvio.test"}};
    for (const auto& c : cases) {
        LoopbackServer server(TlsOptions(certs.*c.server), {{Step::Handshake(), Step::Sleep(20)}});
        ASSERT_TRUE(server.Ok()) << server.Error();
        CSslStream tls;
        CSslX509 peer;
        EXPECT_LT(tls.GetPeerCert(peer), 0) << "no peer before the hand-shake";
        ASSERT_EQ(tls.Connect(ConnectTcp(server)), 0);
        ASSERT_EQ(tls.GetPeerCert(peer), 0);
        CertSubjectMsg msg;
        ASSERT_EQ(peer.GetCertSubjectMsg(msg), 0);
        EXPECT_STREQ(msg.common_name, c.cn);
        EXPECT_STREQ(msg.organization, "Corvio Tests");
        EXPECT_STREQ(msg.country, "ZZ");
        // The revocation check works on the peer's certificate too.
        EXPECT_EQ(peer.CheckCertIsRevoked(certs.ca_crl.c_str()), 0);
    }
}

// The largest limit (2^32-1 ms, beyond poll's int) still waits for the
// server instead of giving up at once.
TEST(TlsStream, LargestTimeLimitStillCompletesTheHandshake) {
    const CertMaker& certs = Certs();
    LoopbackServer server(TlsOptions(certs.server_ip), {{Step::Handshake(), Step::Sleep(20)}});
    ASSERT_TRUE(server.Ok()) << server.Error();
    CSslStream tls;
    uint32_t timeout = 0xFFFFFFFFu;
    ASSERT_EQ(tls.SetOption(CSslStream::OPT_TIMEOUT, 0, &timeout), 0);
    EXPECT_EQ(tls.Connect(ConnectTcp(server)), 0);
}

TEST(TlsStream, HandshakeOverIpv6) {
    const CertMaker& certs = Certs();
    LoopbackServer server(TlsOptions(certs.server_ip_san, 6),
                          {{Step::ReadUntil("x"), Step::Send("y")}});
    if (!server.Ok())
        GTEST_SKIP() << "no IPv6 loopback: " << server.Error();
    CSslX509 ca;
    Attempt a;
    a.trust_ca = &certs.ca;
    a.server_name = "::1";
    auto tls = Handshake(server, a, ca);
    ASSERT_NE(tls, nullptr);
    EXPECT_EQ(tls->Send("x", 1), 1);
    EXPECT_EQ(RecvFor(*tls, 1), "y");
}

// ---- reading and writing --------------------------------------------------------

// Recv is 0 only for "nothing now"; every way the stream ends is negative,
// after the bytes that came before it.
TEST(TlsStream, RecvEndsNegativeNeverZero) {
    const CertMaker& certs = Certs();
    struct {
        const char* label;
        Step end;
    } cases[] = {{"close_notify", Step::Close()}, {"reset", Step::Reset()}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        LoopbackServer server(
            TlsOptions(certs.server_ip),
            {{Step::Handshake(), Step::Sleep(100), Step::Send("hello"), Step::Sleep(50), c.end}});
        ASSERT_TRUE(server.Ok()) << server.Error();
        CSslStream tls;
        ASSERT_EQ(tls.Connect(ConnectTcp(server)), 0);
        char buf[64];
        EXPECT_EQ(tls.Recv(buf, sizeof(buf)), 0) << "nothing sent yet";
        int last = 0;
        std::string got = RecvFor(tls, 1000, &last);
        if (std::string(c.label) == "close_notify") {
            EXPECT_EQ(got, "hello");
        }
        EXPECT_LT(last, 0);
        EXPECT_LT(tls.Recv(buf, sizeof(buf)), 0) << "the end is sticky";
        EXPECT_LT(tls.Send("x", 1), 0);
    }
}

// A peer that does not read makes Send give 0; retrying with the same bytes
// (as the contract asks) loses and doubles nothing.
TEST(TlsStream, SendBackPressureAndRetryKeepTheByteStreamExact) {
    const CertMaker& certs = Certs();
    const size_t kTotal = 16u << 20;
    auto opts = TlsOptions(certs.server_ip);
    LoopbackServer server(opts, {{Step::Handshake(), Step::Sleep(300), Step::Read(kTotal)}});
    ASSERT_TRUE(server.Ok()) << server.Error();
    CSslStream tls;
    ASSERT_EQ(tls.Connect(ConnectTcp(server)), 0);
    const std::string data = LoopbackServer::Pattern(0, kTotal);
    size_t sent = 0;
    int zeros = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (sent < kTotal && std::chrono::steady_clock::now() < end) {
        int n = tls.Send(data.data() + sent, static_cast<int>(kTotal - sent));
        ASSERT_GE(n, 0);
        if (n == 0) {
            ++zeros;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        sent += static_cast<size_t>(n);
    }
    EXPECT_EQ(sent, kTotal);
    EXPECT_GT(zeros, 0) << "the peer never pushed back";
    ASSERT_TRUE(server.WaitDone(1, 20000));
    ConnectionLog log = server.Connection(0);
    EXPECT_EQ(log.error, "");
    ASSERT_EQ(log.received.size(), kTotal);
    size_t bad = 0;
    EXPECT_TRUE(LoopbackServer::CheckPattern(log.received.data(), kTotal, 0, &bad))
        << "first difference at " << bad;
}

TEST(TlsStream, ShorterRetryAfterRefusalIsAnError) {
    const CertMaker& certs = Certs();
    LoopbackServer server(TlsOptions(certs.server_ip), {{Step::Handshake(), Step::Silent(5000)}});
    ASSERT_TRUE(server.Ok()) << server.Error();
    CSslStream tls;
    ASSERT_EQ(tls.Connect(ConnectTcp(server)), 0);
    const std::string data(65536, 'z');
    int n = 1;
    for (int i = 0; i < 100000 && n > 0; ++i)
        n = tls.Send(data.data(), (int)data.size());
    ASSERT_EQ(n, 0) << "the socket never filled";
    EXPECT_LT(tls.Send(data.data(), 10), 0);
}

TEST(TlsStream, OptionsRejectBadData) {
    CSslStream tls;
    CSslX509 empty;
    uint32_t zero = 0;
    std::string long_name(256, 'a');
    EXPECT_LT(tls.SetOption(CSslStream::OPT_TRUST_CA, 1, nullptr), 0);
    EXPECT_LT(tls.SetOption(CSslStream::OPT_TRUST_CA, 1, &empty), 0) << "no CA loaded";
    EXPECT_LT(tls.SetOption(CSslStream::OPT_TIMEOUT, 0, nullptr), 0);
    EXPECT_LT(tls.SetOption(CSslStream::OPT_TIMEOUT, 0, &zero), 0);
    EXPECT_LT(tls.SetOption(CSslStream::OPT_SERVER_NAME, 0, nullptr), 0);
    EXPECT_LT(tls.SetOption(CSslStream::OPT_SERVER_NAME, 0, &long_name[0]), 0);
    EXPECT_LT(tls.SetOption(2, 0, nullptr), 0);
    EXPECT_LT(tls.Connect(nullptr), 0);
    char buf[4];
    EXPECT_LT(tls.Recv(buf, 4), 0) << "not connected";
    EXPECT_LT(tls.Send("x", 1), 0) << "not connected";
}
