// The answer to a 401 challenge: Basic and Digest (qop auth, auth-int, none;
// MD5 and MD5-sess) on the same connection and on a new one, over TCP and
// TLS; the one-retry and preemptive-Basic rules; Authentication-Info.
#include <gtest/gtest.h>

#include <string>

#include "http_downloader_harness.h"
#include "support/FailAlloc.h"
#include "support/LogCapture.h"

using namespace dltest;

namespace {

const std::string kUser = "user";
const std::string kPass = "pa:ss";
const Step kReadHeader = Step::ReadUntil("\r\n\r\n");

// With a body, which must never reach a body sink when the 401 is answered.
std::string Unauthorized(const std::string& challenge, const std::string& extra = "") {
    return "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: " + challenge + "\r\n" + extra +
           "Content-Length: 6\r\n\r\ndenied";
}

const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

struct AuthCase {
    const char* name;
    const char* qop;        // "" none
    const char* algorithm;  // "" none, "MD5", "MD5-sess"; "basic" for Basic
};

const AuthCase kAuthCases[] = {
    {"basic", "", "basic"},
    {"digest_none", "", ""},
    {"digest_auth", "auth", ""},
    {"digest_auth_int", "auth-int", "MD5"},
    {"digest_sess_auth", "auth", "MD5-sess"},
    {"digest_sess_auth_int", "auth-int", "MD5-sess"},
    {"digest_sess_none", "", "MD5-sess"},
};

std::string ChallengeOf(const AuthCase& c) {
    if (std::string(c.algorithm) == "basic")
        return "Basic realm=\"r\"";
    std::string challenge = "Digest realm=\"r\", nonce=\"n1\", opaque=\"o\"";
    if (*c.qop)
        challenge += std::string(", qop=\"") + c.qop + "\"";
    if (*c.algorithm)
        challenge += std::string(", algorithm=") + c.algorithm;
    return challenge;
}

// Checks that `sent` is `request` with one Authorization line added before
// the blank line, and that the line answers the case's challenge.
void CheckRetried(const AuthCase& c, const std::string& request, const std::string& sent,
                  const std::string& method, const std::string& uri, const std::string& body) {
    const std::string value = AuthorizationOf(sent);
    const size_t blank = request.find("\r\n\r\n");
    EXPECT_EQ(sent, request.substr(0, blank + 2) + "Authorization: " + value + "\r\n" +
                        request.substr(blank + 2));
    if (std::string(c.algorithm) == "basic") {
        EXPECT_EQ(value, "Basic dXNlcjpwYTpzcw==");
    } else {
        EXPECT_EQ(
            CheckDigest(value, kUser, kPass, "r", "n1", c.qop, c.algorithm, method, uri, body), "");
    }
}

struct PathParam {
    bool tls;
    bool same_connection;
    bool stream;
};

class RetryTest : public ::testing::TestWithParam<PathParam> {};

TEST_P(RetryTest, AnswersChallengeOnce) {
    const PathParam p = GetParam();
    const std::string body = "payload";
    const std::string request =
        "POST /r?q=1 HTTP/1.1\r\nHost: x\r\nContent-Length: 7\r\n\r\n" + body;
    for (const AuthCase& c : kAuthCases) {
        SCOPED_TRACE(c.name);
        const std::string challenge = ChallengeOf(c);
        std::vector<Script> scripts;
        if (p.same_connection) {
            scripts = {{kReadHeader, Step::Read(7), Step::Send(Unauthorized(challenge)),
                        kReadHeader, Step::Read(7), Step::Send(kOk)}};
        } else {
            scripts = {
                {kReadHeader, Step::Read(7), Step::Send(Unauthorized(challenge)), Step::Close()},
                {kReadHeader, Step::Read(7), Step::Send(kOk)}};
        }
        LoopbackServer server(ServerOptions(p.tls), scripts);
        ASSERT_TRUE(server.Ok()) << server.Error();
        Session s(p.stream);
        s.dl->SetKeepAliveMode(p.same_connection);
        s.dl->SetAuthInfo(kUser, kPass);
        ASSERT_EQ(s.StartRequest(server, request, p.tls), 0);
        ASSERT_TRUE(s.WaitEnds(1));
        EXPECT_EQ(s.owner->Ends(), 1);
        EXPECT_EQ(s.owner->From().at(0), s.dl->GetID());
        EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_NONE);
        EXPECT_EQ(s.Status(), 200);
        EXPECT_EQ(s.Body(), "ok");
        EXPECT_EQ(s.sink.headers, p.stream ? 1 : 0);
        EXPECT_EQ(s.dl->GetTotalContentSize(), 2);
        EXPECT_EQ(s.dl->GetCurrentContentSize(), 2);
        EXPECT_EQ(s.dl->GetWWWAuthenticate(), challenge);
        server.Stop();
        if (p.same_connection) {
            EXPECT_EQ(server.Accepted(), 1u);
            const std::string all = server.Connection(0).received;
            ASSERT_EQ(all.compare(0, request.size(), request), 0);
            CheckRetried(c, request, all.substr(request.size()), "POST", "/r?q=1", body);
        } else {
            EXPECT_EQ(server.Accepted(), 2u);
            EXPECT_EQ(server.Connection(0).received, request);
            CheckRetried(c, request, server.Connection(1).received, "POST", "/r?q=1", body);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RetryTest,
    ::testing::Values(PathParam{false, true, false}, PathParam{false, false, false},
                      PathParam{true, true, false}, PathParam{true, false, false},
                      PathParam{false, true, true}, PathParam{false, false, true},
                      PathParam{true, false, true}),
    [](const ::testing::TestParamInfo<PathParam>& i) {
        return std::string(i.param.tls ? "tls" : "tcp") +
               (i.param.same_connection ? "_same" : "_new") + (i.param.stream ? "_stream" : "");
    });

const std::string kDigest = "Digest realm=\"r\", nonce=\"n1\", qop=\"auth\"";
const std::string kGet = "GET /g HTTP/1.1\r\nHost: x\r\n\r\n";

TEST(Retry, SecondUnauthorizedIsFinal) {
    LoopbackServer server(ServerOptions(false),
                          {{kReadHeader, Step::Send(Unauthorized(kDigest)), Step::Close()},
                           {kReadHeader, Step::Send(Unauthorized(kDigest)), Step::Close()},
                           {kReadHeader, Step::Send(kOk)}});
    Session s;
    s.dl->SetAuthInfo(kUser, kPass);
    ASSERT_EQ(s.StartRequest(server, kGet, false), 0);
    ASSERT_TRUE(s.WaitEnds(1));
    EXPECT_EQ(s.owner->Ends(), 1);
    EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_NONE);
    EXPECT_EQ(s.Status(), 401);
    EXPECT_EQ(server.Accepted(), 2u);
}

// Out of memory while the retry is prepared on the reactor thread (the copy
// of the challenge fails): the download ends as a transfer failure with a
// level 2 line, and the process lives on.
TEST(Retry, OutOfMemoryInTheRetryIsATransferFailure) {
    const std::string challenge = kDigest + ", opaque=\"" + std::string(30, 'o') + "\"";
    LoopbackServer server(ServerOptions(false),
                          {{kReadHeader, Step::Send(Unauthorized(challenge)), Step::Sleep(300)}});
    corvio_test::LogCapture log(2);
    Session s;
    s.dl->SetAuthInfo(kUser, kPass);
    {
        corvio_test::FailAllocations refuse(challenge.size() + 1, true);
        ASSERT_EQ(s.StartRequest(server, kGet, false), 0);
        ASSERT_TRUE(s.WaitEnds(1));
    }
    EXPECT_EQ(s.owner->Ends(), 1);
    EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_TRANSFER);
    EXPECT_TRUE(log.Has("out of memory, the download ends\n", 2));
    EXPECT_EQ(server.Accepted(), 1u);
}

// The one retry is per downloader: a later kept-alive request answered by
// 401 is not retried.
TEST(Retry, OneRetryAcrossKeptAliveRequests) {
    LoopbackServer server(
        ServerOptions(false),
        {{kReadHeader, Step::Send(Unauthorized(kDigest)), kReadHeader, Step::Send(kOk), kReadHeader,
          Step::Send(Unauthorized(kDigest)), Step::Sleep(300)}});
    Session s;
    s.dl->SetKeepAliveMode(true);
    s.dl->SetAuthInfo(kUser, kPass);
    ASSERT_EQ(s.StartRequest(server, kGet, false), 0);
    ASSERT_TRUE(s.WaitEnds(1));
    EXPECT_EQ(s.Status(), 200);
    ASSERT_EQ(s.dl->SendRequest(kGet.data(), static_cast<int>(kGet.size())), 0);
    ASSERT_TRUE(s.WaitEnds(2));
    EXPECT_EQ(s.owner->Ends(), 2);
    EXPECT_EQ(s.Status(), 401);
    server.Stop();
    const std::string all = server.Connection(0).received;
    EXPECT_EQ(all.substr(all.size() - kGet.size()), kGet);
}

// In keep-alive mode a 401 that the server ends by closing the connection is
// retried on a new connection, whether the answer said so or not.
TEST(Retry, KeepAliveUnauthorizedEndedByClose) {
    for (bool tls : {false, true}) {
        const std::vector<std::pair<const char*, std::string>> answers = {
            {"until close",
             "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: " + kDigest + "\r\n\r\ndenied"},
            {"connection close", Unauthorized(kDigest, "Connection: close\r\n")},
            {"http/1.0", "HTTP/1.0" + Unauthorized(kDigest).substr(8)},
            {"closed unannounced", Unauthorized(kDigest)},
        };
        for (const auto& a : answers) {
            SCOPED_TRACE(a.first);
            LoopbackServer server(ServerOptions(tls),
                                  {{kReadHeader, Step::Send(a.second), Step::Close()},
                                   {kReadHeader, Step::Send(kOk)}});
            Session s;
            s.dl->SetKeepAliveMode(true);
            s.dl->SetAuthInfo(kUser, kPass);
            ASSERT_EQ(s.StartRequest(server, kGet, tls), 0);
            ASSERT_TRUE(s.WaitEnds(1));
            EXPECT_EQ(s.owner->Ends(), 1);
            EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_NONE);
            EXPECT_EQ(s.Status(), 200);
            server.Stop();
            EXPECT_EQ(server.Accepted(), 2u);
            EXPECT_EQ(CheckDigest(AuthorizationOf(server.Connection(1).received), kUser, kPass, "r",
                                  "n1", "auth", "", "GET", "/g", ""),
                      "");
        }
    }
}

TEST(Retry, PreemptiveBasicMeetsBasicChallenge) {
    corvio_test::LogCapture log(3);
    LoopbackServer server(ServerOptions(false),
                          {{kReadHeader, Step::Send(Unauthorized("Basic realm=\"r\""))},
                           {kReadHeader, Step::Send(kOk)}});
    Session s;
    s.dl->SetAuthInfo(kUser, kPass);
    ASSERT_EQ(s.Start(server, "/b", false), 0);
    ASSERT_TRUE(s.WaitEnds(1));
    EXPECT_EQ(s.Status(), 401);
    EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_NONE);
    EXPECT_TRUE(log.Has("basic auth failed, not retry, maybe password wrong!\n", 3));
    EXPECT_EQ(server.Accepted(), 1u);
}

// A realm that mentions Basic does not make a Digest challenge a Basic one.
TEST(Retry, PreemptiveBasicMeetsDigestChallenge) {
    const std::string challenge = "Digest realm=\"Basic Area\", nonce=\"n1\"";
    LoopbackServer server(ServerOptions(false), {{kReadHeader, Step::Send(Unauthorized(challenge))},
                                                 {kReadHeader, Step::Send(kOk)}});
    Session s;
    s.dl->SetAuthInfo(kUser, kPass);
    ASSERT_EQ(s.Start(server, "/b", false), 0);
    ASSERT_TRUE(s.WaitEnds(1));
    EXPECT_EQ(s.Status(), 200);
    server.Stop();
    const std::string sent = server.Connection(1).received;
    EXPECT_EQ(CheckDigest(AuthorizationOf(sent), kUser, kPass, "Basic Area", "n1", "", "", "GET",
                          "/b", ""),
              "");
    EXPECT_EQ(sent.find("Basic dX"), std::string::npos);
    EXPECT_EQ(sent.find("Authorization"), sent.rfind("Authorization"));
}

TEST(Retry, NoRetryWithoutChallengeOrCredentials) {
    struct Case {
        const char* name;
        std::string answer;
        const char* user;
        const char* password;
    };
    const Case cases[] = {
        {"no challenge", "HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n\r\n", "u", "p"},
        {"no password", Unauthorized(kDigest), "u", ""},
        {"no user", Unauthorized(kDigest), "", "p"},
        {"not 401",
         "HTTP/1.1 403 Forbidden\r\nWWW-Authenticate: " + kDigest + "\r\nContent-Length: 0\r\n\r\n",
         "u", "p"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackServer server(ServerOptions(false), {{kReadHeader, Step::Send(c.answer)},
                                                     {kReadHeader, Step::Send(kOk)}});
        Session s;
        s.dl->SetAuthInfo(c.user, c.password);
        ASSERT_EQ(s.StartRequest(server, kGet, false), 0);
        ASSERT_TRUE(s.WaitEnds(1));
        EXPECT_NE(s.Status(), 200);
        EXPECT_EQ(server.Accepted(), 1u);
    }
}

// Authentication-Info refreshes the kept challenge (qop as a token is kept
// as a quoted value), and a later downloader authenticates its first
// request with it.
TEST(Retry, AuthenticationInfoRefreshesKeptChallenge) {
    const std::string challenge = "Digest realm=\"r\", nonce=\"n1\", qop=\"auth\"";
    const std::string ok_info =
        "HTTP/1.1 200 OK\r\nAuthentication-Info: nextnonce=\"n2\", qop=auth, "
        "rspauth=\"x\", cnonce=\"c\", nc=00000001\r\nContent-Length: 2\r\n\r\nok";
    LoopbackServer server(ServerOptions(false), {{kReadHeader, Step::Send(Unauthorized(challenge))},
                                                 {kReadHeader, Step::Send(ok_info)},
                                                 {kReadHeader, Step::Send(kOk)}});
    std::string kept;
    {
        Session s;
        s.dl->SetAuthInfo(kUser, kPass);
        ASSERT_EQ(s.StartRequest(server, kGet, false), 0);
        ASSERT_TRUE(s.WaitEnds(1));
        EXPECT_EQ(s.Status(), 200);
        kept = s.dl->GetWWWAuthenticate();
    }
    EXPECT_EQ(kept, "Digest nonce=\"n2\", qop=\"auth\", realm=\"r\"");
    {
        Session s;
        s.dl->SetAuthInfo(kUser, kPass);
        s.dl->SetWWWAuthenticate(kept.c_str());
        s.dl->SetWWWAuthenticate(nullptr);
        const std::string req = "GET /next HTTP/1.1\r\nHost: x\r\n\r\n";
        ASSERT_EQ(s.StartRequest(server, req, false), 0);
        ASSERT_TRUE(s.WaitEnds(1));
        EXPECT_EQ(s.Status(), 200);
    }
    server.Stop();
    EXPECT_EQ(CheckDigest(AuthorizationOf(server.Connection(2).received), kUser, kPass, "r", "n2",
                          "auth", "", "GET", "/next", ""),
              "");
}

// The retry over TLS verifies the server and presents the client certificate
// as the first connection did.
TEST(Retry, TlsRetryKeepsOptionsAndClientCertificate) {
    const auto& certs = corvio_test::CertMaker::Shared();
    ASSERT_TRUE(certs.Ok()) << certs.Error();
    LoopbackServer::Options opts = ServerOptions(true, 4, &certs.server_host_san);
    opts.client_ca_file = certs.ca.cert;
    LoopbackServer server(opts, {{kReadHeader, Step::Send(Unauthorized(kDigest)), Step::Close()},
                                 {kReadHeader, Step::Send(kOk)}});
    ASSERT_TRUE(server.Ok()) << server.Error();
    Session s;
    CHttpsOption option;
    option.AddTrustCA(certs.ca.cert.c_str());
    option.SetSslOption6Text("localhost");
    s.dl->SetHttpsOption(&option);
    s.dl->SetAuthInfo(kUser, kPass);
    ASSERT_EQ(s.StartRequest(server, kGet, true, certs.client.pem.c_str()), 0);
    ASSERT_TRUE(s.WaitEnds(1));
    EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_NONE);
    EXPECT_EQ(s.Status(), 200);
    server.Stop();
    ASSERT_EQ(server.Accepted(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(server.Connection(i).client_cn, "corvio-client") << i;
        EXPECT_EQ(server.Connection(i).sni, "localhost") << i;
    }
}

}  // namespace
