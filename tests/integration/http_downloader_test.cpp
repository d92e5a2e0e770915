// The downloader's exchanges as data: every case of
// tests/data/http_downloader.txt (its format is described at its top) plays
// a scripted loopback peer against a downloader driven by the case's program,
// once per mode the case names (TCP or TLS, body kept or streamed to a sink).
#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Corvio/CHttpDownloaderBlock.h"
#include "HTTP/HttpDownloaderImpl.h"
#include "Mardel/Md5.h"
#include "Sablon/SockAddr.h"
#include "http_downloader_harness.h"
#include "support/CaseFile.h"
#include "support/FailAlloc.h"
#include "support/LogCapture.h"
#include "support/TcpListener.h"

using namespace dltest;
using corvio_test::CertMaker;
using Halvex::Corvio::CHttpsOption;

namespace {

const char kFile[] = "http_downloader.txt";

std::vector<std::string> Split(const std::string& text, const std::string& sep) {
    std::vector<std::string> out;
    size_t from = 0;
    for (size_t at; (at = text.find(sep, from)) != std::string::npos; from = at + sep.size())
        out.push_back(text.substr(from, at - from));
    out.push_back(text.substr(from));
    return out;
}

void ReplaceAll(std::string& text, const std::string& what, const std::string& with) {
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += with.size())
        text.replace(at, what.size(), with);
}

// $NAME of the [defs] section (longest names first), then {N*TEXT} as N
// copies of TEXT.
std::string Expand(std::string text) {
    static const std::vector<std::pair<std::string, std::string>> defs = [] {
        std::vector<std::pair<std::string, std::string>> all;
        for (const auto& c : corvio_test::LoadCases(kFile, "defs", 2)) {
            std::string value = c[1];
            for (const auto& d : all)
                ReplaceAll(value, "$" + d.first, d.second);
            all.emplace_back(c[0], value);
        }
        std::sort(all.begin(), all.end(),
                  [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
        return all;
    }();
    for (const auto& d : defs)
        ReplaceAll(text, "$" + d.first, d.second);
    for (size_t at; (at = text.find('{')) != std::string::npos;) {
        const size_t star = text.find('*', at), end = text.find('}', at);
        std::string copies;
        for (long n = std::stol(text.substr(at + 1, star - at - 1)); n > 0; --n)
            copies += text.substr(star + 1, end - star - 1);
        text.replace(at, end - at + 1, copies);
    }
    return text;
}

std::string Md5Hex(const std::string& text) {
    Halvex::Utils::CMd5 md5;
    md5.init();
    md5.update(text.data(), text.size());
    char out[33] = {};
    md5.hex(out);
    return out;
}

// Empty when `value` is the RFC 2617 section 3.2.2 answer of USER PASS REALM
// NONCE QOP ALGORITHM METHOD URI BODY (words of `want`, "-" for empty).
std::string CheckDigest(const std::string& value, const std::string& want) {
    std::vector<std::string> w = Split(want, ",");
    w.resize(9);
    for (auto& word : w)
        word = word == "-" ? "" : word;
    std::map<std::string, std::string> p;
    Halvex::Corvio::detail::parse_auth_params(value.substr(7), p);
    for (auto& kv : p) {
        if (kv.second.size() >= 2 && kv.second.front() == '"')
            kv.second = kv.second.substr(1, kv.second.size() - 2);
    }
    if (value.compare(0, 7, "Digest ") != 0 || p["username"] != w[0] || p["realm"] != w[2] ||
        p["nonce"] != w[3] || p["uri"] != w[7] || p["qop"] != w[4])
        return "fields differ: " + value;
    std::string ha1 = Md5Hex(w[0] + ":" + w[2] + ":" + w[1]);
    if (w[5] == "MD5-sess")
        ha1 = Md5Hex(ha1 + ":" + w[3] + ":" + p["cnonce"]);
    const std::string ha2 =
        Md5Hex(w[6] + ":" + w[7] + (w[4] == "auth-int" ? ":" + Md5Hex(w[8]) : ""));
    const std::string tail = w[4].empty() ? "" : p["nc"] + ":" + p["cnonce"] + ":" + w[4] + ":";
    return p["response"] == Md5Hex(ha1 + ":" + w[3] + ":" + tail + ha2) ? "" : "bad response";
}

// The server part of a case: connections split by " ## ", steps by " ; ";
// words starting with '@' set server options.
LoopbackServer::Options ParseServer(const std::string& text, bool tls, std::vector<Script>* out) {
    LoopbackServer::Options opts = ServerOptions(tls);
    const CertMaker& certs = CertMaker::Shared();
    const std::map<std::string, const CertMaker::Identity*> ids = {
        {"server_host_san", &certs.server_host_san},
        {"server_untrusted", &certs.server_untrusted},
        {"server_ip", &certs.server_ip},
        {"server_host", &certs.server_host},
        {"server_revoked", &certs.server_revoked}};
    for (const std::string& conn : Split(Expand(text), " ## ")) {
        out->emplace_back();
        for (const std::string& step : Split(conn, " ; ")) {
            const std::string arg = step.substr(
                std::min(step.size(), step.find_first_of("<>#~") == 0 ? size_t{1} : size_t{2}));
            if (step == "<H")
                out->back().push_back(Step::ReadUntil("\r\n\r\n"));
            else if (step[0] == '<')
                out->back().push_back(Step::ReadUntil(arg));
            else if (step[0] == '>')
                out->back().push_back(Step::Send(arg));
            else if (step[0] == '#')
                out->back().push_back(Step::Read(std::stoull(arg)));
            else if (step[0] == 'P')
                out->back().push_back(Step::SendPattern(std::stoull(arg)));
            else if (step[0] == '~')
                out->back().push_back(Step::Sleep(std::stoi(arg)));
            else if (step[0] == 'S')
                out->back().push_back(Step::Silent(std::stoi(arg)));
            else if (step == "close")
                out->back().push_back(Step::Close());
            else if (step == "@6")
                opts.family = 6;
            else if (step == "@local") {
                Halvex::Sablon::CSockAddrStorage local;
                opts.family = local.SetIp("localhost") == 0 && local.GetFamily() == 6 ? 6 : 4;
            } else if (step.compare(0, 9, "@trickle ") == 0)
                opts.trickle_bytes = std::stoul(step.substr(9));
            else if (step == "@clientca")
                opts.client_ca_file = certs.ca.cert;
            else if (step.compare(0, 6, "@cert ") == 0) {
                opts.cert_file = ids.at(step.substr(6))->cert;
                opts.key_file = ids.at(step.substr(6))->key;
            } else
                ADD_FAILURE() << "unknown server step " << step;
        }
        if (out->back().empty())
            out->pop_back();
    }
    return opts;
}

// One case in one mode: the program's words in order, actions and checks.
class CaseRun {
public:
    CaseRun(const corvio_test::Case& c, bool tls, bool stream)
        : m_tls(tls), m_stream(stream), m_session(new Session(stream)) {
        std::vector<Script> scripts;
        const LoopbackServer::Options opts = ParseServer(c[2], tls, &scripts);
        m_server.reset(new LoopbackServer(opts, scripts));
        EXPECT_TRUE(m_server->Ok()) << m_server->Error();
        const std::string host = m_server->Host();
        m_host = (host == "::1" ? "[::1]" : host) + ":" + std::to_string(m_server->Port());
        for (const std::string& word : Split(Expand(c[3]), " ; ")) {
            SCOPED_TRACE(word.substr(0, 80));
            Do(word);
            if (::testing::Test::HasFatalFailure())
                return;
        }
        EXPECT_EQ(m_log.Count("need reset first!\n"), 0);
        EXPECT_EQ(m_session ? m_session->owner->Foreign() : 0, 0);
    }

private:
    CHttpDownloader* dl() { return m_session->dl; }
    std::string Body() {
        return m_stream ? m_session->sink.body.substr(m_mark) : m_session->Body();
    }
    int Status() {
        CHttpParser* p = dl()->GetResult();
        return p == nullptr ? -1 : p->GetStatusCode();
    }
    std::string Received(size_t k) {
        m_server->Stop();
        return m_server->Connection(k).received;
    }
    void Wait(int count, int timeout_ms) {
        ASSERT_TRUE(m_session->owner->WaitEnds(count, timeout_ms));
        Settle();
        EXPECT_EQ(m_session->owner->Ends(), count);
        if (m_stream) {
            const Sink& sink = m_session->sink;
            const bool ok = dl()->GetErrorReason() == CHttpDownloader::ERROR_NONE;
            EXPECT_EQ(sink.ends, count);
            EXPECT_EQ(sink.complete, ok);
            if (ok)
                EXPECT_EQ(sink.headers, sink.ends);
            CHttpParser* p = dl()->GetResult();
            EXPECT_TRUE(p == nullptr || (p->GetContent() == nullptr && p->GetContentLength() == 0));
            if (p != nullptr && ok)
                EXPECT_EQ(sink.status, p->GetStatusCode());
        }
    }
    bool CauseFirst(const std::string& cause) {
        const std::vector<corvio_test::LogLine> lines = m_log.Lines();
        for (const auto& line : lines) {
            if (line.message == "ssl connect error!\n")
                return false;
            if (line.message.compare(0, cause.size(), cause) == 0)
                return true;
        }
        return false;
    }
    int Lines() {
        int n = 0;
        for (const auto& line : m_log.Lines())
            n += line.level <= 3;
        return n;
    }
    long long Num(const std::string& text) { return std::stoll(text); }

    void Do(const std::string& word) {
        const bool refused = word[0] == '!';
        const size_t space = word.find(' ');
        const std::string verb = word.substr(refused, space - refused);
        std::string arg = space == std::string::npos ? "" : word.substr(space + 1);
        ReplaceAll(arg, "$HOST", m_host);
        ReplaceAll(arg, "$MISSING", CertMaker::Shared().MissingPath());
        const CertMaker& certs = CertMaker::Shared();
        std::istringstream words(arg);
        std::string a, b;
        words >> a >> b;
        int rc = 0;
        if (verb == "keep")
            dl()->SetKeepAliveMode(true);
        else if (verb == "timeout")
            dl()->SetTimeout(static_cast<unsigned long long>(Num(arg)));
        else if (verb == "auth")
            rc = dl()->SetAuthInfo(a == "-" ? "" : a, b == "-" ? "" : b);
        else if (verb == "get" || verb == "url") {
            const std::string url = verb == "url" ? arg : "http://" + m_host + arg;
            rc = m_tls ? dl()->InitUseSsl(url.c_str(), m_pem.c_str()) : dl()->Init(url.c_str());
        } else if (verb == "nullurl")
            rc = dl()->Init(static_cast<const char*>(nullptr));
        else if (verb == "nullpem")
            rc = dl()->InitUseSsl(("http://" + m_host + "/").c_str(), nullptr);
        else if (verb == "req" || verb == "nullreq" || verb == "emptyreq") {
            Halvex::Sablon::CSockAddrStorage addr;
            addr.SetPort(m_server->Port());
            addr.SetIp(m_server->Host());
            const char* data = verb == "nullreq" ? nullptr : arg.data();
            const int len =
                verb == "emptyreq" ? 0 : static_cast<int>(arg.size()) + (data == nullptr);
            rc = m_tls ? dl()->InitUseSsl(addr, data, len, m_pem.c_str())
                       : dl()->Init(addr, data, len);
        } else if (verb == "send" || verb == "nullsend") {
            m_mark = m_session->sink.body.size();
            rc = dl()->SendRequest(verb == "send" ? arg.data() : nullptr,
                                   verb == "send" ? static_cast<int>(arg.size()) : 5);
        } else if (verb == "wait")
            Wait(static_cast<int>(Num(a)), b.empty() ? 5000 : static_cast<int>(Num(b)));
        else if (verb == "settle")
            Settle(static_cast<int>(Num(arg)));
        else if (verb == "hostname")
            m_host = arg + ":" + std::to_string(m_server->Port());
        else if (verb == "closedport")
            m_host = "127.0.0.1:" + std::to_string(corvio_test::TcpListener::ClosedPort(4));
        else if (verb == "waitbuf")
            rc = dl()->WaitBufferSize(static_cast<unsigned>(Num(arg))) ? 0 : -1;
        else if (verb == "sinkstop")
            m_session->sink.stop_after = Num(arg);
        else if (verb == "sinknull")
            rc = dl()->SetBodySink(nullptr);
        else if (verb == "pem")
            m_pem = arg == "client" ? certs.client.pem : arg;
        else if (verb == "opt") {
            for (words.str(arg), words.clear(); words >> a;) {
                const std::string v = a.substr(a.find(':') + 1);
                const std::string file = v == "ca"      ? certs.ca.cert
                                         : v == "other" ? certs.other_ca.cert
                                                        : v;
                if (a.compare(0, 3, "ca:") == 0)
                    m_option.AddTrustCA(file.c_str());
                else if (a.compare(0, 4, "crl:") == 0)
                    m_option.AddCRL(v == "ca"      ? certs.ca_crl.c_str()
                                    : v == "other" ? certs.other_crl.c_str()
                                                   : v.c_str());
                else if (a.compare(0, 4, "sni:") == 0)
                    m_option.SetSslOption6Text(v.c_str());
                else if (a == "cn")
                    m_option.SetVerifyCN(true);
            }
        } else if (verb == "useopt")
            dl()->SetHttpsOption(&m_option);
        else if (verb == "useopt-null")
            dl()->SetHttpsOption(nullptr);
        else if (verb == "challenge")
            dl()->SetWWWAuthenticate(arg == "(null)" ? nullptr : arg.c_str());
        else if (verb == "new") {
            m_session.reset();
            m_session.reset(new Session(m_stream));
        } else if (verb == "drop")
            m_session.reset();
        else if (verb == "detach") {
            const int fd = dl()->DetachSock();
            rc = fd >= 0 ? 0 : -1;
            m_fd = fd >= 0 ? fd : m_fd;
        } else if (verb == "fdsend")
            EXPECT_TRUE(corvio_test::WriteAll(m_fd, arg.data(), static_cast<long>(arg.size())));
        else if (verb == "fdread") {
            std::string got(arg.size(), '\0');
            got.resize(static_cast<size_t>(
                corvio_test::ReadFor(m_fd, &got[0], static_cast<long>(got.size()), 2000)));
            EXPECT_EQ(got, arg);
        } else if (verb == "fdclose")
            corvio_test::CloseSocket(m_fd);
        else if (verb == "failalloc")
            m_fail.reset(new corvio_test::FailAllocations(static_cast<size_t>(Num(arg)), true));
        else if (verb == "failalloc-off")
            m_fail.reset();
        // Checks.
        else if (verb == "reason") {
            const char* names[] = {"none", "parse_url", "connect", "transfer", "not_started"};
            EXPECT_EQ(names[dl()->GetErrorReason()], arg);
        } else if (verb == "status")
            EXPECT_EQ(Status(), Num(arg));
        else if (verb == "body")
            EXPECT_TRUE(Body() == arg) << Body().size() << " bytes: " << Body().substr(0, 200);
        else if (verb == "pattern") {
            const std::string body = Body();
            if (arg != "any")
                EXPECT_EQ(m_stream ? m_session->sink.count : body.size(),
                          static_cast<unsigned long long>(Num(arg)));
            EXPECT_TRUE(m_stream ? m_session->sink.pattern
                                 : LoopbackServer::CheckPattern(body.data(), body.size(), 0));
        } else if (verb == "total")
            EXPECT_EQ(dl()->GetTotalContentSize(), Num(arg));
        else if (verb == "cur")
            EXPECT_EQ(dl()->GetCurrentContentSize(), Num(arg));
        else if (verb == "total64")
            EXPECT_EQ(dl()->GetTotalContentSize64(), Num(arg));
        else if (verb == "cur64")
            EXPECT_EQ(dl()->GetCurrentContentSize64(),
                      arg == "sink" ? static_cast<long long>(m_session->sink.count) : Num(arg));
        else if (verb == "sinkmax")
            EXPECT_LE(m_session->sink.count, static_cast<unsigned long long>(Num(arg)));
        else if (verb == "ends")
            EXPECT_EQ(m_session->owner->Ends(), Num(arg));
        else if (verb == "accepted") {
            m_server->Stop();
            EXPECT_EQ(m_server->Accepted(), static_cast<size_t>(Num(arg)));
        } else if (verb == "sent") {
            const std::string got = Received(static_cast<size_t>(Num(a)));
            const std::vector<std::string> parts = Split(arg.substr(a.size() + 1), "$AUTH");
            if (parts.size() == 1) {
                EXPECT_TRUE(got == parts[0]) << got.substr(0, 300);
            } else {
                const size_t end = got.find("\r\n", parts[0].size());
                m_auth = got.substr(parts[0].size(), end - parts[0].size());
                EXPECT_EQ(got, parts[0] + m_auth + parts[1]);
            }
        } else if (verb == "digest")
            EXPECT_EQ(CheckDigest(m_auth, arg), "");
        else if (verb == "cn" || verb == "sni") {
            m_server->Stop();
            const corvio_test::ConnectionLog log =
                m_server->Connection(static_cast<size_t>(Num(a)));
            EXPECT_EQ(verb == "cn" ? log.client_cn : log.sni, b);
        } else if (verb == "kept")
            EXPECT_EQ(dl()->GetWWWAuthenticate(), arg);
        else if (verb == "log" || verb == "log2") {
            ReplaceAll(arg, "$SINKLEN", std::to_string(m_session->sink.count));
            EXPECT_TRUE(m_log.Has(arg, verb == "log2" ? 2 : -1)) << arg;
        } else if (verb == "logn")
            EXPECT_EQ(m_log.Count(arg.substr(a.size() + 1)), Num(a));
        else if (verb == "nolog")
            EXPECT_FALSE(m_log.Has(arg)) << arg;
        else if (verb == "lines")
            EXPECT_EQ(Lines(), Num(arg));
        else if (verb == "logstart" || verb == "logstart2") {
            bool found = false;
            for (const auto& line : m_log.Lines())
                found |= line.message.compare(0, arg.size(), arg) == 0 &&
                         (verb == "logstart" || line.level == 2);
            EXPECT_TRUE(found) << arg;
        } else if (verb == "cause")
            EXPECT_TRUE(CauseFirst(arg)) << arg;
        else
            ADD_FAILURE() << "unknown word " << verb;
        EXPECT_EQ(rc, refused ? -1 : 0) << verb;
    }

    corvio_test::LogCapture m_log{3};
    bool m_tls, m_stream;
    std::unique_ptr<LoopbackServer> m_server;
    std::unique_ptr<Session> m_session;
    std::unique_ptr<corvio_test::FailAllocations> m_fail;
    CHttpsOption m_option;
    std::string m_host, m_pem, m_auth;
    size_t m_mark = 0;
    int m_fd = -1;
};

class Exchange : public ::testing::TestWithParam<const char*> {};

TEST_P(Exchange, Table) {
    for (const corvio_test::Case& c : corvio_test::LoadCases(kFile, GetParam(), 4)) {
        std::istringstream modes(c[1] == "all" ? "tcp tls tcp/s tls/s" : c[1]);
        for (std::string mode; modes >> mode;) {
            SCOPED_TRACE(c.where + " " + c[0] + " " + mode);
            CaseRun(c, mode.compare(0, 3, "tls") == 0, mode.size() > 3);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Downloader, Exchange,
                         ::testing::Values("exchange", "keep-alive", "auth", "tls"),
                         [](const auto& i) {
                             std::string name = i.param;
                             ReplaceAll(name, "-", "_");
                             return name;
                         });

// Out of memory at the exported entries: each fails as documented (-1, an
// empty text, the previous value kept), and no exception leaves it.
TEST(Downloader, OutOfMemoryAtEntries) {
    Session s;
    Halvex::Corvio::CHttpDownloaderBlock block;
    const std::string text(100, 'c'), longer(200, 'l');
    CHttpsOption option;
    option.AddTrustCA("ca.pem");
    s.dl->SetWWWAuthenticate(text.c_str());
    std::vector<int> results;
    results.reserve(5);
    std::string challenge = "-";
    {
        corvio_test::FailAllocations refuse(corvio_test::FailAllocations::kEvery);
        results.push_back(s.dl->SetAuthInfo(text, text));
        results.push_back(s.dl->SetAuthInfo(text.c_str(), text.c_str()));
        results.push_back(s.dl->Init("http://127.0.0.1:9/"));
        results.push_back(block.SetAuthInfo(text, text));
        results.push_back(block.SetAuthInfo(text.c_str(), nullptr));
        challenge = s.dl->GetWWWAuthenticate();
        s.dl->SetWWWAuthenticate(longer.c_str());
        block.SetWWWAuthenticate(text.c_str());
        s.dl->SetHttpsOption(&option);
        option.AddTrustCA(text.c_str());
        option.AddCRL(text.c_str());
        option.SetSslOption6Text(text.c_str());
    }
    EXPECT_EQ(results, std::vector<int>(5, -1));
    EXPECT_EQ(challenge, "");
    EXPECT_EQ(s.dl->GetWWWAuthenticate(), text);
    EXPECT_EQ(option.GetData()->trust_ca_files, std::set<std::string>{"ca.pem"});
    EXPECT_TRUE(option.GetData()->crl_files.empty());
}

// Null texts are ignored; CA files are kept once each, in order.
TEST(Downloader, OptionAndCreateRefusals) {
    EXPECT_EQ(CHttpDownloader::Create(0), nullptr);
    CHttpsOption option;
    for (const char* ca : {"b.pem", "a.pem", "b.pem", static_cast<const char*>(nullptr)})
        option.AddTrustCA(ca);
    option.AddCRL(nullptr);
    option.SetSslOption6Text("host.test");
    option.SetSslOption6Text(nullptr);
    EXPECT_EQ(std::vector<std::string>(option.GetData()->trust_ca_files.begin(),
                                       option.GetData()->trust_ca_files.end()),
              (std::vector<std::string>{"a.pem", "b.pem"}));
    EXPECT_TRUE(option.GetData()->crl_files.empty());
    EXPECT_EQ(option.GetData()->ssl_option6_text, "host.test");
    for (int i = 0; i < 200; ++i) {  // each ends its handler on the reactor
        Halvex::Corvio::CHttpDownloaderBlock block;
        EXPECT_EQ(block.SetTimeout(1000), 0);
    }
}

}  // namespace
