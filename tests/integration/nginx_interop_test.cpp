// Interoperation with a real nginx (/usr/sbin/nginx) started once on loopback ports: the
// downloads of tests/data/nginx_interop.txt and keep-alive reuse with SendRequest. Skipped
// only when nginx is not installed.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <regex>

#include "Corvio/CHttpDownloaderBlock.h"
#include "http_downloader_harness.h"
#include "support/ScriptCases.h"

using namespace corvio_test;
using namespace Halvex::Corvio;

namespace {

const char kNginx[] = "/usr/sbin/nginx";
const size_t kBig = 20u << 20;

struct Nginx {
    std::string dir = CertMaker::Shared().Dir() + "/nginx", error;
    std::string command =
        std::string(kNginx) + " -e " + dir + "/error.log -p " + dir + "/ -c nginx.conf";
    int ports[3] = {TcpListener::ClosedPort(4), TcpListener::ClosedPort(4),
                    TcpListener(6).Valid() ? TcpListener::ClosedPort(6) : 0};

    Nginx() {
        const CertMaker& certs = CertMaker::Shared();
        std::string conf;
        for (const Case& line : LoadCases("nginx_interop.txt", "nginx.conf", 1))
            conf += line[0] + "\n";
        conf =
            Subst(conf, {{"@HTTPS", std::to_string(ports[1])},
                         {"@HTTP", std::to_string(ports[0])},
                         {"@V6", ports[2] ? "listen [::1]:" + std::to_string(ports[2]) + ";" : ""},
                         {"@CERT", certs.server_ip_san.cert},
                         {"@KEY", certs.server_ip_san.key},
                         {"@", dir}});
        bool written =
            std::system(("mkdir -p " + dir + "/www/private").c_str()) == 0 &&
            !certs.WriteFile("nginx/nginx.conf", conf).empty() &&
            !certs.WriteFile("nginx/www/big.bin", LoopbackServer::Pattern(0, kBig)).empty();
        for (const Case& file : LoadCases("nginx_interop.txt", "files", 2))
            written = written && !certs.WriteFile("nginx/" + file[0], file[1]).empty();
        if (!written)
            error = "cannot write the files into " + dir;
        else if (std::system(command.c_str()) != 0)
            error = "nginx did not start: " + CertMaker::ReadFile(dir + "/error.log");
    }
    ~Nginx() {
        if (error.empty())
            std::system((command + " -s stop").c_str());
    }
};

class NginxInterop : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(kNginx, X_OK) != 0)
            GTEST_SKIP() << kNginx << " is not installed (scripts/bootstrap installs it)";
        static const Nginx started;  // one for the process, stopped at exit
        ASSERT_EQ((nginx = &started)->error, "");
    }
    const Nginx* nginx = nullptr;
};

TEST_F(NginxInterop, Table) {
    CHttpsOption https;
    https.AddTrustCA(CertMaker::Shared().ca.cert.c_str());
    for (const Case& c : LoadCases("nginx_interop.txt", "downloads", 6)) {
        SCOPED_TRACE(c.where);
        const int kind = c[0] == "http" ? 0 : c[0] == "https" ? 1 : 2;
        if (nginx->ports[kind] == 0)
            continue;  // no IPv6 loopback on this machine
        const std::string url = std::string(kind == 1 ? "https" : "http") +
                                (kind == 2 ? "://[::1]:" : "://127.0.0.1:") +
                                std::to_string(nginx->ports[kind]) + c[1];
        CHttpDownloaderBlock block;
        block.SetTimeout(20000000);
        block.SetHttpsOption(&https);
        if (!c[2].empty())
            block.SetAuthInfo(c[2].substr(0, c[2].find(':')), c[2].substr(c[2].find(':') + 1));
        ASSERT_EQ(kind == 1 ? block.DownloadUseSsl(url.c_str(), "") : block.Download(url.c_str()),
                  0);
        CHttpParser* answer = block.GetResult();
        ASSERT_NE(answer, nullptr);
        EXPECT_EQ(answer->GetStatusCode(), c.num(3));
        const std::string body(answer->GetContent() ? answer->GetContent() : "",
                               answer->GetContentLength());
        if (c[4] == "big")
            EXPECT_TRUE(body.size() == kBig && LoopbackServer::CheckPattern(body.data(), kBig, 0));
        else if (c.str(4))
            EXPECT_EQ(body, c[4]);
        const char* challenge = answer->Value("WWW-Authenticate");
        EXPECT_EQ(challenge ? challenge : "", c[5]);
    }
}

// Two requests on one kept-alive connection: nginx logs the same connection
// number with request counts 1 and 2.
TEST_F(NginxInterop, KeepAliveReuseWithSendRequest) {
    dltest::Session s;
    s.dl->SetKeepAliveMode(true);
    Halvex::Sablon::CSockAddrIPv4 addr("127.0.0.1", nginx->ports[0]);
    for (const std::string name : {"one", "two"}) {
        const std::string request = "GET /" + name + ".txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        const int len = static_cast<int>(request.size());
        ASSERT_EQ(name == "one" ? s.dl->Init(addr, request.data(), len)
                                : s.dl->SendRequest(request.data(), len),
                  0);
        ASSERT_TRUE(s.owner->WaitEnds(name == "one" ? 1 : 2));
        EXPECT_EQ(s.Body(), name == "one" ? "first\n" : "second!\n");
        EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_NONE);
    }
    SleepMs(100);
    EXPECT_EQ(s.owner->Ends(), 2);
    const std::regex lines(
        "\n(\\d+) 1 GET /one.txt HTTP/1.1 200\n\\1 2 GET /two.txt HTTP/1.1 200\n");
    std::string log;
    const auto seen = [&] {
        return std::regex_search(log = "\n" + CertMaker::ReadFile(nginx->dir + "/access.log"),
                                 lines);
    };
    EXPECT_TRUE(WaitUntil(seen, 3000)) << log;
}

}  // namespace
