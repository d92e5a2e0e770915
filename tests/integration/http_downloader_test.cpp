// The downloader against scripted loopback servers, over TCP and TLS:
// phases and error reasons, exact request bytes, one end notice per
// exchange, keep-alive reuse, SendRequest, the sender's buffer and
// DetachSock.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "Corvio/CHttpDownloaderBlock.h"
#include "http_downloader_harness.h"
#include "support/FailAlloc.h"
#include "support/LogCapture.h"
#include "support/TcpListener.h"

using namespace dltest;

namespace {

struct ExchangeCase {
    const char* name;
    Script script;
    unsigned long long timeout_us;
    CHttpDownloader::ErrorReason reason;
    int status;  // -1: no result
    std::string body;
    int total;
    const char* log;  // an exact log message expected, or null
};

const std::string kHeader200 = "HTTP/1.1 200 OK\r\n";

std::string Continues(int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += "HTTP/1.1 100 Continue\r\n\r\n";
    return out;
}

std::vector<ExchangeCase> ExchangeCases() {
    const Step read = Step::ReadUntil("\r\n\r\n");
    return {
        {"content_length",
         {read, Step::Send(kHeader200 + "Content-Length: 5\r\n\r\nhello")},
         5000000,
         CHttpDownloader::ERROR_NONE,
         200,
         "hello",
         5,
         nullptr},
        {"until_close",
         {read, Step::Send(kHeader200 + "\r\nabcdef"), Step::Close()},
         5000000,
         CHttpDownloader::ERROR_NONE,
         200,
         "abcdef",
         6,
         nullptr},
        {"chunked",
         {read, Step::Send(kHeader200 + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n"),
          Step::Sleep(20), Step::Send("2\r\nde\r\n0\r\n\r\n")},
         5000000,
         CHttpDownloader::ERROR_NONE,
         200,
         "abcde",
         5,
         nullptr},
        {"interim_100_then_final",
         {read, Step::Send("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\n\r\n"),
          Step::Sleep(20), Step::Send("HTTP/1.1 404 Not Found\r\nContent-Length: 2\r\n\r\nno")},
         5000000,
         CHttpDownloader::ERROR_NONE,
         404,
         "no",
         2,
         nullptr},
        {"interim_70_in_one_read",
         {read,
          Step::Send(Continues(70) + "HTTP/1.1 404 Not Found\r\nContent-Length: 2\r\n\r\nno")},
         5000000,
         CHttpDownloader::ERROR_NONE,
         404,
         "no",
         2,
         nullptr},
        {"interim_headers_beyond_32k",
         {read, Step::Send(Continues(1400) + kHeader200 + "Content-Length: 2\r\n\r\nok")},
         5000000,
         CHttpDownloader::ERROR_TRANSFER,
         -1,
         "",
         -1,
         "parse error, status:2\n"},
        {"interim_then_close",
         {read, Step::Send("HTTP/1.1 100 Continue\r\n\r\n"), Step::Close()},
         5000000,
         CHttpDownloader::ERROR_TRANSFER,
         -1,
         "",
         -1,
         nullptr},
        {"header_cut_by_close",
         {read, Step::Send(kHeader200 + "Content-Le"), Step::Close()},
         5000000,
         CHttpDownloader::ERROR_TRANSFER,
         -1,
         "",
         -1,
         nullptr},
        {"body_cut_by_close",
         {read, Step::Send(kHeader200 + "Content-Length: 10\r\n\r\nabc"), Step::Close()},
         5000000,
         CHttpDownloader::ERROR_TRANSFER,
         -1,
         "",
         10,
         nullptr},
        {"parse_error",
         {read, Step::Send("HTTP/1.1 abc OK\r\n\r\n")},
         5000000,
         CHttpDownloader::ERROR_TRANSFER,
         -1,
         "",
         -1,
         "parse error, status:2\n"},
        {"silent_server",
         {read, Step::Silent(1500)},
         300000,
         CHttpDownloader::ERROR_TRANSFER,
         -1,
         "",
         -1,
         "CHttpDownloader::handle_input_timeout\n"},
        {"chunked_split_everywhere",
         {read, Step::Send(kHeader200 + "Transfer-Encoding: chunked\r\n\r\n1"), Step::Sleep(20),
          Step::Send("0\r\n0123456789"), Step::Sleep(20), Step::Send("abcdef\r"), Step::Sleep(20),
          Step::Send("\n0\r\n\r\n")},
         5000000,
         CHttpDownloader::ERROR_NONE,
         200,
         "0123456789abcdef",
         16,
         nullptr},
        {"chunked_cut_by_close",
         {read, Step::Send(kHeader200 + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n"),
          Step::Close()},
         5000000,
         CHttpDownloader::ERROR_TRANSFER,
         -1,
         "",
         -1,
         nullptr},
        {"large_body",
         {read, Step::Send(kHeader200 + "Content-Length: 200000\r\n\r\n"),
          Step::SendPattern(200000)},
         5000000,
         CHttpDownloader::ERROR_NONE,
         200,
         LoopbackServer::Pattern(0, 200000),
         200000,
         nullptr},
    };
}

// Parameter: bit 0 TLS, bit 1 streaming mode (a body sink).
class ExchangeTest : public ::testing::TestWithParam<int> {};

TEST_P(ExchangeTest, PhasesReasonsAndRequestBytes) {
    const bool tls = GetParam() & 1;
    for (const ExchangeCase& c : ExchangeCases()) {
        SCOPED_TRACE(c.name);
        corvio_test::LogCapture log(6);
        LoopbackServer server(ServerOptions(tls), {c.script});
        ASSERT_TRUE(server.Ok()) << server.Error();
        Session s(GetParam() & 2);
        s.dl->SetTimeout(c.timeout_us);
        EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_NONE);
        ASSERT_EQ(s.Start(server, "/a/b?x=1", tls), 0);
        ASSERT_TRUE(s.WaitEnds(1));
        EXPECT_EQ(s.owner->Ends(), 1);
        EXPECT_EQ(s.owner->From().at(0), s.dl->GetID());
        EXPECT_EQ(s.dl->GetErrorReason(), c.reason);
        EXPECT_EQ(s.Status(), c.status);
        if (c.status >= 0) {
            EXPECT_TRUE(s.Body() == c.body) << "body of " << s.Body().size() << " bytes";
            EXPECT_EQ(s.dl->GetTotalContentSize(), c.total);
            EXPECT_EQ(s.dl->GetCurrentContentSize(), static_cast<int>(c.body.size()));
        }
        if (c.log != nullptr)
            EXPECT_TRUE(log.Has(c.log, 3)) << c.log;
        EXPECT_EQ(log.Count("need reset first!\n"), 0);
        server.Stop();
        EXPECT_EQ(server.Connection(0).received, GetRequest(server, "/a/b?x=1"));
    }
}

INSTANTIATE_TEST_SUITE_P(TcpAndTls, ExchangeTest, ::testing::Values(0, 1, 2, 3),
                         [](const ::testing::TestParamInfo<int>& i) {
                             return std::string(i.param & 1 ? "tls" : "tcp") +
                                    (i.param & 2 ? "_stream" : "");
                         });

// A sink that refuses a piece stops the download: a transfer failure, with
// the sink's and the parser's lines; nothing after the refusal is handed on.
TEST(Downloader, SinkThatStopsEndsAsTransferFailure) {
    corvio_test::LogCapture log(6);
    LoopbackServer server(
        ServerOptions(false),
        {{Step::ReadUntil("\r\n\r\n"), Step::Send(kHeader200 + "Content-Length: 300000\r\n\r\n"),
          Step::SendPattern(300000)}});
    Session s(true);
    s.sink.stop_after = 100000;
    ASSERT_EQ(s.Start(server, "/", false), 0);
    ASSERT_TRUE(s.WaitEnds(1));
    EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_TRANSFER);
    EXPECT_FALSE(s.sink.complete);
    EXPECT_LE(s.sink.body.size(), 100000u);
    EXPECT_TRUE(LoopbackServer::CheckPattern(s.sink.body.data(), s.sink.body.size(), 0));
    EXPECT_EQ(s.dl->GetCurrentContentSize64(), static_cast<long long>(s.sink.body.size()));
    EXPECT_EQ(s.dl->GetTotalContentSize64(), 300000);
    EXPECT_EQ(log.Count("parse error, status:2\n"), 1);
    EXPECT_EQ(log.Count("body callback stopped the message, body bytes:" +
                        std::to_string(s.sink.body.size()) + "\n"),
              1);
    // Too late once started.
    EXPECT_EQ(s.dl->SetBodySink(nullptr), -1);
}

// A body past 4 GiB (Content-Length and the counts in 64 bits) streams
// through in constant memory; the int readers saturate.
TEST(Downloader, BodyPastFourGibStreams) {
    const unsigned long long size = (1ULL << 32) + 70000;
    LoopbackServer server(
        ServerOptions(false),
        {{Step::ReadUntil("\r\n\r\n"),
          Step::Send(kHeader200 + "Content-Length: " + std::to_string(size) + "\r\n\r\n"),
          Step::SendPattern(size)}});
    // Counts the bytes and keeps the last 70000.
    struct Tail : Halvex::Corvio::IHttpBodySink {
        int OnBody(const char* data, int len) override {
            count += static_cast<unsigned long long>(len);
            tail.append(data, static_cast<size_t>(len));
            if (tail.size() > 140000)
                tail.erase(0, tail.size() - 70000);
            return 0;
        }
        void OnEnd(bool whole) override { complete = whole; }
        unsigned long long count = 0;
        std::string tail;
        bool complete = false;
    } sink;
    Session s;
    ASSERT_EQ(s.dl->SetBodySink(&sink), 0);
    ASSERT_EQ(s.Start(server, "/", false), 0);
    ASSERT_TRUE(s.owner->WaitEnds(1, 120000));
    EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_NONE);
    EXPECT_TRUE(sink.complete);
    EXPECT_EQ(sink.count, size);
    const std::string last = sink.tail.substr(sink.tail.size() - 70000);
    EXPECT_TRUE(LoopbackServer::CheckPattern(last.data(), last.size(), size - 70000));
    EXPECT_EQ(s.dl->GetCurrentContentSize64(), static_cast<long long>(size));
    EXPECT_EQ(s.dl->GetTotalContentSize64(), static_cast<long long>(size));
    EXPECT_EQ(s.dl->GetCurrentContentSize(), 2147483647);
    EXPECT_EQ(s.dl->GetTotalContentSize(), 2147483647);
}

TEST(Downloader, RefusedConnectEndsWithConnectError) {
    for (bool tls : {false, true}) {
        corvio_test::LogCapture log(3);
        Session s;
        const unsigned short port = corvio_test::TcpListener::ClosedPort(4);
        const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
        ASSERT_EQ(tls ? s.dl->InitUseSsl(url.c_str(), "") : s.dl->Init(url.c_str()), 0);
        ASSERT_TRUE(s.WaitEnds(1));
        EXPECT_EQ(s.owner->Ends(), 1);
        EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_CONNECT);
        EXPECT_EQ(s.dl->GetResult(), nullptr);
        bool found = false;
        for (const std::string& m : log.Messages()) {
            found |= m.rfind("cannot connect to dst Ip:Port! errno reason:", 0) == 0;
        }
        EXPECT_TRUE(found);
    }
}

TEST(Downloader, SilentTlsServerEndsInConnectPhase) {
    corvio_test::LogCapture log(3);
    LoopbackServer server(ServerOptions(true), {{Step::Silent(1500)}});
    ASSERT_TRUE(server.Ok()) << server.Error();
    Session s;
    s.dl->SetTimeout(300000);  // hand-shake limit 300 ms
    ASSERT_EQ(s.Start(server, "/", true), 0);
    ASSERT_TRUE(s.WaitEnds(1, 3000));
    EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_CONNECT);
    EXPECT_TRUE(log.Has("TLS: hand-shake timed out after 300 ms\n", 3));
    EXPECT_TRUE(log.Has("ssl connect error!\n", 3));
    EXPECT_FALSE(log.Has("CHttpDownloader::handle_input_timeout\n"));
}

TEST(Downloader, HeadAnswerEndsWithItsHeader) {
    for (int mode = 0; mode < 4; ++mode) {
        const bool tls = mode & 1;
        LoopbackServer server(
            ServerOptions(tls),
            {{Step::ReadUntil("\r\n\r\n"), Step::Send(kHeader200 + "Content-Length: 100\r\n\r\n"),
              Step::Silent(1000)}});
        ASSERT_TRUE(server.Ok()) << server.Error();
        Session s(mode & 2);
        const std::string request = "HEAD /h HTTP/1.1\r\nHost: x\r\n\r\n";
        ASSERT_EQ(s.StartRequest(server, request, tls), 0);
        ASSERT_TRUE(s.WaitEnds(1, 900));
        EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_NONE);
        EXPECT_EQ(s.Status(), 200);
        EXPECT_EQ(s.dl->GetTotalContentSize(), 100);
        EXPECT_EQ(s.dl->GetCurrentContentSize(), 0);
        EXPECT_EQ(s.sink.status, s.stream ? 200 : -1);
        server.Stop();
        EXPECT_EQ(server.Connection(0).received, request);
    }
}

// The Host line carries a host name as the URL gives it, and for an address
// the address connected to (IPv6 in brackets).
TEST(Downloader, HostLineFromUrl) {
    Halvex::Sablon::CSockAddrStorage local;
    ASSERT_EQ(local.SetIp("localhost"), 0);
    const struct {
        int family;
        const char* url_host;
        const char* host;
    } rows[] = {
        {6, "[::1]", "[::1]"},
        {4, "127.0.0.1", "127.0.0.1"},
        {local.GetFamily(), "localhost", "localhost"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.url_host);
        LoopbackServer server(
            ServerOptions(false, r.family),
            {{Step::ReadUntil("\r\n\r\n"), Step::Send(kHeader200 + "Content-Length: 0\r\n\r\n")}});
        if (!server.Ok())
            continue;  // no IPv6 here
        Session s;
        const std::string port = std::to_string(server.Port());
        const std::string url = std::string("http://") + r.url_host + ":" + port + "/h";
        ASSERT_EQ(s.dl->Init(url.c_str()), 0);
        ASSERT_TRUE(s.WaitEnds(1));
        EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_NONE);
        server.Stop();
        EXPECT_EQ(server.Connection(0).received,
                  "GET /h HTTP/1.1\r\nAccept: */*\r\nHost: " + std::string(r.host) + ":" + port +
                      "\r\nConnection: close\r\n\r\n");
    }
}

TEST(Downloader, InitRefusals) {
    corvio_test::LogCapture log(3);
    {
        Session s;
        EXPECT_EQ(s.dl->Init("ftp://127.0.0.1/"), -1);
        EXPECT_TRUE(log.Has("ParseURL failed!\n", 2));
        EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_NONE);
        EXPECT_EQ(s.dl->Init(static_cast<const char*>(nullptr)), -1);
    }
    {
        // A URL that fits its buffer whose request would not is refused whole.
        Session s;
        log.Clear();
        const std::string url = "http://127.0.0.1:9/" + std::string(990, 'p');
        EXPECT_EQ(s.dl->Init(url.c_str()), -1);
        ASSERT_EQ(log.Lines().size(), 1u);
        EXPECT_EQ(log.Lines()[0].level, 2);
        EXPECT_EQ(log.Lines()[0].message.rfind("request too long: ", 0), 0u);
    }
    {
        Session s;
        log.Clear();
        const std::string pem(256, 'x');
        EXPECT_EQ(s.dl->InitUseSsl("http://127.0.0.1:9/", pem.c_str()), -1);
        EXPECT_EQ(s.dl->InitUseSsl("http://127.0.0.1:9/", nullptr), -1);
        EXPECT_EQ(log.Count("ssl path error!\n"), 2);
    }
    {
        LoopbackServer server(ServerOptions(false), {{Step::Silent(500)}});
        Session s;
        log.Clear();
        EXPECT_EQ(s.Start(server, "/", false), 0);
        EXPECT_EQ(s.Start(server, "/", false), -1);
        EXPECT_EQ(s.StartRequest(server, "GET / HTTP/1.1\r\n\r\n", false), -1);
        EXPECT_EQ(log.Count("cannot download again!\n"), 2);
        Halvex::Sablon::CSockAddrStorage addr;
        EXPECT_EQ(s.dl->Init(addr, nullptr, 5), -1);
        EXPECT_EQ(s.dl->Init(addr, "x", 0), -1);
    }
}

// Out of memory at the exported entries: each fails as documented (-1, an
// empty text, the previous value kept), and no exception leaves it.
TEST(Downloader, OutOfMemoryAtEntriesIsTheDocumentedFailure) {
    Session s;
    Halvex::Corvio::CHttpDownloaderBlock block;
    const std::string text(100, 'c');
    const std::string longer(200, 'l');
    CHttpsOption option;
    option.AddTrustCA("ca.pem");
    s.dl->SetWWWAuthenticate(text.c_str());
    int results[5];
    std::string challenge = "-";
    {
        corvio_test::FailAllocations refuse(corvio_test::FailAllocations::kEvery);
        results[0] = s.dl->SetAuthInfo(text, text);
        results[1] = s.dl->SetAuthInfo(text.c_str(), text.c_str());
        results[2] = s.dl->Init("http://127.0.0.1:9/");
        results[3] = block.SetAuthInfo(text, text);
        results[4] = block.SetAuthInfo(text.c_str(), nullptr);
        challenge = s.dl->GetWWWAuthenticate();
        s.dl->SetWWWAuthenticate(longer.c_str());
        block.SetWWWAuthenticate(text.c_str());
        s.dl->SetHttpsOption(&option);
        option.AddTrustCA(text.c_str());
        option.AddCRL(text.c_str());
        option.SetSslOption6Text(text.c_str());
    }
    for (int r : results)
        EXPECT_EQ(r, -1);
    EXPECT_EQ(challenge, "");
    EXPECT_EQ(s.dl->GetWWWAuthenticate(), text);
    EXPECT_EQ(option.GetData()->trust_ca_files, std::set<std::string>{"ca.pem"});
    EXPECT_TRUE(option.GetData()->crl_files.empty());
}

TEST(Downloader, PreemptiveBasicLineFromUrl) {
    LoopbackServer server(
        ServerOptions(false),
        {{Step::ReadUntil("\r\n\r\n"), Step::Send(kHeader200 + "Content-Length: 0\r\n\r\n")}});
    Session s;
    s.dl->SetAuthInfo("user", "pass");
    ASSERT_EQ(s.Start(server, "/p", false), 0);
    ASSERT_TRUE(s.WaitEnds(1));
    server.Stop();
    EXPECT_EQ(server.Connection(0).received,
              "GET /p HTTP/1.1\r\nAccept: */*\r\n" + HostLine(server) +
                  "Connection: close\r\nAuthorization: Basic dXNlcjpwYXNz\r\n\r\n");
}

// A request between one and two sender blocks goes out whole, at the start
// and on a kept-alive connection.
TEST(Downloader, RequestBetweenOneAndTwoBlocks) {
    for (bool tls : {false, true}) {
        corvio_test::LogCapture log(3);
        const std::string body(40000, 'b');
        const std::string request =
            "POST /big HTTP/1.1\r\nHost: x\r\nContent-Length: 40000\r\n\r\n" + body;
        const std::string answer = kHeader200 + "Content-Length: 2\r\n\r\nok";
        LoopbackServer server(ServerOptions(tls), {{Step::ReadUntil("\r\n\r\n"), Step::Read(40000),
                                                    Step::Send(answer), Step::ReadUntil("\r\n\r\n"),
                                                    Step::Read(40000), Step::Send(answer)}});
        Session s;
        s.dl->SetKeepAliveMode(true);
        ASSERT_EQ(s.StartRequest(server, request, tls), 0);
        ASSERT_TRUE(s.WaitEnds(1));
        EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_NONE);
        ASSERT_EQ(s.dl->SendRequest(request.data(), static_cast<int>(request.size())), 0);
        ASSERT_TRUE(s.WaitEnds(2));
        EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_NONE);
        EXPECT_EQ(s.Body(), "ok");
        EXPECT_TRUE(log.Messages().empty());
        server.Stop();
        EXPECT_TRUE(server.Connection(0).received == request + request);
    }
}

struct KeepCase {
    const char* connection;  // null: no field
    bool kept;
    const char* unasked;  // bytes the server sends after the answer
    bool later;           // sent on their own once the answer was reported
};

// Parameter: bit 0 TLS, bit 1 streaming mode.
class KeepAliveTest : public ::testing::TestWithParam<int> {};

TEST_P(KeepAliveTest, ConnectionValuesDecide) {
    const bool tls = GetParam() & 1;
    const KeepCase cases[] = {
        {"keep-alive", true, "", false},
        {"Keep-Alive", true, "", false},
        {nullptr, true, "", false},
        {"close", false, "", false},
        {"Upgrade", false, "", false},
        // Bytes nobody asked for put the connection out of step.
        {"keep-alive", false, "HTTP/1.1 200 OK\r\n", false},
        {"keep-alive", false, "HTTP/1.1 200 OK\r\n", true},
    };
    for (const KeepCase& c : cases) {
        SCOPED_TRACE(c.connection ? c.connection : "(none)");
        const std::string field =
            c.connection ? std::string("Connection: ") + c.connection + "\r\n" : std::string();
        const std::string first = kHeader200 + field + "Content-Length: 1\r\n\r\n1";
        const std::string second = kHeader200 + "Content-Length: 1\r\n\r\n2";
        const Step read = Step::ReadUntil("\r\n\r\n");
        const Script script =
            c.later ? Script{read, Step::Send(first), Step::Sleep(20), Step::Send(c.unasked),
                             read, Step::Send(second)}
                    : Script{read, Step::Send(first + c.unasked), read, Step::Send(second)};
        corvio_test::LogCapture log(3);
        LoopbackServer server(ServerOptions(tls), {script});
        Session s(GetParam() & 2);
        s.dl->SetKeepAliveMode(true);
        ASSERT_EQ(s.Start(server, "/1", tls), 0);
        ASSERT_TRUE(s.WaitEnds(1));
        if (c.later)
            Settle(150);
        EXPECT_EQ(s.owner->Ends(), 1);
        EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_NONE);
        EXPECT_EQ(s.Body(), "1");
        s.NextBody();
        const std::string req2 = "GET /2 HTTP/1.1\r\nHost: x\r\n\r\n";
        EXPECT_EQ(s.dl->SendRequest(req2.data(), static_cast<int>(req2.size())), c.kept ? 0 : -1);
        if (c.kept) {
            ASSERT_TRUE(s.WaitEnds(2));
            EXPECT_EQ(s.owner->Ends(), 2);
            EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_NONE);
            EXPECT_EQ(s.Body(), "2");
        }
        Settle();
        EXPECT_EQ(s.owner->Ends(), c.kept ? 2 : 1);
        EXPECT_EQ(log.Count("need reset first!\n"), 0);
    }
}

// After a kept-alive answer, the next exchange's failures are reported as
// such, not as the success of the one before.
TEST_P(KeepAliveTest, FailuresAfterReuseAreTransferErrors) {
    const bool tls = GetParam() & 1;
    const std::string first = kHeader200 + "Content-Length: 1\r\n\r\n1";
    const Step read = Step::ReadUntil("\r\n\r\n");
    const std::vector<std::pair<const char*, Script>> cases = {
        {"silent", {read, Step::Send(first), read, Step::Silent(1500)}},
        {"closed mid-answer",
         {read, Step::Send(first), read, Step::Send(kHeader200), Step::Close()}},
        {"parse error", {read, Step::Send(first), read, Step::Send("HTTP/1.1 x\r\n\r\n")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        LoopbackServer server(ServerOptions(tls), {c.second});
        Session s(GetParam() & 2);
        s.dl->SetKeepAliveMode(true);
        s.dl->SetTimeout(300000);
        ASSERT_EQ(s.Start(server, "/", tls), 0);
        ASSERT_TRUE(s.WaitEnds(1));
        const std::string req2 = "GET /2 HTTP/1.1\r\nHost: x\r\n\r\n";
        ASSERT_EQ(s.dl->SendRequest(req2.data(), static_cast<int>(req2.size())), 0);
        if (c.second.back().kind == Step::SILENT) {
            EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_NONE);  // not ended yet
        }
        ASSERT_TRUE(s.WaitEnds(2, 3000));
        EXPECT_EQ(s.owner->Ends(), 2);
        EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_TRANSFER);
        EXPECT_EQ(s.dl->GetResult(), nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(TcpAndTls, KeepAliveTest, ::testing::Values(0, 1, 2, 3),
                         [](const ::testing::TestParamInfo<int>& i) {
                             return std::string(i.param & 1 ? "tls" : "tcp") +
                                    (i.param & 2 ? "_stream" : "");
                         });

TEST(Downloader, SendRequestPreconditions) {
    const std::string req = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    const int len = static_cast<int>(req.size());
    const std::string answer = kHeader200 + "Content-Length: 0\r\n\r\n";
    {
        // Not in keep-alive mode.
        LoopbackServer server(ServerOptions(false),
                              {{Step::ReadUntil("\r\n\r\n"), Step::Send(answer)}});
        Session s;
        EXPECT_EQ(s.dl->SendRequest(req.data(), len), -1);
        ASSERT_EQ(s.Start(server, "/", false), 0);
        ASSERT_TRUE(s.WaitEnds(1));
        EXPECT_EQ(s.dl->SendRequest(req.data(), len), -1);
    }
    {
        // Before the sender exists; then null and empty requests.
        LoopbackServer server(ServerOptions(false), {{Step::ReadUntil("\r\n\r\n"),
                                                      Step::Send(answer), Step::Silent(500)}});
        Session s;
        s.dl->SetKeepAliveMode(true);
        EXPECT_EQ(s.dl->SendRequest(req.data(), len), -1);
        ASSERT_EQ(s.Start(server, "/", false), 0);
        ASSERT_TRUE(s.WaitEnds(1));
        EXPECT_EQ(s.dl->SendRequest(nullptr, len), -1);
        EXPECT_EQ(s.dl->SendRequest(req.data(), 0), -1);
        // A refused request leaves the reported exchange as it was.
        EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_NONE);
        EXPECT_EQ(s.Status(), 200);
    }
}

TEST(Downloader, DetachSockHandsOverTheConnection) {
    const std::string answer1 = kHeader200 + "Content-Length: 1\r\n\r\n1";
    const std::string answer2 = kHeader200 + "Content-Length: 1\r\n\r\n2";
    LoopbackServer server(
        ServerOptions(false),
        {{Step::ReadUntil("\r\n\r\n"), Step::Send(answer1), Step::ReadUntil("\r\n\r\n"),
          Step::Send(answer2), Step::ReadUntil("\r\n\r\n"), Step::Send(answer2)}});
    int fd = -1;
    {
        Session s;
        EXPECT_EQ(s.dl->DetachSock(), -1);
        s.dl->SetKeepAliveMode(true);
        ASSERT_EQ(s.Start(server, "/", false), 0);
        ASSERT_TRUE(s.WaitEnds(1));
        fd = s.dl->DetachSock();
        ASSERT_GE(fd, 0);
        EXPECT_EQ(s.dl->DetachSock(), -1);
        const std::string req = "GET /d HTTP/1.1\r\nHost: x\r\n\r\n";
        EXPECT_EQ(s.dl->SendRequest(req.data(), static_cast<int>(req.size())), -1);
        ASSERT_TRUE(corvio_test::WriteAll(fd, req.data(), static_cast<long>(req.size())));
        char buf[256] = {};
        EXPECT_EQ(corvio_test::ReadFor(fd, buf, static_cast<long>(answer2.size()), 2000),
                  static_cast<long>(answer2.size()));
        EXPECT_EQ(std::string(buf), answer2);
        Settle();
        EXPECT_EQ(s.owner->Ends(), 1);
    }
    // The downloader is gone; the descriptor is still open and usable.
    Settle(50);
    const std::string req = "GET /e HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_TRUE(corvio_test::WriteAll(fd, req.data(), static_cast<long>(req.size())));
    char buf[256] = {};
    EXPECT_EQ(corvio_test::ReadFor(fd, buf, static_cast<long>(answer2.size()), 2000),
              static_cast<long>(answer2.size()));
    corvio_test::CloseSocket(fd);
}

}  // namespace
