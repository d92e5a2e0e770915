// CHttpDownloaderBlock against the scripted loopback servers: one call per
// row of tests/data/http_block_download.txt, then what its readers say.
#include "Corvio/CHttpDownloaderBlock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "Corvio/CHttpParser.h"
#include "support/LogCapture.h"
#include "support/ScriptCases.h"
#include "support/TcpListener.h"

using namespace corvio_test;
using namespace Halvex::Corvio;

namespace {

struct Sink : IHttpBodySink {
    int OnBody(const char* data, int len) override { return body.append(data, size_t(len)), 0; }
    void OnEnd(bool) override {}
    std::string body;
};

TEST(HttpBlockDownload, Table) {
    // OpenSSL is set up before the first downloader starts the reactor, so
    // its exit-time clean-up runs after the reactor's loops have ended.
    const CertMaker& certs = CertMaker::Shared();
    ASSERT_TRUE(certs.Ok()) << certs.Error();
    const std::map<std::string, Script> scripts = LoadScripts("http_block_download.txt");
    CHttpsOption https;
    https.AddTrustCA(certs.ca.cert.c_str());
    const std::string file = certs.Dir() + "/block.body";
    std::unique_ptr<CHttpDownloaderBlock> block;
    Sink sink;  // outlives every block that may still hold it
    auto null_if_tilde = [](const std::string& t) { return t == "~" ? nullptr : t.c_str(); };
    for (const Case& c : LoadCases("http_block_download.txt", "cases", 12)) {
        SCOPED_TRACE(c.where + " " + c[0]);
        if (c[0][0] != '+')
            block.reset(new CHttpDownloaderBlock);
        LogCapture log;
        LoopbackServer::Options o;
        std::unique_ptr<LoopbackServer> server;
        unsigned short port = TcpListener::ClosedPort();
        if (ServerOptions(c[1], o)) {
            std::vector<Script> conns;
            std::istringstream names(c[2]);
            for (std::string name; names >> name;)
                conns.push_back(scripts.at(name));
            server.reset(new LoopbackServer(o, conns));
            ASSERT_TRUE(server->Ok()) << server->Error();
            port = server->Port();
        }
        std::string mode;  // "file" or "sink": where the body went
        sink.body.clear();
        std::istringstream setup(c[3]);
        for (std::string op; std::getline(setup >> std::ws, op, ';');) {
            const auto [verb, arg] = Split(op);
            const std::string user = arg.substr(0, arg.find(':'));
            if (verb == "timeout")
                block->SetTimeout(std::stoull(arg));
            else if (verb == "file") {  // file: the scratch file; file PATH; file -: none
                mode = arg == verb ? "file" : "";
                block->SetBodyFile(!mode.empty() ? file.c_str() : arg == "-" ? "" : arg.c_str());
            } else if (verb == "sink")
                block->SetBodySink((mode = verb, &sink));
            else if (verb == "auth")
                block->SetAuthInfo(null_if_tilde(user), null_if_tilde(arg.substr(user.size() + 1)));
            else if (verb == "www")
                block->SetWWWAuthenticate(arg.c_str());
            else
                block->SetHttpsOption(verb == "ca" ? &https : (ADD_FAILURE() << op, nullptr));
        }
        const auto [call, arg] = Split(c[4]);
        const std::string url =
            (o.tls ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port) + "/x";
        const std::string target = arg == "@URL" ? url : arg;
        const Halvex::Sablon::CSockAddrIPv4 addr("127.0.0.1", port);
        const int len = static_cast<int>(target.size());
        std::atomic<bool> done{false};
        std::string midway;
        std::thread watcher;
        if (c.fields.size() > 14)
            watcher = std::thread([&] {
                for (int i = 0; i < 5000 && !done; ++i, SleepMs(2)) {
                    const int now = block->GetCurrentContentSize();
                    if (now > 0 && midway.empty() && !block->GetResult())
                        midway = std::to_string(now) + " " +
                                 std::to_string(block->GetTotalContentSize());
                }
            });
        const char* host = call.back() == '0' ? nullptr : "";
        const bool raw = call.compare(0, 3, "raw") == 0, ssl = call.find("ssl") != call.npos;
        const int result = call == "none" ? -2
                           : raw ? (ssl ? block->DownloadUseSsl(addr, target.data(), len, host)
                                        : block->Download(addr, target.data(), len))
                                 : (ssl ? block->DownloadUseSsl(target.c_str(), host)
                                        : block->Download(target.c_str()));
        done = true;
        if (watcher.joinable())
            watcher.join();
        EXPECT_EQ(std::to_string(result), c[5] == "-" ? "-2" : c[5]);
        EXPECT_EQ(block->GetErrorReason(), c.num(6));
        CHttpParser* answer = block->GetResult();
        EXPECT_EQ(answer ? std::to_string(answer->GetStatusCode()) : "-", c[7]);
        EXPECT_EQ(std::to_string(block->GetTotalContentSize()) + " " +
                      std::to_string(block->GetCurrentContentSize()),
                  c[8]);
        const std::string content =
            answer && answer->GetContent()
                ? std::string(answer->GetContent(), answer->GetContentLength())
                : "-";
        const std::string streamed = mode == "sink" ? sink.body : CertMaker::ReadFile(file);
        EXPECT_EQ(mode == "file" || mode == "sink" ? streamed : content, c[9]);
        EXPECT_TRUE((mode != "file" && mode != "sink") || content == "-") << content;
        EXPECT_TRUE((mode == "file" || CertMaker::ReadFile(file).empty()) &&
                    (mode == "sink" || sink.body.empty()));
        std::remove(file.c_str());
        if (server) {
            EXPECT_TRUE(server->WaitDone(c.unum(10), 3000));
            EXPECT_EQ(server->Accepted(), c.unum(10));
            std::string sent;
            for (size_t i = 0; i < server->Accepted(); ++i)
                sent += server->Connection(i).received;
            EXPECT_TRUE(Matches(Subst(c[11], {{"@PORT", std::to_string(port)}}), sent)) << sent;
        }
        const std::string kept = block->GetWWWAuthenticate();
        EXPECT_TRUE(c.fields.size() < 13 || !c.str(12) || Matches(c[12], kept)) << kept;
        EXPECT_TRUE(c.fields.size() < 14 || !c.str(13) || log.Count(c[13]) == 1) << c[13];
        EXPECT_TRUE(c.fields.size() < 15 || midway == c[14]) << midway;
    }
}

}  // namespace
