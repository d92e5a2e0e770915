// Every case of tests/data/http_downloader.txt (format at its top): a scripted
// loopback peer against a downloader driven by the case's program, per mode.
#include <map>
#include <set>
#include <sstream>

#include "Corvio/CHttpDownloaderBlock.h"
#include "HTTP/HttpDownloaderImpl.h"
#include "Sablon/SockAddr.h"
#include "http_downloader_harness.h"
#include "support/CaseFile.h"
#include "support/DigestCheck.h"
#include "support/FailAlloc.h"
#include "support/LogCapture.h"
#include "support/ScriptCases.h"
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

// $NAME of the [defs] section (longest names first), then $CERTS.
std::string Expand(const std::string& text) {
    static const corvio_test::Vars defs = [] {
        corvio_test::Vars all;
        for (const auto& c : corvio_test::LoadCases(kFile, "defs", 2))
            all.emplace_back("$" + c[0], corvio_test::Subst(c[1], all));
        std::sort(all.begin(), all.end(),
                  [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
        return all;
    }();
    return corvio_test::Subst(corvio_test::Subst(text, defs),
                              {{"$CERTS", CertMaker::Shared().Dir()}});
}

// Empty when `value` is the RFC 2617 section 3.2.2 answer of USER PASS REALM
// NONCE QOP ALGORITHM METHOD URI BODY (words of `want`, "-" for empty).
std::string CheckDigest(const std::string& value, const std::string& want) {
    std::vector<std::string> w = Split(want, ",");
    std::map<std::string, std::string> p;
    Halvex::Corvio::detail::parse_auth_params(value.substr(7), p);
    for (auto& kv : p)
        kv.second = kv.second[0] == '"' ? kv.second.substr(1, kv.second.size() - 2) : kv.second;
    w[4] = w[4] == "-" ? "" : w[4];
    if (value.compare(0, 7, "Digest ") != 0 || p["username"] != w[0] || p["realm"] != w[2] ||
        p["nonce"] != w[3] || p["uri"] != w[7] || p["qop"] != w[4])
        return "fields differ: " + value;
    const bool sess = w[5] == "MD5-sess";
    return p["response"] == corvio_test::DigestResponse(p, w[1], false, sess, w[4], w[6], w[8])
               ? ""
               : "bad response";
}

// The peer part of a case: connections split by " ## ", steps by " ; ";
// words starting with '@' set server options.
LoopbackServer::Options ParseServer(const std::string& text, bool tls, std::vector<Script>* out) {
    LoopbackServer::Options opts = ServerOptions(tls);
    for (const std::string& conn : Split(Expand(text), " ## ")) {
        out->emplace_back();
        for (const std::string& step : Split(conn, " ; ")) {
            if (step[0] != '@')
                out->back().push_back(corvio_test::StepFromText(step));
            else if (step == "@6")
                opts.family = 6;
            else if (step == "@local") {
                Halvex::Sablon::CSockAddrStorage local;
                opts.family = local.SetIp("localhost") == 0 && local.GetFamily() == 6 ? 6 : 4;
            } else if (step.compare(0, 9, "@trickle ") == 0)
                opts.trickle_bytes = std::stoul(step.substr(9));
            else if (step == "@clientca")
                opts.client_ca_file = CertMaker::Shared().ca.cert;
            else if (step.compare(0, 6, "@cert ") == 0) {
                opts.cert_file = CertMaker::Shared().Dir() + "/" + step.substr(6) + ".crt";
                opts.key_file = CertMaker::Shared().Dir() + "/" + step.substr(6) + ".key";
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
        m_host = HostPort(*m_server);
        for (const std::string& word : Split(Expand(c[3]), " ; ")) {
            SCOPED_TRACE(word.substr(0, 80));
            Do(word);
            if (::testing::Test::HasFatalFailure())
                return;
        }
        EXPECT_EQ(m_log.Count("need reset first!\n"), 0);
        EXPECT_EQ(m_session ? m_session->owner->Ends(true) : 0, 0);
    }

private:
    CHttpDownloader* dl() { return m_session->dl; }
    std::string Body() {
        return m_stream ? m_session->sink.body.substr(m_mark) : m_session->Body();
    }
    corvio_test::ConnectionLog Peer(const std::string& k) {
        m_server->Stop();
        return m_server->Connection(std::stoul(k));
    }
    void Wait(int count, int timeout_ms) {
        ASSERT_TRUE(m_session->owner->WaitEnds(count, timeout_ms));
        Settle();
        EXPECT_EQ(m_session->owner->Ends(), count);
        if (!m_stream)
            return;
        const Sink& sink = m_session->sink;
        const bool ok = dl()->GetErrorReason() == CHttpDownloader::ERROR_NONE;
        CHttpParser* p = dl()->GetResult();
        EXPECT_EQ(sink.ends, count);
        EXPECT_EQ(sink.complete, ok);
        EXPECT_TRUE(!ok ||
                    (sink.headers == sink.ends && (!p || sink.status == p->GetStatusCode())));
        EXPECT_TRUE(p == nullptr || (p->GetContent() == nullptr && p->GetContentLength() == 0));
    }
    // Index of the first line starting with `prefix` (at `level` when given), or -1.
    int Find(const std::string& prefix, int level = -1) {
        const std::vector<corvio_test::LogLine> lines = m_log.Lines();
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].message.compare(0, prefix.size(), prefix) == 0 &&
                (level < 0 || lines[i].level == level))
                return static_cast<int>(i);
        return -1;
    }

    // Checks of a number: "verb N".
    const std::map<std::string, std::function<long long()>> m_numbers = {
        {"status",
         [this] { return dl()->GetResult() ? dl()->GetResult()->GetStatusCode() : -1LL; }},
        {"total", [this] { return dl()->GetTotalContentSize(); }},
        {"cur", [this] { return dl()->GetCurrentContentSize(); }},
        {"total64", [this] { return dl()->GetTotalContentSize64(); }},
        {"cur64", [this] { return dl()->GetCurrentContentSize64(); }},
        {"ends", [this] { return m_session->owner->Ends(); }},
        {"lines", [this] { return static_cast<long long>(m_log.Lines().size()); }},
        {"accepted",
         [this] { return m_server->Stop(), static_cast<long long>(m_server->Accepted()); }}};

    void Do(const std::string& word) {
        const bool refused = word[0] == '!';
        const size_t space = word.find(' ');
        const std::string verb = word.substr(refused, space - refused);
        std::string arg = space == std::string::npos ? "" : word.substr(space + 1);
        const std::string sunk = m_session ? std::to_string(m_session->sink.count) : "";
        arg = corvio_test::Subst(arg, {{"$HOST", m_host}, {"$SINKLEN", sunk}});
        std::istringstream words(arg);
        std::string a, b;
        words >> a >> b;
        const std::string rest = arg.substr(std::min(arg.size(), a.size() + 1));
        const long long n = std::atoll(arg.c_str());
        int rc = 0;
        const auto number = m_numbers.find(verb);
        if (number != m_numbers.end())
            EXPECT_EQ(number->second(), n) << verb;
        else if (verb == "keep")
            dl()->SetKeepAliveMode(true);
        else if (verb == "timeout")
            dl()->SetTimeout(static_cast<unsigned long long>(n));
        else if (verb == "auth")
            rc = dl()->SetAuthInfo(a == "-" ? "" : a, b == "-" ? "" : b);
        else if (verb == "get" || verb == "url" || verb == "nullpem") {
            const std::string url = verb == "url" ? arg : "http://" + m_host + arg;
            const char* pem = verb == "nullpem" ? nullptr : m_pem.c_str();
            rc = m_tls || !pem ? dl()->InitUseSsl(url.c_str(), pem) : dl()->Init(url.c_str());
        } else if (verb == "nullurl")
            rc = dl()->Init(static_cast<const char*>(nullptr));
        else if (verb == "req" || verb == "nullreq" || verb == "emptyreq") {
            Halvex::Sablon::CSockAddrStorage addr;
            addr.SetPort(m_server->Port());
            addr.SetIp(m_server->Host());
            const char* data = verb == "nullreq" ? nullptr : arg.data();
            const int len = verb == "emptyreq" ? 0 : static_cast<int>(arg.size()) + !data;
            rc = m_tls ? dl()->InitUseSsl(addr, data, len, m_pem.c_str())
                       : dl()->Init(addr, data, len);
        } else if (verb == "send" || verb == "nullsend") {
            m_mark = m_session->sink.body.size();
            rc = dl()->SendRequest(verb == "send" ? arg.data() : nullptr,
                                   verb == "send" ? static_cast<int>(arg.size()) : 5);
        } else if (verb == "wait")
            Wait(std::stoi(a), b.empty() ? 5000 : std::stoi(b));
        else if (verb == "settle")
            Settle(static_cast<int>(n));
        else if (verb == "hostname" || verb == "closedport")
            m_host = verb == "hostname"
                         ? arg + ":" + std::to_string(m_server->Port())
                         : "127.0.0.1:" + std::to_string(corvio_test::TcpListener::ClosedPort(4));
        else if (verb == "waitbuf")
            rc = dl()->WaitBufferSize(static_cast<unsigned>(n)) ? 0 : -1;
        else if (verb == "sinkstop")
            m_session->sink.stop_after = n;
        else if (verb == "sinknull")
            rc = dl()->SetBodySink(nullptr);
        else if (verb == "pem")
            m_pem = arg;
        else if (verb == "opt") {
            for (words.str(arg), words.clear(); words >> a;) {
                const std::string v = a.substr(a.find(':') + 1);
                if (a.compare(0, 3, "ca:") == 0)
                    m_option.AddTrustCA(v.c_str());
                else if (a.compare(0, 4, "crl:") == 0)
                    m_option.AddCRL(v.c_str());
                else if (a.compare(0, 4, "sni:") == 0)
                    m_option.SetSslOption6Text(v.c_str());
                else
                    m_option.SetVerifyCN(a == "cn");
            }
        } else if (verb == "useopt" || verb == "useopt-null")
            dl()->SetHttpsOption(verb == "useopt" ? &m_option : nullptr);
        else if (verb == "challenge")
            dl()->SetWWWAuthenticate(arg == "(null)" ? nullptr : arg.c_str());
        else if (verb == "new" || verb == "drop") {
            m_session.reset();
            m_session.reset(verb == "new" ? new Session(m_stream) : nullptr);
        } else if (verb == "detach") {
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
        else if (verb == "failalloc" || verb == "failalloc-off")
            m_fail.reset(verb == "failalloc-off"
                             ? nullptr
                             : new corvio_test::FailAllocations(static_cast<size_t>(n), true));
        else if (verb == "reason") {
            const char* names[] = {"none", "parse_url", "connect", "transfer", "not_started"};
            EXPECT_EQ(names[dl()->GetErrorReason()], arg);
        } else if (verb == "body")
            EXPECT_TRUE(Body() == arg) << Body().size() << " bytes: " << Body().substr(0, 200);
        else if (verb == "pattern") {
            const std::string body = Body();
            const unsigned long long count = m_stream ? m_session->sink.count : body.size();
            EXPECT_TRUE(arg == "any" || count == static_cast<unsigned long long>(n)) << count;
            EXPECT_TRUE(m_stream ? m_session->sink.pattern
                                 : LoopbackServer::CheckPattern(body.data(), body.size(), 0));
        } else if (verb == "sinkmax")
            EXPECT_LE(m_session->sink.count, static_cast<unsigned long long>(n));
        else if (verb == "sent") {
            const std::string got = Peer(a).received;
            const std::vector<std::string> parts = Split(rest, "$AUTH");
            const size_t end = got.find("\r\n", parts[0].size());
            m_auth = parts.size() == 1 ? "" : got.substr(parts[0].size(), end - parts[0].size());
            EXPECT_TRUE(got == parts[0] + m_auth + (parts.size() == 1 ? "" : parts[1]))
                << got.substr(0, 300);
        } else if (verb == "digest")
            EXPECT_EQ(CheckDigest(m_auth, arg), "");
        else if (verb == "cn" || verb == "sni")
            EXPECT_EQ(verb == "cn" ? Peer(a).client_cn : Peer(a).sni, b) << Peer(a).error;
        else if (verb == "kept")
            EXPECT_EQ(dl()->GetWWWAuthenticate(), arg);
        else if (verb == "log" || verb == "log2" || verb == "nolog")
            EXPECT_EQ(Find(arg, verb == "log2" ? 2 : -1) >= 0, verb != "nolog") << arg;
        else if (verb == "logn")
            EXPECT_EQ(m_log.Count(rest), std::stoi(a));
        else if (verb == "cause") {  // before "ssl connect error!"
            const int at = Find(arg), end = Find("ssl connect error!\n");
            EXPECT_TRUE(at >= 0 && (end < 0 || at < end)) << arg;
        } else
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
                         ::testing::Values("exchange", "keep_alive", "auth", "tls"),
                         [](const auto& i) { return std::string(i.param); });

// Out of memory at the exported entries: each fails as documented (-1, an
// empty text, the previous value kept), and no exception leaves it. Null texts
// are ignored; CA files are kept once each.
TEST(Downloader, Refusals) {
    EXPECT_EQ(CHttpDownloader::Create(0), nullptr);
    Session s;
    Halvex::Corvio::CHttpDownloaderBlock block;
    const std::string text(100, 'c'), longer(200, 'l');
    CHttpsOption option;
    for (const char* ca : {"b.pem", "a.pem", "b.pem", static_cast<const char*>(nullptr)})
        option.AddTrustCA(ca);
    option.AddCRL(nullptr);
    option.SetSslOption6Text("host.test");
    option.SetSslOption6Text(nullptr);
    EXPECT_EQ(option.GetData()->ssl_option6_text, "host.test");
    s.dl->SetWWWAuthenticate(text.c_str());
    std::string challenge = "-";
    int refused = 0;
    {
        corvio_test::FailAllocations refuse(corvio_test::FailAllocations::kEvery);
        refused = (s.dl->SetAuthInfo(text, text) == -1) +
                  (s.dl->SetAuthInfo(text.c_str(), text.c_str()) == -1) +
                  (s.dl->Init("http://127.0.0.1:9/") == -1) +
                  (block.SetAuthInfo(text, text) == -1) +
                  (block.SetAuthInfo(text.c_str(), nullptr) == -1);
        challenge = s.dl->GetWWWAuthenticate();
        s.dl->SetWWWAuthenticate(longer.c_str());
        block.SetWWWAuthenticate(text.c_str());
        s.dl->SetHttpsOption(&option);
        option.AddTrustCA(text.c_str());
        option.AddCRL(text.c_str());
        option.SetSslOption6Text(text.c_str());
    }
    EXPECT_EQ(refused, 5);
    EXPECT_EQ(challenge, "");
    EXPECT_EQ(s.dl->GetWWWAuthenticate(), text);
    EXPECT_EQ(option.GetData()->trust_ca_files, (std::set<std::string>{"a.pem", "b.pem"}));
    EXPECT_TRUE(option.GetData()->crl_files.empty());
    for (int i = 0; i < 200; ++i)  // each ends its handler on the reactor
        EXPECT_EQ(Halvex::Corvio::CHttpDownloaderBlock().SetTimeout(1000), 0);
}

}  // namespace
