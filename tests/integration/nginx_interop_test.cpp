// Interoperation with a real nginx (Debian's /usr/sbin/nginx), started by the
// test on loopback ports with a configuration generated in a temporary
// directory: a 20 MiB static file over HTTP and HTTPS (SHA-256 compared),
// keep-alive reuse with SendRequest, Basic authentication, an IPv6 Host.
// Skipped only when nginx is not installed.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>

#include "Corvio/CHttpDownloader.h"
#include "Corvio/CHttpDownloaderBlock.h"
#include "Corvio/CHttpParser.h"
#include "Mardel/Semaphore.h"
#include "Sablon/NetHandler.h"
#include "Sablon/SockAddr.h"
#include "support/CertMaker.h"
#include "support/TcpListener.h"

extern char** environ;

using namespace Halvex::Corvio;
using corvio_test::CertMaker;
using Halvex::Sablon::CSockAddrIPv4;

namespace {

const char kNginx[] = "/usr/sbin/nginx";
constexpr size_t kBigSize = 20u << 20;

std::string Digest(const EVP_MD* md, const char* data, size_t len) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(data, len, out, &n, md, nullptr);
    return std::string(reinterpret_cast<char*>(out), n);
}

std::string Hex(const std::string& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += kHex[c >> 4];
        hex += kHex[c & 15];
    }
    return hex;
}

std::string Base64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                  reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

bool WriteText(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary);
    f.write(text.data(), static_cast<std::streamsize>(text.size()));
    return static_cast<bool>(f);
}

// One nginx for the whole suite.
class Nginx {
public:
    bool Start() {
        const CertMaker& certs = CertMaker::Shared();
        if (!certs.Ok()) {
            m_error = certs.Error();
            return false;
        }
        m_dir = certs.Dir() + "/nginx";
        const std::string www = m_dir + "/www";
        if (std::system(("mkdir -p '" + www + "/private'").c_str()) != 0) {
            m_error = "cannot make " + www;
            return false;
        }
        // The big file: a byte sequence that repeats only after 251 bytes.
        m_big.resize(kBigSize);
        for (size_t i = 0; i < kBigSize; ++i)
            m_big[i] = static_cast<char>((i * 7 + i / 251) % 251);
        m_big_sha = Digest(EVP_sha256(), m_big.data(), m_big.size());
        // htpasswd in nginx's {SHA} form: Base64 of the SHA-1 of the password.
        const std::string sha1 = Digest(EVP_sha1(), "secret", 6);
        if (!WriteText(www + "/big.bin", m_big) || !WriteText(www + "/one.txt", "first\n") ||
            !WriteText(www + "/two.txt", "second!\n") ||
            !WriteText(www + "/private/note.txt", "for user only\n") ||
            !WriteText(m_dir + "/htpasswd", "user:{SHA}" + Base64(sha1) + "\n")) {
            m_error = "cannot write the served files";
            return false;
        }
        m_port = corvio_test::TcpListener::ClosedPort(4);
        m_tls_port = corvio_test::TcpListener::ClosedPort(4);
        corvio_test::TcpListener v6(6);
        m_v6_port = v6.Valid() ? corvio_test::TcpListener::ClosedPort(6) : 0;
        v6.Close();
        std::string conf =
            "daemon off;\nmaster_process off;\nworker_processes 1;\n"
            "pid " +
            m_dir + "/nginx.pid;\nerror_log " + m_dir +
            "/error.log;\n"
            "events { worker_connections 64; }\n"
            "http {\n"
            "  log_format conn '$connection $connection_requests $request $status';\n"
            "  access_log " +
            m_dir +
            "/access.log conn;\n"
            "  client_body_temp_path " +
            m_dir +
            "/body;\n"
            "  proxy_temp_path " +
            m_dir +
            "/proxy;\n"
            "  fastcgi_temp_path " +
            m_dir +
            "/fastcgi;\n"
            "  uwsgi_temp_path " +
            m_dir +
            "/uwsgi;\n"
            "  scgi_temp_path " +
            m_dir +
            "/scgi;\n"
            "  default_type application/octet-stream;\n"
            "  keepalive_timeout 10s;\n"
            "  server {\n"
            "    listen 127.0.0.1:" +
            std::to_string(m_port) +
            ";\n"
            "    listen 127.0.0.1:" +
            std::to_string(m_tls_port) + " ssl;\n" +
            (m_v6_port ? "    listen [::1]:" + std::to_string(m_v6_port) + ";\n" : "") +
            "    ssl_certificate " + certs.server_ip_san.cert +
            ";\n"
            "    ssl_certificate_key " +
            certs.server_ip_san.key +
            ";\n"
            "    root " +
            www +
            ";\n"
            "    location /private/ {\n"
            "      auth_basic \"corvio\";\n"
            "      auth_basic_user_file " +
            m_dir +
            "/htpasswd;\n"
            "    }\n"
            "  }\n"
            "}\n";
        if (!WriteText(m_dir + "/nginx.conf", conf)) {
            m_error = "cannot write nginx.conf";
            return false;
        }
        const std::string err_log = m_dir + "/error.log";
        const std::string conf_path = m_dir + "/nginx.conf";
        const std::string prefix = m_dir + "/";
        const char* argv[] = {kNginx,         "-e", err_log.c_str(),   "-p",
                              prefix.c_str(), "-c", conf_path.c_str(), nullptr};
        if (posix_spawn(&m_pid, kNginx, nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
            m_pid = 0;
            m_error = "cannot start nginx";
            return false;
        }
        const bool up = corvio_test::WaitUntil(
            [&] {
                int fd = corvio_test::TcpConnect(4, m_tls_port);
                if (fd < 0)
                    return false;
                close(fd);
                fd = corvio_test::TcpConnect(4, m_port);
                if (fd >= 0)
                    close(fd);
                return fd >= 0;
            },
            5000);
        if (!up) {
            m_error = "nginx did not start: " + CertMaker::ReadFile(err_log);
            Stop();
        }
        return up;
    }
    void Stop() {
        if (m_pid <= 0)
            return;
        kill(m_pid, SIGTERM);
        int status = 0;
        bool ended =
            corvio_test::WaitUntil([&] { return waitpid(m_pid, &status, WNOHANG) > 0; }, 3000);
        if (!ended) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
        }
        m_pid = 0;
    }
    std::string Url(const char* path, bool tls = false) const {
        return std::string(tls ? "https" : "http") +
               "://127.0.0.1:" + std::to_string(tls ? m_tls_port : m_port) + path;
    }
    std::string AccessLog() const { return CertMaker::ReadFile(m_dir + "/access.log"); }

    std::string m_error;
    std::string m_dir;
    std::string m_big;
    std::string m_big_sha;
    unsigned short m_port = 0, m_tls_port = 0, m_v6_port = 0;
    pid_t m_pid = 0;
};

Nginx* g_nginx = nullptr;

class NginxInterop : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (access(kNginx, X_OK) != 0)
            return;
        g_nginx = new Nginx;
        if (!g_nginx->Start()) {
            s_error = g_nginx->m_error;
            delete g_nginx;
            g_nginx = nullptr;
        }
    }
    static void TearDownTestSuite() {
        if (g_nginx)
            g_nginx->Stop();
        delete g_nginx;
        g_nginx = nullptr;
    }
    void SetUp() override {
        if (access(kNginx, X_OK) != 0)
            GTEST_SKIP() << kNginx << " is not installed (scripts/bootstrap installs it)";
        ASSERT_NE(g_nginx, nullptr) << s_error;
    }
    static std::string s_error;
};
std::string NginxInterop::s_error;

void ExpectBigFile(CHttpDownloaderBlock& block) {
    CHttpParser* result = block.GetResult();
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->GetStatusCode(), 200);
    ASSERT_EQ(result->GetContentLength(), static_cast<int>(kBigSize));
    EXPECT_EQ(block.GetTotalContentSize(), static_cast<int>(kBigSize));
    const char* body = result->GetContent();
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(Hex(Digest(EVP_sha256(), body, kBigSize)), Hex(g_nginx->m_big_sha));
}

TEST_F(NginxInterop, BigFileOverHttp) {
    CHttpDownloaderBlock block;
    block.SetTimeout(20000000);
    const std::string url = g_nginx->Url("/big.bin");
    ASSERT_EQ(block.Download(url.c_str()), 0) << block.GetErrorReason();
    ExpectBigFile(block);
}

TEST_F(NginxInterop, BigFileOverHttpsWithTrustedCa) {
    CHttpsOption option;
    option.AddTrustCA(CertMaker::Shared().ca.cert.c_str());
    CHttpDownloaderBlock block;
    block.SetTimeout(20000000);
    block.SetHttpsOption(&option);
    const std::string url = g_nginx->Url("/big.bin", true);
    ASSERT_EQ(block.DownloadUseSsl(url.c_str(), ""), 0) << block.GetErrorReason();
    ExpectBigFile(block);
}

// Owner of an asynchronous downloader: counts its end notices.
class Owner : public Halvex::Sablon::CNetHandler {
public:
    int handle_message(long, unsigned int msg, long) override {
        if (msg == MSG_DOWNLOAD_END) {
            ++ends;
            done.post();
        }
        return 0;
    }
    std::atomic<int> ends{0};
    Halvex::Mardel::CSemaphore done{0};
};

TEST_F(NginxInterop, KeepAliveReuseWithSendRequest) {
    Owner owner;
    CHttpDownloader* d = CHttpDownloader::Create(owner.GetID());
    ASSERT_NE(d, nullptr);
    d->SetKeepAliveMode(true);
    CSockAddrIPv4 addr("127.0.0.1", g_nginx->m_port);
    const std::string r1 = "GET /one.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const std::string r2 = "GET /two.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    ASSERT_EQ(d->Init(addr, r1.data(), static_cast<int>(r1.size())), 0);
    ASSERT_TRUE(owner.done.pend(5000));
    ASSERT_NE(d->GetResult(), nullptr);
    EXPECT_EQ(std::string(d->GetResult()->GetContent()), "first\n");
    EXPECT_EQ(d->GetErrorReason(), CHttpDownloader::ERROR_NONE);
    ASSERT_EQ(d->SendRequest(r2.data(), static_cast<int>(r2.size())), 0);
    ASSERT_TRUE(owner.done.pend(5000));
    ASSERT_NE(d->GetResult(), nullptr);
    EXPECT_EQ(std::string(d->GetResult()->GetContent()), "second!\n");
    EXPECT_EQ(d->GetErrorReason(), CHttpDownloader::ERROR_NONE);
    EXPECT_EQ(owner.ends.load(), 2);
    d->Close();
    // nginx saw both requests on one connection: same connection number,
    // request counts 1 and 2.
    std::string log;
    corvio_test::WaitUntil(
        [&] {
            log = g_nginx->AccessLog();
            return log.find("/two.txt") != std::string::npos;
        },
        3000);
    const size_t one = log.find(" 1 GET /one.txt HTTP/1.1 200");
    const size_t two = log.find(" 2 GET /two.txt HTTP/1.1 200");
    ASSERT_NE(one, std::string::npos) << log;
    ASSERT_NE(two, std::string::npos) << log;
    const size_t one_start =
        log.rfind('\n', one) == std::string::npos ? 0 : log.rfind('\n', one) + 1;
    const size_t two_start = log.rfind('\n', two) + 1;
    EXPECT_EQ(log.substr(one_start, one - one_start), log.substr(two_start, two - two_start))
        << log;
}

struct BasicCase {
    const char* user;
    const char* password;
    int status;
    const char* body;
};

TEST_F(NginxInterop, BasicAuthentication) {
    const BasicCase cases[] = {
        {"user", "secret", 200, "for user only\n"},
        {"user", "wrong", 401, nullptr},
        {"", "", 401, nullptr},
    };
    const std::string url = g_nginx->Url("/private/note.txt");
    for (const BasicCase& c : cases) {
        SCOPED_TRACE(std::string(c.user) + ":" + c.password);
        CHttpDownloaderBlock block;
        block.SetAuthInfo(c.user, c.password);
        ASSERT_EQ(block.Download(url.c_str()), 0);
        CHttpParser* result = block.GetResult();
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(result->GetStatusCode(), c.status);
        if (c.body)
            EXPECT_EQ(std::string(result->GetContent()), c.body);
        else
            EXPECT_NE(result->Value("WWW-Authenticate"), nullptr);
    }
}

TEST_F(NginxInterop, Ipv6HostIsAccepted) {
    if (g_nginx->m_v6_port == 0)
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    CHttpDownloaderBlock block;
    const std::string url = "http://[::1]:" + std::to_string(g_nginx->m_v6_port) + "/one.txt";
    ASSERT_EQ(block.Download(url.c_str()), 0);
    ASSERT_NE(block.GetResult(), nullptr);
    EXPECT_EQ(block.GetResult()->GetStatusCode(), 200);
    EXPECT_EQ(std::string(block.GetResult()->GetContent()), "first\n");
}

}  // namespace
