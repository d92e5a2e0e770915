// Certificate checks of the downloader's TLS connections, as CHttpsOption
// asks: none, trusted CA, common name against the server address,
// revocation lists, server name, client certificate.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "Sablon/SockIo.h"
#include "http_downloader_harness.h"
#include "support/LogCapture.h"
#include "support/TcpListener.h"

using namespace dltest;
using corvio_test::CertMaker;

namespace {

struct TlsCase {
    const char* name;
    const CertMaker::Identity CertMaker::*server;
    std::vector<const CertMaker::Identity CertMaker::*> cas;  // trusted CA certificates
    bool verify_cn;
    std::vector<const CertMaker::Identity CertMaker::*>
        crl_of;  // ca -> ca_crl, other_ca -> other_crl
    bool ok;
    const char* log;              // a message expected besides "ssl connect error!\n"
    const char* cause = nullptr;  // start of the cause line logged before it
};

// A line of level 3 or lower starting with `cause` comes before "ssl connect
// error!\n", so that any program's log tells why the hand-shake failed.
void ExpectCauseFirst(const corvio_test::LogCapture& log, const std::string& cause) {
    const std::vector<corvio_test::LogLine> lines = log.Lines();
    size_t at_cause = lines.size(), at_error = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (at_cause == lines.size() && lines[i].level <= 3 &&
            lines[i].message.compare(0, cause.size(), cause) == 0)
            at_cause = i;
        if (at_error == lines.size() && lines[i].message == "ssl connect error!\n")
            at_error = i;
    }
    EXPECT_LT(at_cause, at_error) << cause;
}

std::string CrlOf(const CertMaker& certs, const CertMaker::Identity CertMaker::*who) {
    return who == &CertMaker::ca ? certs.ca_crl : certs.other_crl;
}

class TlsOptionTest : public ::testing::TestWithParam<TlsCase> {};

TEST_P(TlsOptionTest, Table) {
    const TlsCase& c = GetParam();
    const CertMaker& certs = CertMaker::Shared();
    ASSERT_TRUE(certs.Ok()) << certs.Error();
    corvio_test::LogCapture log(3);
    LoopbackServer server(ServerOptions(true, 4, &(certs.*c.server)),
                          {{Step::ReadUntil("\r\n\r\n"),
                            Step::Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")}});
    ASSERT_TRUE(server.Ok()) << server.Error();
    Session s;
    CHttpsOption option;
    for (auto ca : c.cas)
        option.AddTrustCA((certs.*ca).cert.c_str());
    for (auto who : c.crl_of)
        option.AddCRL(CrlOf(certs, who).c_str());
    option.SetVerifyCN(c.verify_cn);
    s.dl->SetHttpsOption(&option);
    ASSERT_EQ(s.Start(server, "/", true), 0);
    ASSERT_TRUE(s.WaitEnds(1));
    EXPECT_EQ(s.owner->Ends(), 1);
    if (c.ok) {
        EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_NONE);
        EXPECT_EQ(s.Body(), "ok");
        EXPECT_TRUE(log.Messages().empty());
    } else {
        EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_CONNECT);
        EXPECT_EQ(s.dl->GetResult(), nullptr);
        EXPECT_TRUE(log.Has("ssl connect error!\n", 3));
        if (c.log != nullptr)
            EXPECT_TRUE(log.Has(c.log)) << c.log;
        if (c.cause != nullptr)
            ExpectCauseFirst(log, c.cause);
    }
}

const TlsCase kTlsCases[] = {
    {"none_accepts_untrusted", &CertMaker::server_untrusted, {}, false, {}, true, nullptr},
    {"ca_accepts", &CertMaker::server_ip_san, {&CertMaker::ca}, false, {}, true, nullptr},
    {"ca_rejects_other_chain",
     &CertMaker::server_untrusted,
     {&CertMaker::ca},
     false,
     {},
     false,
     nullptr,
     "TLS: certificate not verified: unable to get local issuer certificate\n"},
    {"two_cas",
     &CertMaker::server_untrusted,
     {&CertMaker::ca, &CertMaker::other_ca},
     false,
     {},
     true,
     nullptr},
    {"cn_is_address", &CertMaker::server_ip, {}, true, {}, true, nullptr},
    {"cn_is_host_name",
     &CertMaker::server_host,
     {},
     true,
     {},
     false,
     "cert's CN verify failed!\n",
     "TLS: certificate common name 'corvio.test' does not match the server address 127.0.0.1\n"},
    {"crl_revoked",
     &CertMaker::server_revoked,
     {},
     false,
     {&CertMaker::ca},
     false,
     "cert check failed, checkResult: 1!\n",
     "TLS: certificate revoked by "},
    {"crl_not_revoked", &CertMaker::server_ip, {}, false, {&CertMaker::ca}, true, nullptr},
    {"crl_of_other_issuer",
     &CertMaker::server_ip,
     {},
     false,
     {&CertMaker::other_ca},
     true,
     nullptr},
    {"crl_two_lists",
     &CertMaker::server_revoked,
     {},
     false,
     {&CertMaker::ca, &CertMaker::other_ca},
     false,
     "cert check failed, checkResult: 1!\n",
     "TLS: certificate revoked by "},
    {"all_checks", &CertMaker::server_ip, {&CertMaker::ca}, true, {&CertMaker::ca}, true, nullptr},
};

INSTANTIATE_TEST_SUITE_P(Options, TlsOptionTest, ::testing::ValuesIn(kTlsCases),
                         [](const ::testing::TestParamInfo<TlsCase>& i) { return i.param.name; });

TEST(Tls, UnreadableFilesFailTheHandshake) {
    const CertMaker& certs = CertMaker::Shared();
    ASSERT_TRUE(certs.Ok()) << certs.Error();
    struct Case {
        const char* name;
        bool missing_ca;
        bool missing_crl;
        bool missing_pem;
        std::string log;
        std::string cause;
    };
    const Case cases[] = {
        {"ca", true, false, false, "SetTrustCA failed!\n",
         "TLS: CA file not accepted: " + certs.MissingPath() + "\n"},
        {"crl", false, true, false, "cert check failed, checkResult: -2!\n",
         "TLS: revocation list " + certs.MissingPath() + " cannot be read\n"},
        {"pem", false, false, true, "SetPemPath failed, path: " + certs.MissingPath() + "\n",
         "TLS: client certificate not loadable from " + certs.MissingPath() +
             ": cannot open the file\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        corvio_test::LogCapture log(3);
        LoopbackServer server(ServerOptions(true),
                              {{Step::ReadUntil("\r\n\r\n"),
                                Step::Send("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")}});
        Session s;
        CHttpsOption option;
        if (c.missing_ca)
            option.AddTrustCA(certs.MissingPath().c_str());
        if (c.missing_crl)
            option.AddCRL(certs.MissingPath().c_str());
        s.dl->SetHttpsOption(&option);
        ASSERT_EQ(s.Start(server, "/", true, c.missing_pem ? certs.MissingPath().c_str() : ""), 0);
        ASSERT_TRUE(s.WaitEnds(1));
        EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_CONNECT);
        EXPECT_TRUE(log.Has(c.log, 2)) << c.log;
        EXPECT_TRUE(log.Has("ssl connect error!\n", 3));
        ExpectCauseFirst(log, c.cause);
    }
}

// Server name and client certificate reach the server; the options are
// copied when set, so later changes to the caller's object do not count.
TEST(Tls, ServerNameAndClientCertificate) {
    const CertMaker& certs = CertMaker::Shared();
    ASSERT_TRUE(certs.Ok()) << certs.Error();
    LoopbackServer::Options opts = ServerOptions(true, 4, &certs.server_host_san);
    opts.client_ca_file = certs.ca.cert;
    LoopbackServer server(opts, {{Step::ReadUntil("\r\n\r\n"),
                                  Step::Send("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")}});
    ASSERT_TRUE(server.Ok()) << server.Error();
    Session s;
    CHttpsOption option;
    option.AddTrustCA(certs.ca.cert.c_str());
    option.SetSslOption6Text("localhost");
    s.dl->SetHttpsOption(&option);
    option.SetSslOption6Text("elsewhere.test");
    option.SetVerifyCN(true);
    s.dl->SetHttpsOption(nullptr);
    ASSERT_EQ(s.Start(server, "/", true, certs.client.pem.c_str()), 0);
    ASSERT_TRUE(s.WaitEnds(1));
    EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_NONE);
    server.Stop();
    EXPECT_EQ(server.Connection(0).sni, "localhost");
    EXPECT_EQ(server.Connection(0).client_cn, "corvio-client");
}

TEST(Tls, ServerNameMismatchWithTrustedCa) {
    const CertMaker& certs = CertMaker::Shared();
    corvio_test::LogCapture log(3);
    LoopbackServer server(ServerOptions(true, 4, &certs.server_host_san),
                          {{Step::ReadUntil("\r\n\r\n"), Step::Send("HTTP/1.1 200 OK\r\n\r\n")}});
    Session s;
    CHttpsOption option;
    option.AddTrustCA(certs.ca.cert.c_str());
    option.SetSslOption6Text("elsewhere.test");
    s.dl->SetHttpsOption(&option);
    ASSERT_EQ(s.Start(server, "/", true), 0);
    ASSERT_TRUE(s.WaitEnds(1));
    EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_CONNECT);
    ExpectCauseFirst(log, "TLS: certificate not verified: hostname mismatch\n");
}

// A TCP relay to a loopback TLS server that hands the server's bytes to the
// client one at a time, each in a segment of its own after a pause, and
// hands none on after `limit` bytes (the connection then stays open).
class TrickleRelay {
public:
    TrickleRelay(unsigned short server_port, size_t limit)
        : m_limit(limit), m_thread([this, server_port] { Run(server_port); }) {}
    ~TrickleRelay() {
        m_stop = true;
        m_thread.join();
    }
    unsigned short Port() const { return m_listener.Port(); }

private:
    void Run(unsigned short server_port) {
        const int client = m_listener.Accept(3000);
        const int server = client < 0 ? -1 : corvio_test::TcpConnect(4, server_port);
        namespace sock_io = Halvex::Sablon::sock_io;
        const int one = 1;
        if (client >= 0)
            setsockopt(client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                       sizeof(one));
        for (size_t sent = 0; client >= 0 && server >= 0 && !m_stop;) {
            const bool want_server = sent < m_limit;
            short from_client = 0, from_server = 0;
            if (want_server && sock_io::poll_one(server, POLLIN, 5, &from_server) < 0)
                break;
            if (sock_io::poll_one(client, POLLIN, want_server ? 0 : 5, &from_client) < 0)
                break;
            char buf[4096];
            if (from_client != 0) {
                const long n = static_cast<long>(sock_io::recv_some(client, buf, sizeof(buf)));
                if (n <= 0 || !corvio_test::WriteAll(server, buf, n))
                    break;
            }
            if (from_server != 0) {
                if (sock_io::recv_some(server, buf, 1) != 1 ||
                    sock_io::send_some(client, buf, 1) != 1)
                    break;
                ++sent;
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        }
        if (server >= 0)
            corvio_test::CloseSocket(server);
        if (client >= 0)
            corvio_test::CloseSocket(client);
    }

    corvio_test::TcpListener m_listener;
    size_t m_limit;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// The hand-shake advances with every byte the peer sends: trickled whole it
// completes; stopped half way, its deadline (from its start) ends it.
TEST(Tls, HandshakeFromBytesOneAtATime) {
    LoopbackServer::Options opts = ServerOptions(true);
    opts.repeat_last = true;
    LoopbackServer server(opts, {{Step::ReadUntil("\r\n\r\n"),
                                  Step::Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")}});
    ASSERT_TRUE(server.Ok()) << server.Error();
    for (const size_t limit : {SIZE_MAX, size_t{400}}) {
        const bool whole = limit == SIZE_MAX;
        SCOPED_TRACE(whole ? "whole" : "half way");
        corvio_test::LogCapture log(3);
        TrickleRelay relay(server.Port(), limit);
        Session s;
        s.dl->SetTimeout(whole ? 8000000 : 500000);
        const std::string url = "http://127.0.0.1:" + std::to_string(relay.Port()) + "/";
        ASSERT_EQ(s.dl->InitUseSsl(url.c_str(), ""), 0);
        ASSERT_TRUE(s.WaitEnds(1, 10000));
        if (whole) {
            EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_NONE);
            EXPECT_EQ(s.Body(), "ok");
        } else {
            EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_CONNECT);
            ExpectCauseFirst(log, "TLS: hand-shake timed out after 500 ms\n");
        }
    }
}

}  // namespace
