// The built corvio-get (CORVIO_BIN_DIR) against scripted loopback servers:
// exit statuses, what it writes to stdout and stderr, and the request bytes
// it sends.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "support/CertMaker.h"
#include "support/LoopbackServer.h"
#include "support/TcpListener.h"

using corvio_test::CertMaker;
using corvio_test::LoopbackServer;
using corvio_test::Script;
using corvio_test::Step;

namespace {

struct GetRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string Quote(const std::string& arg) {
    std::string q = "'";
    for (char c : arg)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs corvio-get with `args` (each quoted), bounded by 20 s.
GetRun CorvioGet(const std::vector<std::string>& args) {
    GetRun run;
    const char* bin = std::getenv("CORVIO_BIN_DIR");
    if (!bin) {
        run.err = "CORVIO_BIN_DIR is not set";
        return run;
    }
    const CertMaker& certs = CertMaker::Shared();
    const std::string out = certs.Dir() + "/get.out";
    const std::string err = certs.Dir() + "/get.err";
    std::string cmd = "timeout 20 " + Quote(std::string(bin) + "/corvio-get");
    for (const std::string& a : args)
        cmd += " " + Quote(a);
    cmd += " >" + Quote(out) + " 2>" + Quote(err) + " </dev/null";
    const int raw = std::system(cmd.c_str());
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    run.out = CertMaker::ReadFile(out);
    run.err = CertMaker::ReadFile(err);
    return run;
}

int Lines(const std::string& text) {
    int n = 0;
    for (char c : text)
        n += c == '\n';
    return n;
}

LoopbackServer::Options Opts(const CertMaker::Identity* tls = nullptr) {
    LoopbackServer::Options o;
    o.io_timeout_ms = 3000;
    o.linger_ms = 200;
    if (tls) {
        o.tls = true;
        o.cert_file = tls->cert;
        o.key_file = tls->key;
    }
    return o;
}

const char kEnd[] = "\r\n\r\n";
const std::string k200 = "HTTP/1.1 200 OK\r\nContent-Length: 6\r\nX-Srv: a\r\n\r\nhello\n";
const std::string k404 = "HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\ngone";

// TLS_OTHER_NAME: a certificate of the trusted CA issued to another name.
enum Server { NONE, REFUSED, PLAIN, TLS_TRUSTED, TLS_UNTRUSTED, TLS_OTHER_NAME };

struct GetCase {
    const char* name;
    Server server;
    Script script;
    std::vector<std::string> args;  // "@URL" is replaced by the server's URL + /x
    int status;
    const char* out;      // exact stdout; nullptr: not checked
    const char* err;      // substring of the one stderr line; "" : stderr empty
    const char* request;  // substring of the first request received; nullptr: none
};

void PrintTo(const GetCase& c, std::ostream* os) {
    *os << c.name;
}

class CorvioGetCase : public ::testing::TestWithParam<GetCase> {};

TEST_P(CorvioGetCase, ExitStatusOutputAndRequest) {
    const GetCase& c = GetParam();
    const CertMaker& certs = CertMaker::Shared();
    ASSERT_TRUE(certs.Ok()) << certs.Error();
    std::unique_ptr<LoopbackServer> server;
    std::string url;
    if (c.server == REFUSED) {
        url = "http://127.0.0.1:" + std::to_string(corvio_test::TcpListener::ClosedPort()) + "/x";
    } else if (c.server != NONE) {
        const CertMaker::Identity* id = c.server == TLS_TRUSTED      ? &certs.server_ip_san
                                        : c.server == TLS_UNTRUSTED  ? &certs.server_untrusted
                                        : c.server == TLS_OTHER_NAME ? &certs.server_host
                                                                     : nullptr;
        server.reset(new LoopbackServer(Opts(id), {c.script}));
        ASSERT_TRUE(server->Ok()) << server->Error();
        url = std::string(id ? "https" : "http") +
              "://127.0.0.1:" + std::to_string(server->Port()) + "/x";
    }
    std::vector<std::string> args;
    for (const std::string& a : c.args) {
        if (a == "@URL")
            args.push_back(url);
        else if (a == "@CA")
            args.push_back(certs.ca.cert);
        else
            args.push_back(a);
    }
    const GetRun run = CorvioGet(args);
    EXPECT_EQ(run.status, c.status) << run.err;
    if (c.out)
        EXPECT_EQ(run.out, c.out);
    if (*c.err == '\0') {
        EXPECT_EQ(run.err, "");
    } else {
        EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
        EXPECT_EQ(run.err.rfind("corvio-get: ", 0), 0u) << run.err;
        EXPECT_EQ(Lines(run.err), 1) << run.err;
    }
    if (c.request) {
        ASSERT_TRUE(server && server->WaitDone(1, 3000));
        const std::string got = server->Connection(0).received;
        EXPECT_NE(got.find(c.request), std::string::npos) << got;
    }
}

std::vector<GetCase> Cases() {
    const Script ok = {Step::ReadUntil(kEnd), Step::Send(k200)};
    const Script basic401 = {Step::ReadUntil(kEnd),
                             Step::Send("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic "
                                        "realm=\"r\"\r\nContent-Length: 2\r\n\r\nno")};
    const std::string kHa1 = "0123456789abcdef0123456789ABCDEF";
    return {
        {"PlainUrl",
         PLAIN,
         ok,
         {"@URL"},
         0,
         "hello\n",
         "",
         "GET /x HTTP/1.1\r\nAccept: */*\r\nHost: 127.0.0.1:"},
        {"IncludeHeader",
         PLAIN,
         ok,
         {"-i", "@URL"},
         0,
         "HTTP/1.1 200 OK\r\nContent-Length: 6\r\nX-Srv: a\r\n\r\nhello\n",
         "",
         nullptr},
        {"Head",
         PLAIN,
         {Step::ReadUntil(kEnd), Step::Send("HTTP/1.1 200 OK\r\nContent-Length: 99\r\n\r\n")},
         {"-I", "@URL"},
         0,
         "HTTP/1.1 200 OK\r\nContent-Length: 99\r\n\r\n",
         "",
         "HEAD /x HTTP/1.1\r\n"},
        {"BuiltRequest",
         PLAIN,
         {Step::ReadUntil("\r\n\r\nabc"), Step::Send(k200)},
         {"-X", "PUT", "-H", "X-Test: 1", "-d", "abc", "@URL"},
         0,
         "hello\n",
         "",
         "X-Test: 1\r\n\r\nabc"},
        {"DataMeansPost",
         PLAIN,
         {Step::ReadUntil("\r\n\r\nk=v"), Step::Send(k200)},
         {"-d", "k=v", "@URL"},
         0,
         "hello\n",
         "",
         "POST /x HTTP/1.1\r\n"},
        {"NotFoundIsAnAnswer",
         PLAIN,
         {Step::ReadUntil(kEnd), Step::Send(k404)},
         {"@URL"},
         0,
         "gone",
         "",
         nullptr},
        {"NotFoundWithFail",
         PLAIN,
         {Step::ReadUntil(kEnd), Step::Send(k404)},
         {"--fail", "@URL"},
         22,
         "",
         "the server answered 404 Not Found",
         nullptr},
        {"Refused", REFUSED, {}, {"@URL"}, 7, "", "failed", nullptr},
        {"SilentServer",
         PLAIN,
         {Step::Silent(2000)},
         {"--timeout", "300", "@URL"},
         56,
         "",
         "no complete answer",
         nullptr},
        {"HeaderCut",
         PLAIN,
         {Step::ReadUntil(kEnd), Step::Send("HTTP/1.1 200 OK\r\nCon")},
         {"@URL"},
         56,
         "",
         "no complete answer",
         nullptr},
        // What arrived was written out as it came; the line counts it.
        {"BodyCutShort",
         PLAIN,
         {Step::ReadUntil(kEnd), Step::Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc"),
          Step::Close()},
         {"@URL"},
         56,
         "abc",
         "(3 body bytes arrived)",
         nullptr},
        {"BadScheme", NONE, {}, {"ftp://127.0.0.1/x"}, 3, "", "URL", nullptr},
        {"BadPort", NONE, {}, {"http://127.0.0.1:99999/x"}, 3, "", "URL", nullptr},
        {"UnclosedBracket", NONE, {}, {"http://[::1/x"}, 3, "", "URL", nullptr},
        {"NoUrl", NONE, {}, {"-i"}, 2, "", "no URL", nullptr},
        {"UnknownOption", NONE, {}, {"--nope", "http://127.0.0.1/"}, 2, "", "--nope", nullptr},
        {"UnknownMethod", NONE, {}, {"-X", "BREW", "http://127.0.0.1/"}, 2, "", "BREW", nullptr},
        {"BadHeader", NONE, {}, {"-H", "NoColon", "http://127.0.0.1/"}, 2, "", "NoColon", nullptr},
        {"TlsTrustedCa", TLS_TRUSTED, ok, {"--cacert", "@CA", "@URL"}, 0, "hello\n", "", nullptr},
        // A TLS failure line names its cause.
        {"TlsUntrustedRefused",
         TLS_UNTRUSTED,
         ok,
         {"--cacert", "@CA", "@URL"},
         7,
         "",
         "(TLS: certificate not verified: unable to get local issuer certificate)",
         nullptr},
        {"TlsSilentTimesOut",
         TLS_TRUSTED,
         {Step::Silent(2000)},
         {"-k", "--timeout", "300", "@URL"},
         7,
         "",
         "(TLS: hand-shake timed out after 300 ms)",
         nullptr},
        {"TlsCaFileNotAccepted",
         TLS_TRUSTED,
         ok,
         {"--cacert", "/nonexistent/ca.pem", "@URL"},
         7,
         "",
         "(TLS: CA file not accepted: /nonexistent/ca.pem)",
         nullptr},
        {"TlsClientCertNotLoadable",
         TLS_TRUSTED,
         ok,
         {"-k", "--cert", "/nonexistent/c.pem", "@URL"},
         7,
         "",
         "(TLS: client certificate not loadable from /nonexistent/c.pem: cannot open the file)",
         nullptr},
        {"TlsCnMismatch",
         TLS_OTHER_NAME,
         ok,
         {"-k", "--verify-cn", "@URL"},
         7,
         "",
         "does not match the server address 127.0.0.1)",
         nullptr},
        {"TlsInsecureAccepts", TLS_UNTRUSTED, ok, {"-k", "@URL"}, 0, "hello\n", "", nullptr},
        // A numeric URL host is still the identity the certificate must match.
        {"TlsTrustedCaOtherNameRefused",
         TLS_OTHER_NAME,
         ok,
         {"--cacert", "@CA", "@URL"},
         7,
         "",
         "(TLS: certificate not verified: IP address mismatch)",
         nullptr},
        // Usage (2) and URL (3) errors found before any connection.
        {"CertPathTooLong",
         NONE,
         {},
         {"--cert", std::string(256, 'c'), "https://127.0.0.1:1/"},
         2,
         "",
         "--cert",
         nullptr},
        {"CredentialsOverBasicLimit",
         NONE,
         {},
         {"-u", "u:" + std::string(1022, 'p'), "http://127.0.0.1:1/"},
         2,
         "",
         "-u",
         nullptr},
        {"ControlCharacterInCredentials",
         NONE,
         {},
         {"-u", "u:p\x01", "http://127.0.0.1:1/"},
         2,
         "",
         "control",
         nullptr},
        {"Ha1NotHex",
         NONE,
         {},
         {"--ha1", "-u", "u:p", "http://127.0.0.1:1/"},
         2,
         "",
         "--ha1",
         nullptr},
        {"RequestOverLimit",
         NONE,
         {},
         {"http://127.0.0.1:1/" + std::string(1000, 'x')},
         3,
         "",
         "1023",
         nullptr},
        // An HA1 goes out only inside a Digest answer: nothing before the
        // challenge, no answer to Basic (no retry: the 401 ends the exchange).
        {"Ha1AnswersDigestOnly",
         PLAIN,
         {Step::ReadUntil(kEnd),
          Step::Send("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"r\", "
                     "nonce=\"n\"\r\nContent-Length: 0\r\n\r\n"),
          Step::ReadUntil(kEnd), Step::Send(k200)},
         {"--keep-alive", "--ha1", "-u", "u:" + kHa1, "@URL"},
         0,
         "hello\n",
         "",
         "Connection: close\r\n\r\nGET /x HTTP/1.1\r\n"},
        {"Ha1BasicChallengeWithFail",
         PLAIN,
         basic401,
         {"--keep-alive", "--fail", "--ha1", "-u", "u:" + kHa1, "@URL"},
         22,
         "",
         "Basic",
         "Connection: close\r\n\r\n"},
        {"Ha1BasicChallengeIsTheAnswer",
         PLAIN,
         basic401,
         {"--keep-alive", "--ha1", "-u", "u:" + kHa1, "@URL"},
         0,
         "no",
         "Basic",
         nullptr},
        {"DigestRetry",
         PLAIN,
         {Step::ReadUntil(kEnd),
          Step::Send("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"r\", "
                     "nonce=\"n\", qop=\"auth\"\r\nContent-Length: 0\r\n\r\n"),
          Step::ReadUntil(kEnd), Step::Send(k200)},
         {"--keep-alive", "-u", "u:p", "@URL"},
         0,
         "hello\n",
         "",
         "Authorization: Digest username=\"u\""},
    };
}

INSTANTIATE_TEST_SUITE_P(Get, CorvioGetCase, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<GetCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(CorvioGet, HelpNamesEveryOptionAndStatus) {
    const GetRun run = CorvioGet({"--help"});
    EXPECT_EQ(run.status, 0);
    for (const char* word :
         {"-o FILE",      "-i ",          "-I ",         "-X METHOD",  "-H ",
          "-d DATA",      "-u USER:PASS", "--ha1",       "--tls",      "--cacert FILE",
          "--insecure",   "--crl FILE",   "--verify-cn", "--cert PEM", "--sni NAME",
          "--timeout MS", "--keep-alive", "--fail",      "--progress", "-v ",
          "-q ",          "Exit status",  " 22 ",        " 56 ",       "any certificate"}) {
        EXPECT_NE(run.out.find(word), std::string::npos) << word;
    }
}

TEST(CorvioGet, OutputFileAndProgressBar) {
    const CertMaker& certs = CertMaker::Shared();
    ASSERT_TRUE(certs.Ok()) << certs.Error();
    LoopbackServer server(
        Opts(),
        {{Step::ReadUntil(kEnd), Step::Send("HTTP/1.1 200 OK\r\nContent-Length: 70000\r\n\r\n"),
          Step::SendPattern(30000), Step::Sleep(300), Step::SendPattern(40000, 30000)}});
    ASSERT_TRUE(server.Ok()) << server.Error();
    const std::string file = certs.Dir() + "/body.bin";
    const GetRun run = CorvioGet(
        {"-o", file, "--progress", "http://127.0.0.1:" + std::to_string(server.Port()) + "/big"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    const std::string body = CertMaker::ReadFile(file);
    ASSERT_EQ(body.size(), 70000u);
    EXPECT_TRUE(LoopbackServer::CheckPattern(body.data(), body.size(), 0));
    // A bar drawn while the body was half there, and the final one.
    EXPECT_NE(run.err.find("%"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("100%"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("68.4 KiB / 68.4 KiB"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("/s"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.back(), '\n');
}

TEST(CorvioGet, UnwritableOutputIsAUsageError) {
    const GetRun run = CorvioGet({"-o", "/nonexistent-dir/x", "http://127.0.0.1:1/"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(Lines(run.err), 1) << run.err;
}

}  // namespace
